// An independent evaluation of the closed form for the engines' tests: the
// facet formula written out again, facet by facet, in long double (64-bit
// mantissa: about 2,000 times the digits of double, so the reference's own
// rounding is far below what the tests compare), and the tessellated boxes
// (thin plates, needles) the tree is held to.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace reference {

struct Field {
  long double U, g[3];
  long double Magnitude() const { return sqrtl(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]); }
};

// U and g = grad U of the solid bounded by the facets (nine doubles each, A
// B C counter-clockwise from outside) at p, G rho = 1: per facet with unit
// normal n, S = sum over edges of (m_k . r_k) ln((R_a + R_b + L)/(R_a + R_b - L))
// - 2 h atan2(r1 . (r2 x r3), R1 R2 R3 + (r1.r2) R3 + (r1.r3) R2 + (r2.r3) R1),
// h = n . r1; U = sum h S / 2 and g = -sum n S.
inline Field At(const std::vector<double>& v9, double px, double py, double pz) {
  using L = long double;
  L U = 0, g[3] = {0, 0, 0};
  const L p[3] = {px, py, pz};
  for (size_t f = 0; f + 9 <= v9.size(); f += 9) {
    L P[3][3], r[3][3], R[3];
    for (int k = 0; k < 3; ++k)
      for (int q = 0; q < 3; ++q) P[k][q] = v9[f + 3 * size_t(k) + size_t(q)];
    L e1[3], e2[3];
    for (int q = 0; q < 3; ++q) e1[q] = P[1][q] - P[0][q], e2[q] = P[2][q] - P[0][q];
    const L c[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                    e1[0] * e2[1] - e1[1] * e2[0]};
    const L area2 = sqrtl(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    if (area2 == 0) continue;
    const L n[3] = {c[0] / area2, c[1] / area2, c[2] / area2};
    for (int k = 0; k < 3; ++k) {
      for (int q = 0; q < 3; ++q) r[k][q] = P[k][q] - p[q];
      R[k] = sqrtl(r[k][0] * r[k][0] + r[k][1] * r[k][1] + r[k][2] * r[k][2]);
    }
    const L h = n[0] * r[0][0] + n[1] * r[0][1] + n[2] * r[0][2];
    L S = 0;
    for (int k = 0; k < 3; ++k) {
      const int b = (k + 1) % 3;
      L e[3];
      for (int q = 0; q < 3; ++q) e[q] = P[b][q] - P[k][q];
      const L len = sqrtl(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
      // The in-plane outward edge normal, e x n / |e|.
      const L m[3] = {(e[1] * n[2] - e[2] * n[1]) / len, (e[2] * n[0] - e[0] * n[2]) / len,
                      (e[0] * n[1] - e[1] * n[0]) / len};
      const L lambda = (R[k] + R[b]) / len;
      if (!(lambda > 1)) continue;  // on the edge's line segment: no term
      S += (m[0] * r[k][0] + m[1] * r[k][1] + m[2] * r[k][2]) * log1pl(2 / (lambda - 1));
    }
    auto dot = [&](int a, int b) {
      return r[a][0] * r[b][0] + r[a][1] * r[b][1] + r[a][2] * r[b][2];
    };
    const L triple = c[0] * r[0][0] + c[1] * r[0][1] + c[2] * r[0][2];
    const L den = R[0] * R[1] * R[2] + dot(0, 1) * R[2] + dot(0, 2) * R[1] + dot(1, 2) * R[0];
    S -= 2 * h * atan2l(triple, den);
    U += h * S;
    for (int q = 0; q < 3; ++q) g[q] -= n[q] * S;
  }
  return {U / 2, {g[0], g[1], g[2]}};
}

// The box of sides a, b, c centred at the origin, each side cut into a grid
// of squares about max(a, b, c)/k on a side (at least one), two outward
// triangles each: nine doubles a facet.
inline std::vector<double> TessellatedBox(double a, double b, double c, int k) {
  std::vector<double> v;
  const double size[3] = {a, b, c}, longest = std::max({a, b, c});
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int ua = (axis + 1) % 3, va = (axis + 2) % 3;
      const int nu = std::max(1, int(std::ceil(k * size[ua] / longest)));
      const int nv = std::max(1, int(std::ceil(k * size[va] / longest)));
      auto corner = [&](int u, int w, double* out) {
        out[axis] = (side ? 0.5 : -0.5) * size[axis];
        out[ua] = size[ua] * (double(u) / nu - 0.5);
        out[va] = size[va] * (double(w) / nv - 0.5);
      };
      for (int u = 0; u < nu; ++u)
        for (int w = 0; w < nv; ++w) {
          double q[4][3];
          corner(u, w, q[0]), corner(u + 1, w, q[1]), corner(u + 1, w + 1, q[2]);
          corner(u, w + 1, q[3]);
          // (u, v, axis) is right-handed: counter-clockwise from outside
          // on the far side, the other way round on the near one.
          static const int kTriangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
          for (const auto& t : kTriangles)
            for (int j : {t[0], side ? t[1] : t[2], side ? t[2] : t[1]})
              v.insert(v.end(), q[j], q[j] + 3);
        }
    }
  return v;
}

}  // namespace reference
