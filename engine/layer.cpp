// The single layer of a linear density on a triangle (layer.h).
#include "engine/layer.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "engine/isa.h"

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
// weight 1 - s), of the fewest points a side whose error stays within about
// an ulp of the moments, S_k, grad S_k and the second derivatives alike
// (measured against a rule of 24 a side in long double, for triangles of
// every shape down to slivers 50 times longer than wide, in every
// direction): 12 from 1 size beyond the triangle, 11 from 1.5, 10 from 2,
// 9 from 3, 8 from 4, 7 from 6, 6 from 12, 5 from 32 and 4 from 256.
constexpr int kRules = 9;
constexpr double kFrom[kRules] = {256, 32, 12, 6, 4, 3, 2, 1.5, 1};
const Rule& RuleOf(int r) {
  static const Rule rules[kRules] = {Rule(4), Rule(5),  Rule(6),  Rule(7), Rule(8),
                                     Rule(9), Rule(10), Rule(11), Rule(12)};
  return rules[r];
}
// The rule for a point `ratio` sizes beyond the triangle (at least 1).
const Rule& RuleFor(double ratio) {
  int r = 0;
  while (r + 1 < kRules && !(ratio >= kFrom[r])) ++r;
  return RuleOf(r);
}

// The tensor's six components as (i, j).
constexpr int kPair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
// The nodes of the largest rule.
constexpr int kNodes = kernel::kLayerNodes;
static_assert(kNodes == 12 * 12);

// The product rule's nodes on the triangle: node i at pos[3i], its weight
// w[i] and its coordinates s, u (the hats 1 - s - u, s, u).
void Nodes(const Triangle& t, const Rule& rule, double* pos, double* w, double* s, double* u) {
  const V3 A = Load(t.P), AB = Load(t.P + 3) - A, AC = Load(t.P + 6) - A;
  int i = 0;
  for (int a = 0; a < rule.q; ++a)
    for (int b = 0; b < rule.q; ++b, ++i) {
      s[i] = rule.x[a], u[i] = rule.x[b] * (1 - s[i]);
      w[i] = t.area2 * rule.w[a] * rule.w[b] * (1 - s[i]);
      Store(A + s[i] * AB + u[i] * AC, pos + 3 * i);
    }
}

void Far(const Triangle& t, const V3& q, int order, double ratio, Moments* out) {
  const Rule& rule = RuleFor(ratio);
  // The integrals of f, s f and t f for f = 1/R, its gradient and second
  // derivatives (1 + 3 + 6 values): the hat functions are 1 - s - t, s, t.
  double sum[3][10] = {};
  double pos[3 * kNodes], weight[kNodes], node_s[kNodes], node_u[kNodes];
  Nodes(t, rule, pos, weight, node_s, node_u);
  for (int i = 0; i < rule.q * rule.q; ++i) {
    const double s = node_s[i], u = node_u[i], w = weight[i];
    const V3 d = Load(pos + 3 * i) - q;  // from p to the node
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

namespace {

// A key along the Z-order curve through the box: 21 bits an axis.
uint64_t CurveKey(double x, double y, double z, const double lo[3], const double scale[3]) {
  const double v[3] = {x, y, z};
  uint64_t key = 0;
  for (int a = 0; a < 3; ++a) {
    const double c = std::clamp((v[a] - lo[a]) * scale[a], 0.0, 2097151.0);
    uint64_t bits = uint64_t(c);
    for (int k = 0; k < 21; ++k) key |= ((bits >> k) & 1) << (3 * k + a);
  }
  return key;
}

}  // namespace

CurvePoints::CurvePoints(size_t count, const double* px, const double* py, const double* pz)
    : n(count) {
  const size_t B = kernel::kLayerBlock;
  blocks = (n + B - 1) / B;
  if (n == 0) return;
  double lo[3] = {px[0], py[0], pz[0]}, hi[3] = {px[0], py[0], pz[0]};
  for (size_t j = 0; j < n; ++j) {
    const double v[3] = {px[j], py[j], pz[j]};
    for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], v[k]), hi[k] = std::max(hi[k], v[k]);
  }
  double scale[3];
  for (int k = 0; k < 3; ++k) scale[k] = hi[k] > lo[k] ? 2097151.0 / (hi[k] - lo[k]) : 0;
  std::vector<std::pair<uint64_t, size_t>> keys(n);
  for (size_t j = 0; j < n; ++j) keys[j] = {CurveKey(px[j], py[j], pz[j], lo, scale), j};
  std::sort(keys.begin(), keys.end());
  const size_t padded = blocks * B;
  x.resize(padded), y.resize(padded), z.resize(padded), index.resize(padded);
  for (size_t i = 0; i < padded; ++i) {
    const size_t j = keys[std::min(i, n - 1)].second;
    x[i] = px[j], y[i] = py[j], z[i] = pz[j];
    index[i] = i < n ? j : n;
  }
}

void CurvePoints::Classify(const Triangle& t, size_t first, size_t last,
                           std::vector<uint32_t>* lists) const {
  for (int r = 0; r <= kRules; ++r) lists[r].clear();
  const size_t B = kernel::kLayerBlock;
  const V3 P[3] = {Load(t.P), Load(t.P + 3), Load(t.P + 6)};
  const V3 centre = (1.0 / 3) * (P[0] + P[1] + P[2]);
  const double size = std::max({t.l[0], t.l[1], t.l[2]});
  double from[kRules];
  for (int r = 0; r < kRules; ++r) from[r] = (kFrom[r] + 1) * size * ((kFrom[r] + 1) * size);
  for (size_t k = first; k < last; ++k) {
    double nearest = INFINITY;
    for (size_t i = k * B; i < k * B + B; ++i) {
      const double dx = x[i] - centre.x, dy = y[i] - centre.y, dz = z[i] - centre.z;
      nearest = std::min(nearest, dx * dx + dy * dy + dz * dz);
    }
    int r = 0;
    while (r < kRules && !(nearest >= from[r])) ++r;
    lists[r].push_back(uint32_t(k));
  }
}

namespace {

const kernel::Isa& Vector() {
  static const kernel::Isa& isa = kernel::For(kernel::Best());
  return isa;
}

}  // namespace

Adjoint::Adjoint(size_t n, const double* x, const double* y, const double* z, const double* a,
                 const double* b, const double* c)
    : points_(n, x, y, z), tensor_(c != nullptr) {
  const size_t padded = points_.x.size();
  a_.assign(padded, 0);
  for (auto& v : b_) v.assign(padded, 0);
  if (tensor_)
    for (auto& v : c_) v.assign(padded, 0);
  order_.assign(padded, 0);
  for (size_t i = 0; i < padded; ++i) {
    const size_t j = points_.index[i];
    if (j == n) continue;
    if (a) a_[i] = a[j];
    if (b)
      for (int k = 0; k < 3; ++k) {
        b_[k][i] = b[3 * j + k];
        if (b_[k][i] != 0) order_[i] = 1;
      }
    if (c)
      for (int k = 0; k < 6; ++k) {
        c_[k][i] = c[6 * j + k];
        if (c_[k][i] != 0) order_[i] = 2;
      }
  }
}

void Adjoint::Sums(const Triangle& t, const double f[3], double sum[3], size_t* on_facet) const {
  sum[0] = sum[1] = sum[2] = 0;
  const size_t n = points_.n, B = kernel::kLayerBlock;
  if (!(t.area2 > 0) || n == 0) return;
  thread_local std::vector<uint32_t> lists[kRules + 1];
  points_.Classify(t, 0, points_.blocks, lists);
  const kernel::LayerSources sources{points_.x.data(),
                                     points_.y.data(),
                                     points_.z.data(),
                                     a_.data(),
                                     {b_[0].data(), b_[1].data(), b_[2].data()},
                                     {tensor_ ? c_[0].data() : nullptr, c_[1].data(), c_[2].data(),
                                      c_[3].data(), c_[4].data(), c_[5].data()},
                                     f[0],
                                     f[1],
                                     f[2]};
  double pos[3 * kNodes], weight[kNodes], s[kNodes], u[kNodes], phi[kNodes];
  for (int r = 0; r < kRules; ++r) {
    if (lists[r].empty()) continue;
    const Rule& rule = RuleOf(r);
    const int q = rule.q * rule.q;
    Nodes(t, rule, pos, weight, s, u);
    std::fill(phi, phi + q, 0.0);
    Vector().adjoint_layer(sources, lists[r].data(), lists[r].size(), pos, q, phi);
    for (int i = 0; i < q; ++i) {
      const double v = weight[i] * phi[i];
      sum[0] += v * (1 - s[i] - u[i]), sum[1] += v * s[i], sum[2] += v * u[i];
    }
  }
  Moments M;
  for (const uint32_t k : lists[kRules])
    for (size_t i = k * B; i < k * B + B && points_.index[i] < n; ++i) {
      const double p[3] = {points_.x[i], points_.y[i], points_.z[i]};
      Linear(t, p, order_[i], &M);
      if (M.on_facet && order_[i] > 0) {
        *on_facet = std::min(*on_facet, points_.index[i]);
        continue;
      }
      for (int c = 0; c < 3; ++c) {
        sum[c] += f[0] * a_[i] * M.S[c];
        if (order_[i] > 0)
          for (int d = 0; d < 3; ++d) sum[c] += f[1] * b_[d][i] * M.grad[c][d];
        if (order_[i] > 1)
          for (int o = 0; o < 6; ++o)
            sum[c] += f[2] * c_[o][i] * M.hessian[c][kPair[o][0]][kPair[o][1]];
      }
    }
}

Forward::Forward(size_t n, const double* x, const double* y, const double* z, bool tensor)
    : points_(n, x, y, z), tensor_(tensor) {}

void Forward::Add(size_t group, const std::vector<Triangle>& triangles, const double* sigma,
                  const double f[3], double* U, double* g, double* T, size_t* on_facet) const {
  const size_t B = kernel::kLayerBlock, n = points_.n;
  const size_t first = group * kGroup, last = std::min(points_.blocks, first + kGroup);
  if (first >= last) return;
  // The group's sums in the curve's order, from its first point.
  const size_t base = first * B, count = (last - first) * B;
  thread_local std::vector<double> sums;
  const int outputs = tensor_ ? 10 : 4;
  sums.assign(size_t(outputs) * count, 0);
  const auto column = [&](int o) { return sums.data() + size_t(o) * count; };
  const kernel::LayerOut out{column(0),
                             {column(1), column(2), column(3)},
                             {tensor_ ? column(4) : nullptr, tensor_ ? column(5) : nullptr,
                              tensor_ ? column(6) : nullptr, tensor_ ? column(7) : nullptr,
                              tensor_ ? column(8) : nullptr, tensor_ ? column(9) : nullptr}};
  thread_local std::vector<uint32_t> lists[kRules + 1];
  double pos[3 * kNodes], weight[kNodes], s[kNodes], u[kNodes], node_sigma[kNodes];
  Moments M;
  for (size_t k = 0; k < triangles.size(); ++k) {
    const Triangle& t = triangles[k];
    const double* c = sigma + 3 * k;
    if (!(t.area2 > 0)) continue;
    // A triangle that does not move has only its near points looked at:
    // one on it is told all the same.
    const bool moves = c[0] != 0 || c[1] != 0 || c[2] != 0;
    points_.Classify(t, first, last, lists);
    // Blocks from the group's first.
    for (auto& l : lists)
      for (uint32_t& b : l) b -= uint32_t(first);
    for (int r = 0; r < kRules && moves; ++r) {
      if (lists[r].empty()) continue;
      const Rule& rule = RuleOf(r);
      const int q = rule.q * rule.q;
      Nodes(t, rule, pos, weight, s, u);
      for (int i = 0; i < q; ++i)
        node_sigma[i] = weight[i] * (c[0] * (1 - s[i] - u[i]) + c[1] * s[i] + c[2] * u[i]);
      Vector().layer_at(pos, node_sigma, q, lists[r].data(), lists[r].size(),
                        points_.x.data() + base, points_.y.data() + base, points_.z.data() + base,
                        out);
    }
    for (const uint32_t b : lists[kRules])
      for (size_t i = b * B; i < b * B + B && points_.index[base + i] < n; ++i) {
        const double p[3] = {points_.x[base + i], points_.y[base + i], points_.z[base + i]};
        Linear(t, p, moves ? tensor_ ? 2 : 1 : 0, &M);
        if (M.on_facet) {
          *on_facet = std::min(*on_facet, points_.index[base + i]);
          continue;
        }
        if (!moves) continue;
        for (int v = 0; v < 3; ++v) {
          out.U[i] += c[v] * M.S[v];
          for (int a = 0; a < 3; ++a) out.g[a][i] += c[v] * M.grad[v][a];
          for (int o = 0; o < 6 && tensor_; ++o)
            out.t[o][i] += c[v] * M.hessian[v][kPair[o][0]][kPair[o][1]];
        }
      }
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t j = points_.index[base + i];
    if (j == n) continue;
    U[j] += f[0] * out.U[i];
    for (int a = 0; a < 3; ++a) g[3 * j + a] += f[1] * out.g[a][i];
    for (int o = 0; o < 6 && tensor_; ++o) T[6 * j + o] += f[2] * out.t[o][i];
  }
}

}  // namespace layer
