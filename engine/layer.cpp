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
V3 Load(const double* v) {
  return {v[0], v[1], v[2]};
}
void Store(V3 a, double* v) {
  v[0] = a.x, v[1] = a.y, v[2] = a.z;
}

}  // namespace

void Prepare(const double* abc, Triangle* t) {
  *t = Triangle{};
  for (int k = 0; k < 9; ++k) t->P[k] = abc[k];
  const V3 P[3] = {{abc[0], abc[1], abc[2]}, {abc[3], abc[4], abc[5]}, {abc[6], abc[7], abc[8]}};
  const V3 c = Cross(P[1] - P[0], P[2] - P[0]);
  t->area2 = std::sqrt(Dot(c, c));
  if (!(t->area2 > 0)) return;
  const V3 n = (1 / t->area2) * c;
  Store(n, t->n);
  double size = 0;
  for (int k = 0; k < 3; ++k) {
    // The hat functions' gradients, in the plane, 1 / height long.
    Store((1 / t->area2) * Cross(n, P[(k + 2) % 3] - P[(k + 1) % 3]), &t->grad_lambda[3 * k]);
    const V3 edge = P[(k + 1) % 3] - P[k];
    t->l[k] = std::sqrt(Dot(edge, edge));
    const V3 u = (1 / t->l[k]) * edge;
    Store(u, &t->u[3 * k]);
    Store(Cross(u, n), &t->m[3 * k]);
    const V3 g = Load(&t->grad_lambda[3 * k]);
    size += Dot(g, g);
  }
  t->gradient_size = std::sqrt(size);
}

void Linear(const double* abc, const double p[3], int order, Moments* out) {
  Triangle t;
  Prepare(abc, &t);
  Linear(t, p, order, out);
}

void GaussLegendre(int q, std::vector<double>* x, std::vector<double>* w) {
  x->resize(size_t(q)), w->resize(size_t(q));
  for (int i = 0; i < q; ++i) {
    double t = std::cos(M_PI * (i + 0.75) / (q + 0.5)), dp = 1;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1, p1 = t;
      for (int k = 2; k <= q; ++k) {
        const double p2 = ((2 * k - 1) * t * p1 - (k - 1) * p0) / k;
        p0 = p1, p1 = p2;
      }
      dp = q * (t * p1 - p0) / (t * t - 1);
      const double step = p1 / dp;
      t -= step;
      if (std::fabs(step) < 1e-17) break;
    }
    (*x)[size_t(i)] = (1 - t) / 2;
    (*w)[size_t(i)] = 1 / ((1 - t * t) * dp * dp);
  }
}

namespace {

// A Gauss-Legendre rule on [0, 1] of q <= 16 nodes.
struct Rule {
  int q;
  double x[16], w[16];
  explicit Rule(int count) : q(count) {
    std::vector<double> nodes, weights;
    GaussLegendre(q, &nodes, &weights);
    std::copy(nodes.begin(), nodes.end(), x);
    std::copy(weights.begin(), weights.end(), w);
  }
};

// Away from the triangle (more than its longest edge beyond it) the closed
// forms lose digits to cancellation, about (distance / size)^2 rounding
// errors (1e-13 at 4 sizes, 1e-9 at 100, 1e-4 at 10^4): there the moments
// come from a Gauss product rule on the triangle (s = x_a, t = x_b (1 - s),
// weight 1 - s), whose error for an integrand smooth over the distance d
// falls as (4 d / size)^(-2q): 12 points a side from 1 size away, 8 from
// 4, 5 from 16, 4 from 128, each below the rounding of the sum.
void Far(const Triangle& t, const V3& q, int order, double ratio, Moments* out) {
  static const Rule r4(4), r5(5), r8(8), r12(12);
  const Rule& rule = ratio >= 128 ? r4 : ratio >= 16 ? r5 : ratio >= 4 ? r8 : r12;
  const V3 A = Load(t.P), AB = Load(t.P + 3) - A, AC = Load(t.P + 6) - A;
  // The integrals of f, s f and t f for f = 1/R, its gradient and second
  // derivatives (1 + 3 + 6 values): the hat functions are 1 - s - t, s, t.
  double sum[3][10] = {};
  for (int a = 0; a < rule.q; ++a)
    for (int b = 0; b < rule.q; ++b) {
      const double s = rule.x[a], u = rule.x[b] * (1 - s);
      const double w = t.area2 * rule.w[a] * rule.w[b] * (1 - s);
      const V3 d = (A + s * AB + u * AC) - q;  // from p to the node
      const double r2 = Dot(d, d), inv = 1 / std::sqrt(r2), inv3 = inv * inv * inv;
      double f[10] = {inv, d.x * inv3, d.y * inv3, d.z * inv3};
      if (order > 1) {
        const double inv5 = 3 * inv3 * inv * inv;
        f[4] = d.x * d.x * inv5 - inv3, f[5] = d.x * d.y * inv5, f[6] = d.x * d.z * inv5;
        f[7] = d.y * d.y * inv5 - inv3, f[8] = d.y * d.z * inv5, f[9] = d.z * d.z * inv5 - inv3;
      }
      const int count = order > 1 ? 10 : order > 0 ? 4 : 1;
      for (int k = 0; k < count; ++k) {
        const double wf = w * f[k];
        sum[0][k] += wf, sum[1][k] += wf * s, sum[2][k] += wf * u;
      }
    }
  constexpr int kPair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
  for (int k = 0; k < 3; ++k) {
    // Corner 0's hat is 1 - s - t, corner 1's s, corner 2's t.
    const auto moment = [&](int i) {
      return k == 0 ? sum[0][i] - sum[1][i] - sum[2][i] : sum[k][i];
    };
    out->S[k] = moment(0);
    if (order < 1) continue;
    for (int i = 0; i < 3; ++i) out->grad[k][i] = moment(1 + i);
    if (order < 2) continue;
    for (int c = 0; c < 6; ++c) {
      const int i = kPair[c][0], j = kPair[c][1];
      out->hessian[k][i][j] = out->hessian[k][j][i] = moment(4 + c);
    }
  }
}

}  // namespace

void Linear(const Triangle& t, const double p[3], int order, Moments* out) {
  const V3 P[3] = {Load(t.P), Load(t.P + 3), Load(t.P + 6)};
  const V3 q{p[0], p[1], p[2]};
  *out = Moments{};
  const double area2 = t.area2;
  if (!(area2 > 0)) return;
  const V3 n = Load(t.n);
  out->normal[0] = n.x, out->normal[1] = n.y, out->normal[2] = n.z;
  {
    const V3 centre = (1.0 / 3) * (P[0] + P[1] + P[2]), d = q - centre;
    const double size = std::max({t.l[0], t.l[1], t.l[2]});
    const double ratio = (std::sqrt(Dot(d, d)) - size) / size;
    if (ratio >= 1) {
      Far(t, q, order, ratio, out);
      return;
    }
  }
  V3 a[3];  // corner - p
  double R[3];
  for (int k = 0; k < 3; ++k) a[k] = P[k] - q, R[k] = std::sqrt(Dot(a[k], a[k]));
  const double h = Dot(n, a[0]);
  // The hat functions' values at the foot of p: lambda_k vanishes at
  // corner k + 1.
  V3 grad_lambda[3];
  double lambda[3];
  for (int k = 0; k < 3; ++k) {
    grad_lambda[k] = Load(&t.grad_lambda[3 * k]);
    lambda[k] = -Dot(grad_lambda[k], a[(k + 1) % 3]);
  }
  // In the plane to the rounding of the coordinates, and inside or on the
  // triangle's sides.
  const double size =
      std::max({std::fabs(p[0]), std::fabs(p[1]), std::fabs(p[2]), R[0], R[1], R[2]});
  if (std::fabs(h) <= 8 * DBL_EPSILON * size) {
    const double slack = 8 * DBL_EPSILON * size * t.gradient_size;
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
  V3 u[3];
  double L[3], l[3], s1[3], s2[3], dR[3], d2[3];
  bool on_line[3];
  for (int e = 0; e < 3; ++e) {
    const int b = (e + 1) % 3;
    const V3 edge = P[b] - P[e];
    l[e] = t.l[e];
    u[e] = Load(&t.u[3 * e]);
    m[e] = Load(&t.m[3 * e]);
    const double te = Dot(m[e], a[e]);
    s1[e] = Dot(a[e], u[e]);
    s2[e] = Dot(a[b], u[e]);
    // R_b - R_a without the cancellation of far points.
    const double sum = R[e] + R[b];
    dR[e] = sum > 0 ? Dot(edge, a[e] + a[b]) / sum : 0;
    const double gap = R[e] + R[b] - l[e];
    on_line[e] = !(gap > 0);
    L[e] = on_line[e] ? 0 : std::log((R[e] + R[b] + l[e]) / gap);
    const V3 d = Cross(a[e], u[e]);
    d2[e] = Dot(d, d);
    if (!on_line[e]) I += te * L[e];
    const double edge_R = 0.5 * (s2[e] * R[b] - s1[e] * R[e] + (on_line[e] ? 0 : d2[e] * L[e]));
    J = J + edge_R * m[e];
    W = W + L[e] * m[e];
  }
  for (int k = 0; k < 3; ++k) out->S[k] = lambda[k] * I + Dot(grad_lambda[k], J);
  if (order < 1) return;
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
  if (order < 2) return;
  // grad L_e = u (1/R_a - 1/R_b) + K_e d, d = a_e - s1 u the way from p to
  // the edge's line and K_e = (s2/R_b - s1/R_a) / |d|^2 (without its
  // cancellation where p lies beyond an end, on the line or near it); the
  // solid angle's gradient sum_e K_e d x u.
  V3 grad_L[3], grad_w{0, 0, 0};
  for (int e = 0; e < 3; ++e) {
    const int b = (e + 1) % 3;
    grad_L[e] = {0, 0, 0};
    if (on_line[e]) continue;
    const V3 d = a[e] - s1[e] * u[e];
    const double K = s1[e] * s2[e] > 0
                         ? l[e] * (s1[e] + s2[e]) / (R[e] * R[b] * (s2[e] * R[e] + s1[e] * R[b]))
                         : (s2[e] / R[b] - s1[e] / R[e]) / d2[e];
    grad_L[e] = (dR[e] / (R[e] * R[b])) * u[e] + K * d;
    grad_w = grad_w + K * Cross(d, u[e]);
  }
  const V3 grad_I = w * n - W;
  for (int k = 0; k < 3; ++k) {
    const V3 gl = grad_lambda[k];
    const double gl_W = Dot(gl, W);
    // d/dp of h (grad lambda_k . W): -n (gl . W) + h sum_e (gl . m_e) grad L_e.
    V3 hW = -gl_W * n;
    for (int e = 0; e < 3; ++e) hW = hW + (h * Dot(gl, m[e])) * grad_L[e];
    // The gradient of the factor of n: lambda_k w - h gl . W.
    const V3 along_n = w * gl + lambda[k] * grad_w - hW;
    double H[3][3];
    const double nv[3] = {n.x, n.y, n.z}, glv[3] = {gl.x, gl.y, gl.z};
    const double an[3] = {along_n.x, along_n.y, along_n.z}, gI[3] = {grad_I.x, grad_I.y, grad_I.z};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) H[i][j] = nv[i] * an[j] + glv[i] * gI[j];
    for (int e = 0; e < 3; ++e) {
      const int b = (e + 1) % 3;
      const double start = k == e ? 1 : 0, end = k == b ? 1 : 0;
      V3 gE = start * grad_L[e];
      if (end != start && !on_line[e])
        gE = gE + ((end - start) / l[e]) *
                      ((1 / R[e]) * a[e] - (1 / R[b]) * a[b] + L[e] * u[e] - s1[e] * grad_L[e]);
      const double mv[3] = {m[e].x, m[e].y, m[e].z}, gEv[3] = {gE.x, gE.y, gE.z};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) H[i][j] -= mv[i] * gEv[j];
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) out->hessian[k][i][j] = 0.5 * (H[i][j] + H[j][i]);
  }
}

}  // namespace layer
