// The tree engine: tree of cells, moments, and the evaluation by batches.
#include "engine/tree.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/error.h"
#include "engine/table.h"

namespace tree {

int Order(double rho, double eps) {
  // Smallest p with rho^(p + 1) <= eps (1 - rho), then one more.
  const double p = std::ceil(std::log(eps * (1 - rho)) / std::log(rho)) - 1;
  return std::max(1, static_cast<int>(std::max(0.0, p)) + 1);
}

namespace {

// Splits perm[begin, end) at its middle by coordinate `axis` of key (three
// doubles per item), ties by item number: a split that depends only on the
// items.
void SplitAtMiddle(uint32_t* perm, size_t begin, size_t end, const double* key, int axis) {
  std::nth_element(perm + begin, perm + begin + (end - begin) / 2, perm + end,
                   [&](uint32_t a, uint32_t b) {
                     const double ka = key[3 * size_t{a} + axis], kb = key[3 * size_t{b} + axis];
                     return ka < kb || (ka == kb && a < b);
                   });
}

// The axis of the largest extent of key over perm[begin, end).
int LongestAxis(const uint32_t* perm, size_t begin, size_t end, const double* key) {
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t i = begin; i < end; ++i)
    for (int k = 0; k < 3; ++k) {
      const double v = key[3 * size_t{perm[i]} + k];
      lo[k] = std::min(lo[k], v);
      hi[k] = std::max(hi[k], v);
    }
  int axis = 0;
  for (int k = 1; k < 3; ++k)
    if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
  return axis;
}

// Exact a*b - c*d as an unevaluated sum hi + lo (fused multiply-adds).
void CrossTerm(double a, double b, double c, double d, double* hi, double* lo) {
  const double p = a * b, q = c * d;
  const double ep = std::fma(a, b, -p), eq = std::fma(c, d, -q);
  const double s = p - q;
  const double bb = s - p;
  const double es = (p - (s - bb)) + (-q - bb);
  *hi = s;
  *lo = es + ep - eq;
}

// A sum kept as hi + lo (TwoSum at each step).
struct Compensated {
  double hi = 0, lo = 0;
  void Add(double a) {
    const double s = hi + a;
    const double bb = s - hi;
    lo += (hi - (s - bb)) + (a - bb);
    hi = s;
  }
  double Value() const { return hi + lo; }
};

void ForThreads(ThreadTeam* team, size_t items, const std::function<void(unsigned, unsigned)>& f) {
  if (team)
    team->MultiThreading(items, f);
  else
    f(0, 1);
}

}  // namespace

void Tree::Build(const FacetView& facets, const Settings& settings, const kernel::Isa& isa,
                 ThreadTeam* team) {
  std::vector<double> v9;
  try {
    v9.resize(size_t{facets.n} * 9);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  for (uint32_t f = 0; f < facets.n; ++f)
    for (int k = 0; k < 9; ++k) v9[9 * size_t{f} + k] = facets.V(f)[k];
  Build(facets.n, v9.data(), settings, isa, team);
}

void Tree::Build(uint32_t n, const double* v9, const Settings& settings, const kernel::Isa& isa,
                 ThreadTeam* team) {
  Release();
  settings_ = settings;
  isa_ = &isa;
  eps_ = settings.tolerance * kSlack;
  P_ = Order(settings.theta, eps_);
  try {
    BuildFrom(n, v9, team);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
}

void Tree::BuildFrom(uint32_t n, const double* v9, ThreadTeam* team) {
  // Facets of non-zero area, and their centroids.
  std::vector<uint32_t> perm;
  std::vector<double> centroid;
  perm.reserve(n);
  centroid.resize(size_t{n} * 3);
  for (uint32_t f = 0; f < n; ++f) {
    const double* v = v9 + 9 * size_t{f};
    const SIEntry e = MakeSIEntry(v);
    if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;
    for (int k = 0; k < 3; ++k) centroid[3 * size_t{f} + k] = (v[k] + v[3 + k] + v[6 + k]) / 3;
    perm.push_back(f);
  }
  const uint32_t kept = static_cast<uint32_t>(perm.size());
  cell_.clear();
  if (kept == 0) return;
  // Cells in depth-first order, the first child right after its parent.
  struct Pending {
    uint32_t begin, end, parent;
  };
  std::vector<Pending> stack{{0, kept, UINT32_MAX}};
  std::vector<uint32_t> starts;
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const uint32_t id = static_cast<uint32_t>(cell_.size());
    if (p.parent != UINT32_MAX && p.parent + 1 != id) cell_[p.parent].child = id;
    cell_.push_back({{0, 0, 0}, 0, p.begin, p.end, 0, 0, -1});
    if (p.end - p.begin <= settings_.leaf) {
      cell_.back().leaf = static_cast<uint32_t>(starts.size());
      starts.push_back(p.begin);
      continue;
    }
    const int axis = LongestAxis(perm.data(), p.begin, p.end, centroid.data());
    SplitAtMiddle(perm.data(), p.begin, p.end, centroid.data(), axis);
    const uint32_t mid = p.begin + (p.end - p.begin) / 2;
    stack.push_back({mid, p.end, id});
    stack.push_back({p.begin, mid, id});
  }
  std::vector<double>().swap(centroid);
  // The facets in tree order.
  std::vector<double> ordered(size_t{kept} * 9);
  for (uint32_t i = 0; i < kept; ++i)
    std::memcpy(&ordered[9 * size_t{i}], v9 + 9 * size_t{perm[i]}, 9 * sizeof(double));
  std::vector<uint32_t>().swap(perm);
  near_.Build(kept, ordered.data(), starts);
  std::vector<uint32_t>().swap(starts);

  // Cell balls: centre of the box of the vertices, radius to the farthest.
  const size_t cells = cell_.size();
  ForThreads(team, cells, [&](unsigned t, unsigned m) {
    for (size_t i = t; i < cells; i += m) {
      Cell& c = cell_[i];
      double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
      for (size_t k = 9 * size_t{c.begin}; k < 9 * size_t{c.end}; ++k) {
        lo[k % 3] = std::min(lo[k % 3], ordered[k]);
        hi[k % 3] = std::max(hi[k % 3], ordered[k]);
      }
      for (int k = 0; k < 3; ++k) c.c[k] = 0.5 * (lo[k] + hi[k]);
      double r2 = 0;
      for (size_t k = 9 * size_t{c.begin}; k < 9 * size_t{c.end}; k += 3) {
        const double dx = ordered[k] - c.c[0], dy = ordered[k + 1] - c.c[1],
                     dz = ordered[k + 2] - c.c[2];
        r2 = std::max(r2, dx * dx + dy * dy + dz * dz);
      }
      // A little more than the largest distance, so that rounding cannot
      // put a vertex outside.
      c.radius = std::sqrt(r2) * (1 + 1e-12) + 1e-300;
    }
  });
  for (int k = 0; k < 3; ++k) c0_[k] = cell_[0].c[k];

  // Moments of the cells with enough facets.
  const size_t K = kernel::MomentCount(P_);
  size_t with = 0;
  for (Cell& c : cell_)
    if (c.end - c.begin >= settings_.min_cell) c.moments = static_cast<int64_t>(K * 8 * with++);
  moment_.assign(K * 8 * with, 0.0);
  std::vector<double> inv_fact2(size_t(P_) + 1);
  for (int k = 0; k <= P_; ++k) {
    double f = 1;
    for (int j = 2; j <= k + 2; ++j) f *= j;
    inv_fact2[size_t(k)] = 1 / f;
  }
  // Depth of every cell (a parent comes before its children).
  std::vector<uint32_t> depth(cells, 0);
  uint32_t deepest = 0;
  for (uint32_t i = 0; i < cells; ++i) {
    if (cell_[i].child == 0) continue;
    depth[i + 1] = depth[cell_[i].child] = depth[i] + 1;
    deepest = std::max(deepest, depth[i] + 1);
  }
  // Deepest cells first; a cell whose two children hold moments gets them
  // by translation, the others from their facets.
  for (uint32_t level = deepest + 1; level-- > 0;) {
    std::vector<uint32_t> list;
    for (uint32_t i = 0; i < cells; ++i)
      if (depth[i] == level && cell_[i].moments >= 0) list.push_back(i);
    const size_t count = list.size();
    ForThreads(team, count, [&](unsigned t, unsigned m) {
      std::vector<double> soa, regular;
      for (size_t j = t; j < count; j += m) {
        const uint32_t id = list[j];
        const Cell& c = cell_[id];
        double* M = &moment_[size_t(c.moments)];
        if (c.child && cell_[id + 1].moments >= 0 && cell_[c.child].moments >= 0) {
          for (uint32_t k : {id + 1, c.child}) Translate(cell_[k], c, M, &regular);
          continue;
        }
        const size_t nf = c.end - c.begin;
        soa.resize(nf * 14);
        double* v[9];
        double* s[4];
        for (int k = 0; k < 9; ++k) v[k] = soa.data() + k * nf;
        double* area = soa.data() + 9 * nf;
        for (int q = 0; q < 4; ++q) s[q] = soa.data() + (10 + q) * nf;
        for (size_t i = 0; i < nf; ++i) {
          const double* w = &ordered[9 * (c.begin + i)];
          for (int k = 0; k < 9; ++k) v[k][i] = w[k];
          double area2;
          const SIEntry e = MakeSIEntry(w, &area2);
          area[i] = 0.5 * area2;
          s[0][i] = e.nx * (w[0] - c0_[0]) + e.ny * (w[1] - c0_[1]) + e.nz * (w[2] - c0_[2]);
          s[1][i] = e.nx;
          s[2][i] = e.ny;
          s[3][i] = e.nz;
        }
        const double* const cv[9] = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
        const double* const cs[4] = {s[0], s[1], s[2], s[3]};
        isa_->moments(nf, cv, area, cs, c.c, 1 / c.radius, P_, inv_fact2.data(), M);
      }
    });
  }
  // The normal densities' monopole of the whole model is half the sum of the
  // facets' A x B + B x C + C x A: zero for a closed surface, whose edges
  // cancel pairwise. Summed exactly, so that far away (where the field is
  // the dipole's) no rounding remainder of it stands in for the field.
  if (cell_[0].moments >= 0) {
    Compensated sum[3];
    for (uint32_t i = 0; i < kept; ++i) {
      const double* w = &ordered[9 * size_t{i}];
      for (int e = 0; e < 3; ++e) {
        const double* a = w + 3 * e;
        const double* b = w + 3 * ((e + 1) % 3);
        double hi, lo;
        for (int k = 0; k < 3; ++k) {
          const int k1 = (k + 1) % 3, k2 = (k + 2) % 3;
          CrossTerm(a[k1], b[k2], a[k2], b[k1], &hi, &lo);
          sum[k].Add(hi);
          sum[k].Add(lo);
        }
      }
    }
    for (int k = 0; k < 3; ++k) moment_[size_t(cell_[0].moments) + 1 + k] = 0.5 * sum[k].Value();
  }
  // The factor 2 of the orders m > 0, folded in.
  for (uint32_t i = 0; i < cells; ++i) {
    if (cell_[i].moments < 0) continue;
    double* M = &moment_[size_t(cell_[i].moments)];
    for (size_t k = 8 * size_t(P_ + 1); k < K * 8; ++k) M[k] *= 2;
  }
}

void Tree::Translate(const Cell& from, const Cell& to, double* M,
                     std::vector<double>* regular) const {
  // With d = (c - c')/a' and s = a/a': M'_n^m = sum over j <= n and l of
  // s^j M_j^l conj(R_{n-j}^{m-l}(d)), from R_n^m(x + y) = sum R_j^l(x)
  // R_{n-j}^{m-l}(y), taking M^-l = (-1)^l conj(M^l), R^-k the same.
  const int P = P_;
  const double ia = 1 / to.radius;
  const double d[3] = {(from.c[0] - to.c[0]) * ia, (from.c[1] - to.c[1]) * ia,
                       (from.c[2] - to.c[2]) * ia};
  const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  // Regular harmonics of d: (re, im) at twice the moments' index.
  const size_t K = kernel::MomentCount(P);
  regular->assign(2 * K, 0.0);
  double* R = regular->data();
  auto at = [&](int n, int m) { return 2 * kernel::MomentIndex(n, m, P); };
  double dr = 1, di = 0;  // R_m^m
  for (int m = 0; m <= P; ++m) {
    if (m > 0) {
      const double f = 1.0 / (2 * m);
      const double nr = (d[0] * dr - d[1] * di) * f, ni = (d[0] * di + d[1] * dr) * f;
      dr = nr, di = ni;
    }
    R[at(m, m)] = dr, R[at(m, m) + 1] = di;
    if (m == P) break;
    R[at(m + 1, m)] = d[2] * dr, R[at(m + 1, m) + 1] = d[2] * di;
    for (int n = m + 2; n <= P; ++n) {
      const double f = 1.0 / (double(n - m) * double(n + m));
      R[at(n, m)] = ((2 * n - 1) * d[2] * R[at(n - 1, m)] - r2 * R[at(n - 2, m)]) * f;
      R[at(n, m) + 1] = ((2 * n - 1) * d[2] * R[at(n - 1, m) + 1] - r2 * R[at(n - 2, m) + 1]) * f;
    }
  }
  // Full tables over -n <= m <= n: source moments scaled by s^j, as eight
  // doubles each, and the conjugated regular harmonics of d as (re, im).
  const double* S = &moment_[size_t(from.moments)];
  const size_t full = size_t(P + 1) * size_t(P + 1);
  thread_local std::vector<double> src, conj_r;
  src.resize(8 * full);
  conj_r.resize(2 * full);
  double w = 1;
  const double scale = from.radius * ia;
  for (int j = 0; j <= P; ++j, w *= scale)
    for (int l = -j; l <= j; ++l) {
      const int al = l < 0 ? -l : l;
      const double* m = S + 8 * kernel::MomentIndex(j, al, P);
      const double sign = (l < 0 && (al & 1)) ? -w : w;  // (-1)^l
      double* out = &src[8 * (size_t(j) * size_t(j) + size_t(j + l))];
      for (int c = 0; c < 4; ++c) {
        out[c] = sign * m[c];
        out[4 + c] = (l < 0 ? -sign : sign) * m[4 + c];
      }
      const double* r = R + at(j, al);
      const double rs = (l < 0 && (al & 1)) ? -1.0 : 1.0;
      double* cr = &conj_r[2 * (size_t(j) * size_t(j) + size_t(j + l))];
      cr[0] = rs * r[0];
      cr[1] = (l < 0 ? rs : -rs) * r[1];  // conj(R^l) = conj((-1)^l conj(R^-l))
    }
  for (int n = 0; n <= P; ++n)
    for (int m = 0; m <= n; ++m) {
      double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      for (int j = 0; j <= n; ++j) {
        const int k = n - j;
        const int lo = std::max(-j, m - k), hi = std::min(j, m + k);
        const double* sj = &src[8 * (size_t(j) * size_t(j) + size_t(j))];
        const double* rk = &conj_r[2 * (size_t(k) * size_t(k) + size_t(k + m))];
        for (int l = lo; l <= hi; ++l) {
          // M_j^l conj(R_k^(m - l)) = (mr + i mi)(cr + i ci)
          const double* sl = sj + 8 * l;
          const double cr = rk[-2 * l], ci = rk[-2 * l + 1];
          for (int c = 0; c < 4; ++c) {
            acc[c] += sl[c] * cr - sl[4 + c] * ci;
            acc[4 + c] += sl[4 + c] * cr + sl[c] * ci;
          }
        }
      }
      double* out = M + 8 * kernel::MomentIndex(n, m, P);
      for (int c = 0; c < 8; ++c) out[c] += acc[c];
    }
}

void Tree::Release() {
  cell_ = {};
  moment_ = {};
  near_.Release();
  isa_ = nullptr;
}

namespace {

// The ball of points [s, e) of the three arrays: centre of their box, radius.
void Ball(const double* const p[3], size_t s, size_t e, double centre[3], double* radius) {
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t j = s; j < e; ++j)
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k][j]);
      hi[k] = std::max(hi[k], p[k][j]);
    }
  double r2 = 0;
  for (int k = 0; k < 3; ++k) centre[k] = 0.5 * (lo[k] + hi[k]);
  for (size_t j = s; j < e; ++j) {
    double d2 = 0;
    for (int k = 0; k < 3; ++k) d2 += (p[k][j] - centre[k]) * (p[k][j] - centre[k]);
    r2 = std::max(r2, d2);
  }
  *radius = std::sqrt(r2) * (1 + 1e-12);
}

}  // namespace

void Tree::Batch(size_t first, size_t count, const double* x, const double* y, const double* z,
                 double* sum, TableGuard guard) const {
  const double* p[3] = {x + first, y + first, z + first};
  // Work items: a cell against points [s, e) of the batch. A cell that is
  // too near for points spread wider than itself is tried again against
  // each half of them (the batch is in spatial order, so halves are
  // compact): far points in a batch with near ones still get expansions.
  struct Item {
    uint32_t cell;
    uint32_t s, e;
  };
  struct Near {
    uint32_t s, e, leaf;
  };
  thread_local std::vector<Item> stack;
  thread_local std::vector<Near> near;
  thread_local std::vector<double> psi;
  thread_local std::vector<uint32_t> leaves;
  stack.clear();
  near.clear();
  psi.assign(4 * count, 0.0);
  stack.push_back({0, 0, static_cast<uint32_t>(count)});
  uint32_t ball_s = 1, ball_e = 0;  // the range whose ball is at hand
  double bc[3] = {0, 0, 0}, rt = 0;
  while (!stack.empty()) {
    const Item it = stack.back();
    stack.pop_back();
    const Cell& c = cell_[it.cell];
    if (c.moments >= 0) {
      if (it.s != ball_s || it.e != ball_e) {
        Ball(p, it.s, it.e, bc, &rt);
        ball_s = it.s, ball_e = it.e;
      }
      const double dx = c.c[0] - bc[0], dy = c.c[1] - bc[1], dz = c.c[2] - bc[2];
      const double gap = std::sqrt(dx * dx + dy * dy + dz * dz) - rt;
      if (gap > 0 && c.radius <= settings_.theta * gap) {
        const double rho = c.radius / gap;
        const double scale = rho / settings_.theta;
        const int order =
            forced_ >= 0 ? std::min(forced_, P_) : std::min(P_, Order(rho, eps_ * scale * scale));
        if (forced_ >= 0 || double(kernel::MomentCount(order)) * settings_.coefficient_cost <
                                double(c.end - c.begin)) {
          isa_->far(&moment_[size_t(c.moments)], P_, order, c.c, 1 / c.radius, it.e - it.s,
                    p[0] + it.s, p[1] + it.s, p[2] + it.s, &psi[4 * size_t(it.s)]);
          continue;
        }
      } else if (it.e - it.s > 1 && rt > c.radius) {
        const uint32_t mid = it.s + (it.e - it.s) / 2;
        stack.push_back({it.cell, mid, it.e});
        stack.push_back({it.cell, it.s, mid});
        continue;
      }
    }
    if (c.child == 0) {
      near.push_back({it.s, it.e, c.leaf});
    } else {
      stack.push_back({c.child, it.s, it.e});
      stack.push_back({it.cell + 1, it.s, it.e});
    }
  }
  for (size_t j = 0; j < count; ++j) {
    const double* s = &psi[4 * j];
    const double dx = p[0][j] - c0_[0], dy = p[1][j] - c0_[1], dz = p[2][j] - c0_[2];
    sum[4 * j] = 0.5 * (s[0] - (dx * s[1] + dy * s[2] + dz * s[3]));
    sum[4 * j + 1] = -s[1];
    sum[4 * j + 2] = -s[2];
    sum[4 * j + 3] = -s[3];
  }
  // The near field, one evaluation per range of points with its leaves in
  // the order found.
  std::stable_sort(near.begin(), near.end(), [](const Near& a, const Near& b) {
    return a.s < b.s || (a.s == b.s && a.e < b.e);
  });
  for (size_t i = 0; i < near.size();) {
    size_t k = i;
    leaves.clear();
    for (; k < near.size() && near[k].s == near[i].s && near[k].e == near[i].e; ++k)
      leaves.push_back(near[k].leaf);
    for (size_t j = near[i].s; j < near[i].e; j += kernel::kPoints) {
      const size_t n = std::min<size_t>(kernel::kPoints, near[i].e - j);
      isa_->near[static_cast<int>(guard)](near_, leaves.data(), leaves.size(), n, p[0] + j,
                                          p[1] + j, p[2] + j, sum + 4 * j);
    }
    i = k;
  }
}

void Tree::Evaluate(size_t count, const double* x, const double* y, const double* z,
                    const FieldOut& out, TableGuard guard, ThreadTeam* team) const {
  if (count == 0) return;
  std::vector<double> sum;
  std::vector<uint32_t> order;
  std::vector<double> pts;
  std::vector<size_t> batch_start;
  try {
    sum.assign(4 * count, 0.0);
    order.resize(count);
    pts.resize(3 * count);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  for (size_t i = 0; i < count; ++i) {
    order[i] = static_cast<uint32_t>(i);
    pts[3 * i] = x[i], pts[3 * i + 1] = y[i], pts[3 * i + 2] = z[i];
  }
  // Batches: the points split like the facets, down to `batch` points.
  std::vector<std::pair<size_t, size_t>> stack{{0, count}};
  while (!stack.empty()) {
    const auto [b, e] = stack.back();
    stack.pop_back();
    if (e - b <= settings_.batch) {
      batch_start.push_back(b);
      continue;
    }
    SplitAtMiddle(order.data(), b, e, pts.data(), LongestAxis(order.data(), b, e, pts.data()));
    const size_t mid = b + (e - b) / 2;
    stack.push_back({mid, e});
    stack.push_back({b, mid});
  }
  std::sort(batch_start.begin(), batch_start.end());
  batch_start.push_back(count);
  // The points in batch order, as three arrays.
  std::vector<double> bx(count), by(count), bz(count);
  for (size_t i = 0; i < count; ++i) {
    bx[i] = x[order[i]];
    by[i] = y[order[i]];
    bz[i] = z[order[i]];
  }
  std::vector<double>().swap(pts);
  const size_t batches = batch_start.size() - 1;
  if (cell_.empty()) {
    // No facet of non-zero area: the field is zero.
  } else {
    ForThreads(team, batches, [&](unsigned t, unsigned m) {
      for (size_t b = t; b < batches; b += m)
        Batch(batch_start[b], batch_start[b + 1] - batch_start[b], bx.data(), by.data(), bz.data(),
              &sum[4 * batch_start[b]], guard);
    });
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t j = order[i];
    if (out.U) out.U[j] = sum[4 * i];
    if (out.gx) out.gx[j] = sum[4 * i + 1];
    if (out.gy) out.gy[j] = sum[4 * i + 2];
    if (out.gz) out.gz[j] = sum[4 * i + 3];
  }
}

}  // namespace tree

double ToleranceSetting() {
  static const double value = [] {
    const char* text = std::getenv("TOLERANCE");
    if (!text) return 0.0;
    char* end = nullptr;
    const double t = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(t > 0 && t < 1))
      Error("TOLERANCE: not a positive number below 1.");
    return t;
  }();
  return value;
}

bool TreeIsFaster(size_t facets, size_t points, double tolerance) {
  // Measured on generated asteroids of 80,000 and 320,000 facets (surface
  // case, one thread): building the tree costs about as much as the exact
  // sum at `setup` points, and each point then costs the exact sum over
  // `per_point` log2 N facets; both grow with the digits asked for.
  const double digits = -std::log10(tolerance);
  const double setup = 10 * digits * digits;
  const double n = static_cast<double>(facets), m = static_cast<double>(points);
  const double per_point = (100 + 2 * digits * digits) * std::log2(std::max(n, 2.0));
  return m * n > setup * n + m * per_point;
}

namespace tree {

void Switch::Start() {
  tolerance_ = ToleranceSetting();
}

bool Switch::Load(const FacetView& model) {
  view_ = model;
  v9_ = nullptr;
  facets_ = model.n;
  return tolerance_ == 0;
}

bool Switch::Load(uint32_t n, const double* v9) {
  view_ = {};
  v9_ = v9;
  facets_ = n;
  return tolerance_ == 0;
}

bool Switch::Evaluate(size_t count, const double* x, const double* y, const double* z,
                      const FieldOut& out, TableGuard guard, const kernel::Isa& isa,
                      ThreadTeam* team, kernel::Model* exact) {
  if (tree_.Built() && tree_tolerance_ != tolerance_) tree_.Release();
  if (tolerance_ > 0) {
    evaluated_ += count;
    if (!tree_.Built() && TreeIsFaster(facets_, std::max(expected_, evaluated_), tolerance_)) {
      exact->Release();
      Settings settings;
      settings.tolerance = tolerance_;
      if (v9_)
        tree_.Build(static_cast<uint32_t>(facets_), v9_, settings, isa, team);
      else
        tree_.Build(view_, settings, isa, team);
      tree_tolerance_ = tolerance_;
    }
    if (tree_.Built()) {
      tree_.Evaluate(count, x, y, z, out, guard, team);
      return true;
    }
  }
  // The exact table, built now when it was left for the tree.
  if (exact->chunks() == 0 && facets_ > 0) {
    if (v9_)
      exact->Build(static_cast<uint32_t>(facets_), v9_);
    else
      exact->Build(view_);
  }
  return false;
}

void Switch::Release() {
  tree_.Release();
}

}  // namespace tree
