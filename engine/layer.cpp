// The single layer of a linear density on a triangle (layer.h).
#include "engine/layer.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace layer {

namespace {

struct V3 {
  double x, y, z;
};
V3 operator-(V3 a, V3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
V3 operator+(V3 a, V3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
V3 operator*(double s, V3 a) {
  return {s * a.x, s * a.y, s * a.z};
}
double Dot(V3 a, V3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
V3 Cross(V3 a, V3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

void Linear(const double* abc, const double p[3], bool gradient, Moments* out) {
  const V3 P[3] = {{abc[0], abc[1], abc[2]}, {abc[3], abc[4], abc[5]}, {abc[6], abc[7], abc[8]}};
  const V3 q{p[0], p[1], p[2]};
  *out = Moments{};
  const V3 c = Cross(P[1] - P[0], P[2] - P[0]);
  const double area2 = std::sqrt(Dot(c, c));
  if (!(area2 > 0)) return;
  const V3 n = (1 / area2) * c;
  out->normal[0] = n.x, out->normal[1] = n.y, out->normal[2] = n.z;
  V3 a[3];  // corner - p
  double R[3];
  for (int k = 0; k < 3; ++k) a[k] = P[k] - q, R[k] = std::sqrt(Dot(a[k], a[k]));
  const double h = Dot(n, a[0]);
  // The hat functions' gradients (in the plane, 1 / height long) and their
  // values at the foot of p: lambda_k vanishes at corner k + 1.
  V3 grad_lambda[3];
  double lambda[3];
  for (int k = 0; k < 3; ++k) {
    grad_lambda[k] = (1 / area2) * Cross(n, P[(k + 2) % 3] - P[(k + 1) % 3]);
    lambda[k] = -Dot(grad_lambda[k], a[(k + 1) % 3]);
  }
  // In the plane to the rounding of the coordinates, and inside or on the
  // triangle's sides.
  const double size =
      std::max({std::fabs(p[0]), std::fabs(p[1]), std::fabs(p[2]), R[0], R[1], R[2]});
  if (std::fabs(h) <= 8 * DBL_EPSILON * size) {
    const double slack =
        8 * DBL_EPSILON * size *
        std::sqrt(Dot(grad_lambda[0], grad_lambda[0]) + Dot(grad_lambda[1], grad_lambda[1]) +
                  Dot(grad_lambda[2], grad_lambda[2]));
    out->on_facet = lambda[0] >= -slack && lambda[1] >= -slack && lambda[2] >= -slack;
  }
  // The signed solid angle, of the sign of h (2 pi on the triangle's
  // inside as h goes to 0; the terms it enters vanish there with h).
  const double den =
      R[0] * R[1] * R[2] + Dot(a[0], a[1]) * R[2] + Dot(a[0], a[2]) * R[1] + Dot(a[1], a[2]) * R[0];
  const double w = 2 * std::atan2(area2 * h, den);
  double I = -h * w;
  V3 J{0, 0, 0}, W{0, 0, 0};  // sum m_e (integral of R), sum m_e L_e
  V3 m[3];
  double L[3], l[3], s1[3], dR[3];
  bool on_line[3];
  for (int e = 0; e < 3; ++e) {
    const int b = (e + 1) % 3;
    const V3 edge = P[b] - P[e];
    l[e] = std::sqrt(Dot(edge, edge));
    const V3 u = (1 / l[e]) * edge;
    m[e] = Cross(u, n);
    const double t = Dot(m[e], a[e]);
    s1[e] = Dot(a[e], u);
    const double s2 = Dot(a[b], u);
    // R_b - R_a without the cancellation of far points.
    const double sum = R[e] + R[b];
    dR[e] = sum > 0 ? Dot(edge, a[e] + a[b]) / sum : 0;
    const double gap = R[e] + R[b] - l[e];
    on_line[e] = !(gap > 0);
    L[e] = on_line[e] ? 0 : std::log((R[e] + R[b] + l[e]) / gap);
    const V3 d = Cross(a[e], u);
    const double d2 = Dot(d, d);
    if (!on_line[e]) I += t * L[e];
    const double edge_R = 0.5 * (s2 * R[b] - s1[e] * R[e] + (on_line[e] ? 0 : d2 * L[e]));
    J = J + edge_R * m[e];
    W = W + L[e] * m[e];
  }
  for (int k = 0; k < 3; ++k) out->S[k] = lambda[k] * I + Dot(grad_lambda[k], J);
  if (!gradient) return;
  for (int k = 0; k < 3; ++k) {
    const double along_n = lambda[k] * w - h * Dot(grad_lambda[k], W);
    V3 g = along_n * n + I * grad_lambda[k];
    for (int e = 0; e < 3; ++e) {
      // The integral of lambda_k / R along edge e, from corner e (s = s1)
      // to corner e + 1: lambda_k goes linearly from its value at one to
      // its value at the other.
      const double start = k == e ? 1 : 0, end = k == (e + 1) % 3 ? 1 : 0;
      const double E = start * L[e] + (end - start) / l[e] * (dR[e] - s1[e] * L[e]);
      g = g - E * m[e];
    }
    out->grad[k][0] = g.x, out->grad[k][1] = g.y, out->grad[k][2] = g.z;
  }
}

}  // namespace layer
