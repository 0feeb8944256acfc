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

// Facet f (nine doubles from v9[f]) seen from p: corners P, r_k = P_k - p,
// R_k = |r_k|, (B - A) x (C - A) as c with its length, unit normal n and
// h = n . r_1; false for a facet of zero area.
struct Seen {
  long double P[3][3], r[3][3], R[3], c[3], area2, n[3], h;
  // The unit edge vector's in-plane outward normal e x n / |e| of edge k
  // (corner k to k + 1) in m, and lambda = (R_k + R_k+1)/|e|.
  long double Edge(int k, long double m[3]) const {
    const int b = (k + 1) % 3;
    long double e[3];
    for (int q = 0; q < 3; ++q) e[q] = P[b][q] - P[k][q];
    const long double len = sqrtl(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
    m[0] = (e[1] * n[2] - e[2] * n[1]) / len;
    m[1] = (e[2] * n[0] - e[0] * n[2]) / len;
    m[2] = (e[0] * n[1] - e[1] * n[0]) / len;
    return (R[k] + R[b]) / len;
  }
  long double Dot(int a, int b) const {
    return r[a][0] * r[b][0] + r[a][1] * r[b][1] + r[a][2] * r[b][2];
  }
  // atan2(r1 . (r2 x r3), R1 R2 R3 + (r1.r2) R3 + (r1.r3) R2 + (r2.r3) R1).
  long double HalfSolidAngle() const {
    const long double triple = c[0] * r[0][0] + c[1] * r[0][1] + c[2] * r[0][2];
    const long double den =
        R[0] * R[1] * R[2] + Dot(0, 1) * R[2] + Dot(0, 2) * R[1] + Dot(1, 2) * R[0];
    return atan2l(triple, den);
  }
};
inline bool See(const std::vector<double>& v9, size_t f, const long double p[3], Seen* s) {
  for (int k = 0; k < 3; ++k)
    for (int q = 0; q < 3; ++q) s->P[k][q] = v9[f + 3 * size_t(k) + size_t(q)];
  long double e1[3], e2[3];
  for (int q = 0; q < 3; ++q) e1[q] = s->P[1][q] - s->P[0][q], e2[q] = s->P[2][q] - s->P[0][q];
  s->c[0] = e1[1] * e2[2] - e1[2] * e2[1];
  s->c[1] = e1[2] * e2[0] - e1[0] * e2[2];
  s->c[2] = e1[0] * e2[1] - e1[1] * e2[0];
  s->area2 = sqrtl(s->c[0] * s->c[0] + s->c[1] * s->c[1] + s->c[2] * s->c[2]);
  if (s->area2 == 0) return false;
  for (int q = 0; q < 3; ++q) s->n[q] = s->c[q] / s->area2;
  for (int k = 0; k < 3; ++k) {
    for (int q = 0; q < 3; ++q) s->r[k][q] = s->P[k][q] - p[q];
    s->R[k] = sqrtl(s->Dot(k, k));
  }
  s->h = s->n[0] * s->r[0][0] + s->n[1] * s->r[0][1] + s->n[2] * s->r[0][2];
  return true;
}

// U and g = grad U of the solid bounded by the facets (nine doubles each, A
// B C counter-clockwise from outside) at p, G rho = 1: per facet with unit
// normal n, S = sum over edges of (m_k . r_k) ln((R_a + R_b + L)/(R_a + R_b - L))
// - 2 h atan2(r1 . (r2 x r3), R1 R2 R3 + (r1.r2) R3 + (r1.r3) R2 + (r2.r3) R1),
// h = n . r1; U = sum h S / 2 and g = -sum n S.
inline Field At(const std::vector<double>& v9, double px, double py, double pz) {
  using L = long double;
  L U = 0, g[3] = {0, 0, 0};
  const L p[3] = {px, py, pz};
  Seen f;
  for (size_t k0 = 0; k0 + 9 <= v9.size(); k0 += 9) {
    if (!See(v9, k0, p, &f)) continue;
    L S = 0;
    for (int k = 0; k < 3; ++k) {
      L m[3];
      const L lambda = f.Edge(k, m);
      if (!(lambda > 1)) continue;  // on the edge's line segment: no term
      S += (m[0] * f.r[k][0] + m[1] * f.r[k][1] + m[2] * f.r[k][2]) * log1pl(2 / (lambda - 1));
    }
    S -= 2 * f.h * f.HalfSolidAngle();
    U += f.h * S;
    for (int q = 0; q < 3; ++q) g[q] -= f.n[q] * S;
  }
  return {U / 2, {g[0], g[1], g[2]}};
}

// The gradient tensor T_ab = d g_a/d p_b of the same solid at p, xx, xy,
// xz, yy, yz, zz (the mean of T_ab and T_ba): per facet n (w - n Omega)^T
// with w = sum over edges of m_k ln((R_a + R_b + L)/(R_a + R_b - L)) and
// Omega = 2 atan2(...) as above; in the facet's plane to within the
// rounding of double coordinates (8 units in the last place of |p|_1 and
// the distances to the corners), Omega = 0, the mean of the two sides.
inline void TensorAt(const std::vector<double>& v9, double px, double py, double pz,
                     long double out[6]) {
  using L = long double;
  L T[3][3] = {};
  const L p[3] = {px, py, pz};
  Seen f;
  for (size_t k0 = 0; k0 + 9 <= v9.size(); k0 += 9) {
    if (!See(v9, k0, p, &f)) continue;
    L w[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      L m[3];
      const L lambda = f.Edge(k, m);
      if (!(lambda > 1)) continue;
      const L l = log1pl(2 / (lambda - 1));
      for (int q = 0; q < 3; ++q) w[q] += m[q] * l;
    }
    const L scale = fabsl(p[0]) + fabsl(p[1]) + fabsl(p[2]) + f.R[0] + f.R[1] + f.R[2];
    const L omega2 = fabsl(f.h) > 8 * 2.220446049250313e-16L * scale ? 2 * f.HalfSolidAngle() : 0;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) T[a][b] += f.n[a] * (w[b] - f.n[b] * omega2);
  }
  out[0] = T[0][0], out[1] = (T[0][1] + T[1][0]) / 2, out[2] = (T[0][2] + T[2][0]) / 2;
  out[3] = T[1][1], out[4] = (T[1][2] + T[2][1]) / 2, out[5] = T[2][2];
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
