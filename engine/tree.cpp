// The tree engine: the source tree, its moments (P2M, M2M), and the
// evaluation by batches (M2P, P2P) under the a-priori error budget.
#include "engine/tree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numeric>

#include "common/error.h"
#include "engine/multipole.h"
#include "engine/table.h"
#include "engine/table_engine.h"

namespace multipole {

int Order(double rho, double eps) {
  // Smallest p with rho^(p + 1) <= eps (1 - rho).
  const double p = std::ceil(std::log(eps * (1 - rho)) / std::log(rho)) - 1;
  return std::max(1, static_cast<int>(std::min(1e6, std::max(0.0, p))));
}

}  // namespace multipole

namespace tree {

using multipole::Count;
using multipole::Index;

namespace {

// The gradient's truncation bound beyond order P, per unit of Q (times r^2):
// sum_{n>P} (2n + 1) rho^n = rho^(P+1) ((2P + 3)(1 - rho) + 2 rho)/(1 - rho)^2.
double GradientTail(double rho, int P) {
  return std::pow(rho, P + 1) * ((2.0 * P + 3) * (1 - rho) + 2 * rho) / ((1 - rho) * (1 - rho));
}

}  // namespace

int StoredOrder(const Settings& settings) {
  const double eps = settings.tolerance * 0.1, t = settings.theta;
  int P = std::min(multipole::kMaxOrder, multipole::Order(t, eps));
  if (settings.gradient)
    while (P < multipole::kMaxOrder && GradientTail(t, P) > eps) ++P;
  return P;
}

namespace {

// The coordinates of the items split: key[k][i] is coordinate k of item i.
struct Keys {
  const double* key[3];
  double operator()(uint32_t i, int k) const { return key[k][i]; }
};

// Splits perm[begin, end) at `mid` by coordinate `axis` of the keys, ties
// by item number: a split that depends only on the items.
void SplitAt(uint32_t* perm, size_t begin, size_t mid, size_t end, const Keys& key, int axis) {
  std::nth_element(perm + begin, perm + mid, perm + end, [&](uint32_t a, uint32_t b) {
    const double ka = key(a, axis), kb = key(b, axis);
    return ka < kb || (ka == kb && a < b);
  });
}

// The axis of the largest extent of the keys over perm[begin, end).
int LongestAxis(const uint32_t* perm, size_t begin, size_t end, const Keys& key) {
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t i = begin; i < end; ++i)
    for (int k = 0; k < 3; ++k) {
      const double v = key(perm[i], k);
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

void ForThreads(ThreadTeam* team, size_t items, const std::function<void(unsigned, unsigned)>& f,
                unsigned threads = 0) {
  if (team)
    team->MultiThreading(items, f, threads);
  else
    f(0, 1);
}

// Batches list[0 ..] over the team, run(b) for each (thread t takes
// t, t + m, ...); the monitor is told the share done from thread 0. False
// when it stopped them.
bool ForBatches(ThreadTeam* team, const std::vector<size_t>& list, const EvaluateOptions& options,
                const std::function<void(size_t)>& run) {
  const size_t batches = list.size();
  std::atomic<bool> stop{false};
  ForThreads(
      team, batches,
      [&](unsigned t, unsigned m) {
        const size_t mine = batches > t ? (batches - t + m - 1) / m : 0;
        size_t done = 0;
        for (size_t j = t; j < batches && !stop; j += m) {
          run(list[j]);
          if (t == 0 && options.monitor && ++done % 64 == 0 &&
              !options.monitor(double(done) / double(mine)))
            stop = true;
        }
        if (t == 0 && options.monitor && !stop && !options.monitor(1.0)) stop = true;
      },
      options.threads);
  return !stop;
}

// The facet fields of lane l of group g of a chunk.
double Field(const kernel::Chunk& ch, uint32_t g, int field, int lane) {
  return ch
      .facet[(size_t(g) * kernel::kFacetFields + size_t(field)) * kernel::kGroup + size_t(lane)];
}

// The gap between a cell's ball (centre c, radius a) and a ball of points
// (centre b, radius rt), and whether the cell is far from the points by
// the opening rule a <= theta x gap.
bool FarFrom(const double c[3], double a, const double b[3], double rt, double theta, double* gap) {
  const double dx = c[0] - b[0], dy = c[1] - b[1], dz = c[2] - b[2];
  *gap = std::sqrt(dx * dx + dy * dy + dz * dz) - rt;
  return *gap > 0 && a <= theta * *gap;
}

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

// How many of n >= 2 points go to the first part of a split: the multiple
// of eight nearest half of them (halves at 16 and fewer), so that parts of
// whole vectors split into whole vectors.
size_t WholeVectors(size_t n) {
  return n <= 16 ? n / 2 : (n / 2 + 4) / 8 * 8;
}

// The points of a call in batches, split like the facets down to `batch`
// points: order[i] is the point at place i, start[b] the first place of
// batch b (one more: count), and the points in that order.
struct Batches {
  std::vector<uint32_t> order;
  std::vector<size_t> start;
  Doubles x, y, z;
};
void FormBatches(size_t count, const double* x, const double* y, const double* z, uint32_t batch,
                 Batches* out) {
  std::vector<uint32_t>* order = &out->order;
  std::vector<size_t>* start = &out->start;
  try {
    order->resize(count);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  for (size_t i = 0; i < count; ++i) (*order)[i] = static_cast<uint32_t>(i);
  const Keys pts{{x, y, z}};  // the caller's arrays: no copy
  std::vector<std::pair<size_t, size_t>> stack{{0, count}};
  start->clear();
  while (!stack.empty()) {
    const auto [b, e] = stack.back();
    stack.pop_back();
    if (e - b <= batch) {
      start->push_back(b);
      continue;
    }
    const size_t mid = b + WholeVectors(e - b);
    SplitAt(order->data(), b, mid, e, pts, LongestAxis(order->data(), b, e, pts));
    stack.push_back({mid, e});
    stack.push_back({b, mid});
  }
  std::sort(start->begin(), start->end());
  start->push_back(count);
  try {
    out->x.resize(count), out->y.resize(count), out->z.resize(count);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  for (size_t i = 0; i < count; ++i) {
    out->x[i] = x[(*order)[i]];
    out->y[i] = y[(*order)[i]];
    out->z[i] = z[(*order)[i]];
  }
}

}  // namespace

// ---------------------------------------------------------------- building

void Tree::Build(const Facets& facets, const Settings& settings, const kernel::Isa& isa,
                 ThreadTeam* team) {
  Release();
  settings_ = settings;
  isa_ = &isa;
  P_ = StoredOrder(settings);
  try {
    Doubles ordered;
    {
      const std::vector<uint32_t> perm = Partition(facets);
      if (perm.empty()) return;
      std::vector<uint32_t> starts;
      for (const Cell& c : cell_)
        if (c.child == 0) starts.push_back(c.begin);
      LeafTable(facets, perm, starts, &ordered);
    }
    CellBalls(ordered, team);
    CellCharges(ordered);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
}

// The cells in depth-first order, the first child right after its parent;
// returns the facets of non-zero area in tree order.
std::vector<uint32_t> Tree::Partition(const Facets& facets) {
  std::vector<uint32_t> perm;
  std::vector<double> centroid(size_t{facets.n} * 3);
  perm.reserve(facets.n);
  for (uint32_t f = 0; f < facets.n; ++f) {
    double v[9];
    facets.Corners(f, v);
    const SIEntry e = MakeSIEntry(v);
    if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;
    for (int k = 0; k < 3; ++k)
      centroid[k * size_t{facets.n} + f] = (v[k] + v[3 + k] + v[6 + k]) / 3;
    perm.push_back(f);
  }
  const Keys keys{
      {centroid.data(), centroid.data() + facets.n, centroid.data() + 2 * size_t{facets.n}}};
  const uint32_t kept = static_cast<uint32_t>(perm.size());
  cell_.clear();
  if (kept == 0) return perm;
  struct Pending {
    uint32_t begin, end, parent;
  };
  std::vector<Pending> stack{{0, kept, UINT32_MAX}};
  uint32_t leaves = 0;
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const uint32_t id = static_cast<uint32_t>(cell_.size());
    if (p.parent != UINT32_MAX && p.parent + 1 != id) cell_[p.parent].child = id;
    cell_.push_back({{0, 0, 0}, 0, p.begin, p.end, 0, 0, 0, -1, 0, 0});
    if (p.end - p.begin <= settings_.leaf) {
      cell_.back().leaf = leaves;
      cell_.back().leaf_end = ++leaves;
      continue;
    }
    const int axis = LongestAxis(perm.data(), p.begin, p.end, keys);
    const uint32_t mid = p.begin + (p.end - p.begin) / 2;
    SplitAt(perm.data(), p.begin, mid, p.end, keys, axis);
    stack.push_back({mid, p.end, id});
    stack.push_back({p.begin, mid, id});
  }
  // An inner cell's leaves are those of its first child to its last.
  for (size_t i = cell_.size(); i-- > 0;) {
    Cell& c = cell_[i];
    if (c.child == 0) continue;
    c.leaf = cell_[i + 1].leaf;
    c.leaf_end = cell_[c.child].leaf_end;
  }
  return perm;
}

// The facets in tree order (kept in `ordered` for the cells' balls), and
// their table, one chunk per leaf.
void Tree::LeafTable(const Facets& facets, const std::vector<uint32_t>& perm,
                     const std::vector<uint32_t>& starts, Doubles* ordered) {
  const size_t kept = perm.size();
  ordered->resize(kept * 9);
  for (size_t i = 0; i < kept; ++i) facets.Corners(perm[i], &(*ordered)[9 * i]);
  near_.Build(Facets(static_cast<uint32_t>(kept), ordered->data()), starts);
}

// Cell balls: centre of the box of the vertices, radius to the farthest.
void Tree::CellBalls(const Doubles& ordered, ThreadTeam* team) {
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
}

// Each cell's Q: its area (that of the normal densities) and the integral
// of |s|, s = n . (A - c0); which cells hold moments.
void Tree::CellCharges(const Doubles& ordered) {
  std::vector<double> area(cell_.empty() ? 0 : cell_[0].end), q0(area.size());
  for (size_t f = 0; f < area.size(); ++f) {
    double a2;
    const double* w = &ordered[9 * f];
    const SIEntry e = MakeSIEntry(w, &a2);
    area[f] = 0.5 * a2;
    q0[f] = area[f] *
            std::fabs(e.nx * (w[0] - c0_[0]) + e.ny * (w[1] - c0_[1]) + e.nz * (w[2] - c0_[2]));
  }
  // The volume: a third of the integral of s over the surface.
  volume_ = 0;
  for (size_t f = 0; f < area.size(); ++f) {
    const double* w = &ordered[9 * f];
    const SIEntry e = MakeSIEntry(w);
    volume_ += area[f] * (e.nx * (w[0] - c0_[0]) + e.ny * (w[1] - c0_[1]) + e.nz * (w[2] - c0_[2]));
  }
  volume_ /= 3;
  int64_t slots = 0;
  for (Cell& c : cell_) {
    c.area = c.q0 = 0;
    for (uint32_t f = c.begin; f < c.end; ++f) c.area += area[f], c.q0 += q0[f];
    if (c.end - c.begin >= settings_.min_cell) c.moments = slots++;
  }
}

double* Tree::Store::Take(size_t n, size_t block) {
  const std::lock_guard<std::mutex> hold(lock_);
  if (n > left_) {
    const size_t size = std::max(n, block);
    blocks_.emplace_back(kernel::Model::Aligned<double>().allocate(size));
    next_ = blocks_.back().get();
    left_ = size;
  }
  double* p = next_;
  next_ += n;
  left_ -= n;
  used_ += n;
  return p;
}

void Tree::Store::Free::operator()(double* p) const {
  kernel::Model::Aligned<double>().deallocate(p, 0);
}

void Tree::Store::Clear() {
  const std::lock_guard<std::mutex> hold(lock_);
  blocks_.clear();
  next_ = nullptr;
  left_ = used_ = 0;
}

void Tree::Release() {
  cell_ = {};
  store_.Clear();
  moment_ = {};
  kept_ = {};
  norm_ = {};
  near_.Release();
  isa_ = nullptr;
  moments_made_ = false;
}

// ---------------------------------------------------------------- moments

namespace {

std::vector<double> InverseFactorials(int P) {
  // 1/(k + 2)! for k <= P.
  std::vector<double> inv(size_t(P) + 1);
  double f = 2;
  for (int k = 0; k <= P; ++k) {
    inv[size_t(k)] = 1 / f;
    f *= k + 3;
  }
  return inv;
}

// P2M: the exact moments of the facets of chunks [first, last) of a table
// about the ball (c, a) to order P, the densities s = n . (A - c0) and the
// normal's three components, added into M (without the factor 2 of m > 0).
void ChunkMoments(const kernel::Model& table, size_t first, size_t last, const double c[3],
                  double a, const double c0[3], int P, const kernel::Isa& isa,
                  const double* inv_fact2, double* M, std::vector<double>* scratch) {
  size_t nf = 0;
  for (size_t l = first; l < last; ++l) nf += size_t(table.chunk(l).groups) * kernel::kGroup;
  scratch->resize(nf * 14);
  double* v[9];
  double* s[4];
  for (int k = 0; k < 9; ++k) v[k] = scratch->data() + k * nf;
  double* area = scratch->data() + 9 * nf;
  for (int q = 0; q < 4; ++q) s[q] = scratch->data() + (10 + q) * nf;
  size_t i = 0;
  for (size_t l = first; l < last; ++l) {
    const kernel::Chunk& ch = table.chunk(l);
    for (uint32_t g = 0; g < ch.groups; ++g)
      for (int lane = 0; lane < kernel::kGroup; ++lane) {
        const double a2 = Field(ch, g, kernel::kArea2, lane);
        if (a2 == 0) continue;  // padding
        for (int k = 0; k < 9; ++k) v[k][i] = Field(ch, g, kernel::kAx + k, lane);
        area[i] = 0.5 * a2;
        double n[3];
        for (int k = 0; k < 3; ++k) n[k] = Field(ch, g, kernel::kNx + k, lane);
        s[0][i] = n[0] * (v[0][i] - c0[0]) + n[1] * (v[1][i] - c0[1]) + n[2] * (v[2][i] - c0[2]);
        for (int k = 0; k < 3; ++k) s[1 + k][i] = n[k];
        ++i;
      }
  }
  const double* const cv[9] = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
  const double* const cs[4] = {s[0], s[1], s[2], s[3]};
  isa.p2m(i, cv, area, cs, c, 1 / a, P, inv_fact2, M);
}

// The factor 2 of the orders m > 0, folded in.
void FoldOrders(double* M, int P) {
  for (size_t k = 8 * size_t(P + 1); k < Count(P) * 8; ++k) M[k] *= 2;
}

// The normal densities' monopole of chunks [first, last) is half the sum of
// the facets' A x B + B x C + C x A: zero for a closed surface, whose edges
// cancel pairwise. Summed exactly, so that far away (where the field is the
// dipole's) no rounding remainder of it stands in for the field.
void ExactMonopole(const kernel::Model& table, size_t first, size_t last, double* M) {
  Compensated sum[3];
  for (size_t l = first; l < last; ++l) {
    const kernel::Chunk& ch = table.chunk(l);
    for (uint32_t g = 0; g < ch.groups; ++g)
      for (int lane = 0; lane < kernel::kGroup; ++lane) {
        if (Field(ch, g, kernel::kArea2, lane) == 0) continue;
        double w[9];
        for (int k = 0; k < 9; ++k) w[k] = Field(ch, g, kernel::kAx + k, lane);
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
  }
  for (int k = 0; k < 3; ++k) M[1 + k] = 0.5 * sum[k].Value();
}

// The factors of Norms at Index(n, m, P): sqrt((n+m)! (n-m)!), made before
// squaring (each factor alone would overflow or underflow at high orders);
// the stored factor 2 of m > 0 undone, and +m and -m counted: (1/2)^2 x 2.
std::vector<double> NormFactors(int P) {
  // ln k! for k <= 2 P (std::lgamma writes a global: not for threads).
  std::vector<double> log_factorial(size_t(2 * P) + 1, 0.0);
  for (int k = 2; k <= 2 * P; ++k)
    log_factorial[size_t(k)] = log_factorial[size_t(k) - 1] + std::log(double(k));
  std::vector<double> f(Count(P));
  for (int n = 0; n <= P; ++n)
    for (int m = 0; m <= n; ++m)
      f[Index(n, m, P)] =
          std::exp(0.5 * (log_factorial[size_t(n + m)] + log_factorial[size_t(n - m)])) *
          (m ? std::sqrt(0.5) : 1.0);
  return f;
}

// Per order n, |M_n| = sqrt(sum over -n <= m <= n of |M_n^m|^2 (n+m)! (n-m)!):
// the norm that bounds the order's term at x by |M_n| rho^(n+1)/a (the
// addition theorem in the Schmidt-normalised basis). For the normal
// densities, the norm of the three as one vector; out[2n], out[2n + 1].
void Norms(const double* M, int P, const std::vector<double>& factor, double* out) {
  for (int n = 0; n <= P; ++n) {
    double vec = 0, s = 0;
    for (int m = 0; m <= n; ++m) {
      const double* k = M + 8 * Index(n, m, P);
      const double f = factor[Index(n, m, P)];
      auto sq = [&](double v) { return (f * v) * (f * v); };
      s += sq(k[0]) + sq(k[4]);
      for (int q = 1; q < 4; ++q) vec += sq(k[q]) + sq(k[4 + q]);
    }
    out[2 * n] = std::sqrt(vec);
    out[2 * n + 1] = std::sqrt(s);
  }
}

// The smallest order p >= 1 of an expansion with norms `norm` (stored to
// order P) at ratio rho whose truncation bounds, times r, stay within
// budget_g for the normal densities (Q = area) and budget_0 for s (Q = q0);
// -1 when none up to P does. Times r, the term of order n is |M_n| rho^n and
// the tail beyond P is Q rho^(P+1)/(1 - rho).
int OrderWithin(const double* norm, int P, double area, double q0, double rho, double budget_g,
                double budget_0) {
  const double tail = std::pow(rho, P + 1) / (1 - rho);
  double eg = area * tail, e0 = q0 * tail;
  if (!(eg <= budget_g && e0 <= budget_0)) return -1;
  // rho^n upwards (it may underflow to 0 at high orders, where the terms
  // are negligible; downwards it could not come back from 0).
  double rn[81];
  rn[0] = 1;
  for (int n = 1; n <= P; ++n) rn[n] = rn[n - 1] * rho;
  int p = P;
  for (; p > 1; --p) {
    const double ng = eg + norm[2 * p] * rn[p], n0 = e0 + norm[2 * p + 1] * rn[p];
    if (!(ng <= budget_g && n0 <= budget_0)) break;
    eg = ng, e0 = n0;
  }
  return p;
}

// The smallest order p >= 1 at which the gradient of an expansion of the
// normal densities (norms `norm`, stored to order P, Q = area) at ratio
// rho misses by at most budget / r^2 in each component; -1 when none up to
// P does. The term of order n is r^-(n+1) Y_n with |Y_n| <= |M_n| a^n; its
// gradient, radial (n + 1) Y_n/r^(n+2) and tangential (at most n |Y_n| /
// r^(n+2), Bernstein's inequality on the sphere), is at most (2n + 1)
// |M_n| rho^(n+2)/a^2, which times r^2 is (2n + 1) |M_n| rho^n. The tail
// beyond P, with |M_n| <= Q: Q GradientTail(rho, P).
int GradientOrderWithin(const double* norm, int P, double area, double rho, double budget) {
  double e = area * GradientTail(rho, P);
  if (!(e <= budget)) return -1;
  double rn[81];
  rn[0] = 1;
  for (int n = 1; n <= P; ++n) rn[n] = rn[n - 1] * rho;
  int p = P;
  for (; p > 1; --p) {
    const double next = e + (2.0 * p + 1) * norm[2 * p] * rn[p];
    if (!(next <= budget)) break;
    e = next;
  }
  return p;
}

// The near items sorted by their ranges of points, and f(s, e, leaves) for
// each range with its leaves in the order found.
template <class NearItem, class F>
void ForNearRanges(std::vector<NearItem>* near, std::vector<uint32_t>* leaves, F f) {
  std::stable_sort(near->begin(), near->end(), [](const NearItem& a, const NearItem& b) {
    return a.s < b.s || (a.s == b.s && a.e < b.e);
  });
  const std::vector<NearItem>& list = *near;
  for (size_t i = 0; i < list.size();) {
    size_t k = i;
    leaves->clear();
    for (; k < list.size() && list[k].s == list[i].s && list[k].e == list[i].e; ++k)
      for (uint32_t l = list[k].leaf; l < list[k].leaf_end; ++l) leaves->push_back(l);
    f(list[i].s, list[i].e, *leaves);
    i = k;
  }
}

}  // namespace

void Tree::Moments(ThreadTeam* team) const {
  const std::lock_guard<std::mutex> hold(moments_lock_);
  if (moments_made_ || cell_.empty()) return;
  try {
    MakeMoments(team);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  moments_made_ = true;
}

double* Tree::MomentsOf(const Cell& c) const {
  return moment_[size_t(c.moments)];
}

int Tree::KeptOrderOf(const Cell& c) const {
  return kept_[size_t(c.moments)];
}

// The highest order a cell can be taken at: the order its own bound needs
// at the opening limit rho = theta for a share of Settings::kept_share of
// its Q x the tree's tolerance (calls are as strict at most), and no
// higher than its expansion stays cheaper than its facets; the gradient's
// likewise when the tree is made for it. A call whose share for the cell
// is smaller, and that needs more, takes it as it takes a cell without an
// order (Accept): the bound holds either way.
int Tree::KeptOrder(const Cell& c, const double* norm) const {
  if (forced_ >= 0 || settings_.kept_share <= 0) return P_;
  const double tol = settings_.tolerance * settings_.kept_share, t = settings_.theta;
  const double facets = double(c.end - c.begin);
  int p = OrderWithin(norm, P_, c.area, c.q0, t, tol * c.area, tol * c.q0);
  if (p < 0) p = P_;
  while (p > 1 && double(Count(p)) * settings_.coefficient_cost >= facets) --p;
  if (settings_.gradient) {
    int q = GradientOrderWithin(norm, P_, c.area, t, tol * c.area);
    if (q < 0) q = P_;
    while (q > 1 && double(Count(q + 1)) * settings_.gradient_coefficient_cost >= facets) --q;
    p = std::max(p, q);
  }
  return p;
}

// Keeps a cell's moments M (to order P, folded): its norms at every order,
// and M itself to the cell's kept order. The root's normal monopole is made
// exact first.
void Tree::Keep(uint32_t id, double* M, const std::vector<double>& factor) const {
  const Cell& c = cell_[id];
  if (id == 0) ExactMonopole(near_, 0, near_.chunks(), M);
  double* norm = &norm_[size_t(c.moments) * 2 * size_t(P_ + 1)];
  Norms(M, P_, factor, norm);
  const int p = KeptOrder(c, norm);
  // Blocks of 32 MiB, or of every cell at order P when that is less.
  const size_t block = std::min(size_t{4} << 20, moment_.size() * Count(P_) * 8);
  double* kept = store_.Take(Count(p) * 8, block);
  for (int m = 0; m <= p; ++m)
    std::copy_n(M + 8 * Index(m, m, P_), 8 * size_t(p + 1 - m), kept + 8 * Index(m, m, p));
  kept_[size_t(c.moments)] = p;
  moment_[size_t(c.moments)] = kept;
}

// P2M and M2M. A cell's moments to order P are made from its two
// children's when both hold moments (M2M by rotation costs O(P^3) a child,
// about 0.1 ms at P = 47: less than P2M of the 256 or more facets of such a
// cell at every order; measured on generated asteroids at P = 47, the
// moments of 80,000 facets in 0.5 s instead of 1.4 s with M2M only above
// 3 P^2 facets), else by P2M from its facets: the same sums in the same
// order for every thread count. Each is kept at its own order once its
// parent has it, so that no more than a path of moments to order P is held
// a thread: depth first below a level of at least four cells a thread,
// level by level above it.
void Tree::MakeMoments(ThreadTeam* team) const {
  const size_t K = Count(P_);
  size_t slots = 0;
  for (const Cell& c : cell_) slots += c.moments >= 0;
  store_.Clear();
  moment_.assign(slots, nullptr);
  kept_.assign(slots, 0);
  norm_.assign(2 * size_t(P_ + 1) * slots, 0.0);
  const std::vector<double> inv_fact2 = InverseFactorials(P_);
  const std::vector<double> factor = NormFactors(P_);
  const auto translates = [&](uint32_t i) {
    const Cell& c = cell_[i];
    return c.moments >= 0 && c.child && cell_[i + 1].moments >= 0 && cell_[c.child].moments >= 0;
  };
  // The translation's tables (about 1 ms to make at P = 47) when some cell
  // takes M2M.
  bool any = false;
  for (uint32_t i = 0; i < cell_.size() && !any; ++i) any = translates(i);
  const multipole::Translation translation(any ? P_ : 0, *isa_);
  // Depth of every cell (a parent comes before its children).
  const size_t cells = cell_.size();
  std::vector<uint32_t> depth(cells, 0);
  uint32_t deepest = 0;
  for (uint32_t i = 0; i < cells; ++i) {
    if (cell_[i].child == 0) continue;
    depth[i + 1] = depth[cell_[i].child] = depth[i] + 1;
    deepest = std::max(deepest, depth[i] + 1);
  }
  const unsigned threads = team ? std::max(1u, team->Count()) : 1;
  uint32_t split = 0;
  while ((size_t{1} << split) < size_t{4} * threads && split < deepest) ++split;
  // The moments of cell id to order P into M (zero on entry), those of the
  // cells below it kept on the way; `path` holds a buffer per level below.
  struct Work {
    std::vector<std::vector<double>> path;
    std::vector<double> scratch;
    explicit Work(size_t levels) : path(levels) {}
  };
  const std::function<void(uint32_t, double*, Work&, size_t)> make = [&](uint32_t id, double* M,
                                                                         Work& w, size_t level) {
    const Cell& c = cell_[id];
    if (translates(id)) {
      std::vector<double>& below = w.path[level];
      for (uint32_t k : {id + 1, c.child}) {
        below.assign(K * 8, 0.0);
        make(k, below.data(), w, level + 1);
        Keep(k, below.data(), factor);
        translation.Add(below.data(), cell_[k].c, cell_[k].radius, c.c, c.radius, M, &w.scratch);
      }
    } else {
      ChunkMoments(near_, c.leaf, c.leaf_end, c.c, c.radius, c0_, P_, *isa_, inv_fact2.data(), M,
                   &w.scratch);
      FoldOrders(M, P_);
    }
  };
  // The cells of the split level, each with all below it; their moments
  // to order P are held until their parents have them.
  std::vector<std::vector<double>> full(cells);
  std::vector<uint32_t> list;
  for (uint32_t i = 0; i < cells; ++i)
    if (depth[i] == split && cell_[i].moments >= 0) list.push_back(i);
  ForThreads(team, list.size(), [&](unsigned t, unsigned m) {
    Work w(deepest + 1);
    for (size_t j = t; j < list.size(); j += m) {
      full[list[j]].assign(K * 8, 0.0);
      make(list[j], full[list[j]].data(), w, 0);
    }
  });
  // Above it, level by level, from the children's held moments.
  for (uint32_t level = split; level-- > 0;) {
    list.clear();
    for (uint32_t i = 0; i < cells; ++i)
      if (depth[i] == level && cell_[i].moments >= 0) list.push_back(i);
    ForThreads(team, list.size(), [&](unsigned t, unsigned m) {
      Work w(deepest + 1);
      for (size_t j = t; j < list.size(); j += m) {
        const uint32_t id = list[j];
        const Cell& c = cell_[id];
        full[id].assign(K * 8, 0.0);
        if (translates(id)) {
          for (uint32_t k : {id + 1, c.child})
            translation.Add(full[k].data(), cell_[k].c, cell_[k].radius, c.c, c.radius,
                            full[id].data(), &w.scratch);
        } else {
          make(id, full[id].data(), w, 0);
        }
      }
    });
    // The level below is no longer needed at order P.
    for (uint32_t i = 0; i < cells; ++i)
      if (depth[i] == level + 1 && !full[i].empty()) {
        Keep(i, full[i].data(), factor);
        std::vector<double>().swap(full[i]);
      }
  }
  for (uint32_t i = 0; i < cells; ++i)
    if (!full[i].empty()) Keep(i, full[i].data(), factor);
}

// ---------------------------------------------------------------- evaluation

// The interaction lists of a batch (points p[k][0 .. count)): cells far by
// the opening rule, and leaves.
void Tree::Interactions(const double* const p[3], size_t count, std::vector<Far>* far,
                        std::vector<Near>* near) const {
  // Work items: a cell against points [s, e) of the batch. A cell that is
  // too near for points spread wider than itself is tried again against
  // each half of them (the batch is in spatial order, so halves are
  // compact): far points in a batch with near ones still get expansions.
  struct Item {
    uint32_t cell;
    uint32_t s, e;
  };
  thread_local std::vector<Item> stack;
  stack.clear();
  far->clear();
  near->clear();
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
      double gap;
      if (FarFrom(c.c, c.radius, bc, rt, settings_.theta, &gap)) {
        const double D = std::hypot(bc[0] - c0_[0], bc[1] - c0_[1], bc[2] - c0_[2]) + rt;
        far->push_back({it.cell, it.s, it.e, c.radius / gap, gap, D, {bc[0], bc[1], bc[2]}, rt});
        continue;
      }
      if (it.e - it.s > 1 && rt > c.radius) {
        const uint32_t mid = it.s + uint32_t(WholeVectors(it.e - it.s));
        stack.push_back({it.cell, mid, it.e});
        stack.push_back({it.cell, it.s, mid});
        continue;
      }
    }
    if (c.child == 0) {
      near->push_back({it.s, it.e, c.leaf, c.leaf_end});
    } else {
      stack.push_back({c.child, it.s, it.e});
      stack.push_back({it.cell + 1, it.s, it.e});
    }
  }
}

// Each far cell by its expansion to the order `order` gives (-1: none
// within its share, or its facets cost less), or to the forced order. A
// cell without one is replaced by its two children where both hold
// moments, and a child that is not far from the points by its own, down
// to the cells that are far or have no children with moments (those go to
// the near list). Each far cell d in the place of a far cell `top` keeps
// its bound (times its r) within its budget times scale = r_d/r_top: its
// error is then at most Q_d/Q_top of top's share, and the bounds of all
// that replace top add up to at most top's (the gradient, whose bounds go
// as 1/r^2, takes scale^2).
template <class Order, class Expand>
void Tree::Accept(const std::vector<Far>& far, std::vector<Near>* near, Order order,
                  Expand expand) const {
  // A cell in the place of far cell `top`, and whether it is far itself.
  struct Open {
    Far f;
    bool far;
  };
  thread_local std::vector<Open> open;
  for (const Far& top : far) {
    open.assign(1, {top, true});
    while (!open.empty()) {
      const Open it = open.back();
      open.pop_back();
      const Far& f = it.f;
      const Cell& c = cell_[f.cell];
      if (it.far) {
        const double scale = f.cell == top.cell ? 1.0 : f.r / top.r;
        const int p = forced_ >= 0 ? std::min(forced_, KeptOrderOf(c)) : order(c, f, scale);
        if (p >= 0) {
          expand(c, f, p);
          continue;
        }
      }
      if (!settings_.children || c.child == 0 || cell_[f.cell + 1].moments < 0 ||
          cell_[c.child].moments < 0) {
        near->push_back({f.s, f.e, c.leaf, c.leaf_end});
        continue;
      }
      for (const uint32_t k : {c.child, f.cell + 1}) {
        const Cell& child = cell_[k];
        double gap;
        const bool far_child = FarFrom(child.c, child.radius, f.b, f.rt, settings_.theta, &gap);
        open.push_back({{k,
                         f.s,
                         f.e,
                         far_child ? child.radius / gap : 0,
                         gap,
                         f.D,
                         {f.b[0], f.b[1], f.b[2]},
                         f.rt},
                        far_child});
      }
    }
  }
}

void Tree::Batch(double tolerance, size_t first, size_t count, const double* x, const double* y,
                 const double* z, double* sum, TableGuard guard, double maxU, double maxg) const {
  const double* p[3] = {x + first, y + first, z + first};
  thread_local std::vector<Far> far;
  thread_local std::vector<Near> near;
  thread_local std::vector<double> psi;
  thread_local std::vector<uint32_t> leaves;
  psi.assign(4 * count, 0.0);
  Interactions(p, count, &far, &near);
  // The budget: at every point the far cells' bounds add up to at most
  // tol max|g| (and tol max|U|), each cell's share in proportion to its
  // Q/r.
  double Sg = 0, SU = 0;
  for (const Far& f : far) {
    const Cell& c = cell_[f.cell];
    Sg += c.area / f.r;
    SU += (c.q0 + f.D * c.area) / (2 * f.r);
  }
  const double eps_g = Sg > 0 ? tolerance * maxg / Sg : 0;
  const double eps_U = SU > 0 ? tolerance * maxU / SU : 0;
  Accept(
      far, &near,
      [&](const Cell& c, const Far& f, double scale) {
        // The normal densities: E_g <= eps_g area; s and the dot product:
        // (E_0 + D E_g)/2 <= eps_U (q0 + D area)/2, taken here as E_0 <= eps_U q0
        // and E_g <= eps_U area, which imply it.
        const int order =
            OrderWithin(&norm_[size_t(c.moments) * 2 * size_t(P_ + 1)], P_, c.area, c.q0, f.rho,
                        scale * std::min(eps_g, eps_U) * c.area, scale * eps_U * c.q0);
        const bool cheaper =
            double(Count(order)) * settings_.coefficient_cost < double(c.end - c.begin);
        return order >= 0 && cheaper && order <= KeptOrderOf(c) ? order : -1;
      },
      [&](const Cell& c, const Far& f, int order) {
        isa_->m2p(MomentsOf(c), KeptOrderOf(c), order, c.c, 1 / c.radius, f.e - f.s, p[0] + f.s,
                  p[1] + f.s, p[2] + f.s, &psi[4 * size_t(f.s)]);
        if (observe_) {
          double centre[3], rt;
          Ball(p, f.s, f.e, centre, &rt);
          observe_({c.radius, rt, f.r + rt, f.rho, order, first + f.s, size_t(f.e - f.s), f.cell,
                    c.end - c.begin, KeptOrderOf(c)});
        }
      });
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
  ForNearRanges(&near, &leaves, [&](size_t s, size_t e, const std::vector<uint32_t>& list) {
    for (size_t j = s; j < e; j += kernel::kPoints) {
      const size_t n = std::min<size_t>(kernel::kPoints, e - j);
      isa_->p2p[static_cast<int>(guard)](near_, list.data(), list.size(), n, p[0] + j, p[1] + j,
                                         p[2] + j, sum + 4 * j);
    }
  });
}

Tree::Sampled Tree::Sample(size_t count, const double* x, const double* y, const double* z,
                           const std::function<void(double)>& far) const {
  constexpr double kFarSample = 4;
  const Cell& root = cell_[0];
  const size_t k = std::min<size_t>(settings_.sample, count);
  Sampled near;
  for (size_t i = 0; i < k; ++i) {
    const size_t j = i * count / k;
    const double r = std::hypot(x[j] - root.c[0], y[j] - root.c[1], z[j] - root.c[2]);
    if (r > kFarSample * root.radius && volume_ > 0) {
      far(r);
      continue;
    }
    near.x.push_back(x[j]), near.y.push_back(y[j]), near.z.push_back(z[j]);
  }
  return near;
}

bool Tree::Evaluate(double tolerance, size_t count, const double* x, const double* y,
                    const double* z, const FieldOut& out, TableGuard guard, ThreadTeam* team,
                    const EvaluateOptions& options) const {
  if (count == 0) return true;
  ThreadTeam alone;
  if (!team) team = &alone;
  if (cell_.empty()) {
    // No facet of non-zero area: the field is zero (the first part's).
    const bool first = options.part % std::max(1u, options.parts) == 0;
    if (options.mine) std::fill(options.mine, options.mine + count, uint8_t{first});
    for (double* a : {out.U, out.gx, out.gy, out.gz})
      if (a && first) std::fill(a, a + count, 0.0);
    return true;
  }
  Moments(team);
  // Lower bounds of the call's largest |U| and |g|: the exact sum at a
  // sample of its points near the model (Sample); beyond it, the bounds of
  // a closed outward surface of volume V inside the root's ball,
  // |g| >= V cos(asin(a/r))/(r + a)^2 and U >= V/(r + a).
  double maxU = 0, maxg = 0;
  {
    const Sampled near = Sample(count, x, y, z, [&](double r) {
      const double rho = cell_[0].radius / r, a = cell_[0].radius;
      maxU = std::max(maxU, volume_ / (r + a));
      maxg = std::max(maxg, volume_ * std::sqrt(1 - rho * rho) / ((r + a) * (r + a)));
    });
    const size_t m = near.x.size();
    std::vector<double> v(4 * m);
    EvaluateTable(*isa_, guard, near_, *team, m, near.x.data(), near.y.data(), near.z.data(),
                  {v.data(), v.data() + m, v.data() + 2 * m, v.data() + 3 * m},
                  {nullptr, options.threads});
    for (size_t i = 0; i < m; ++i) {
      maxU = std::max(maxU, std::fabs(v[i]));
      maxg = std::max(maxg, std::hypot(v[m + i], v[2 * m + i], v[3 * m + i]));
    }
  }
  Batches formed;
  FormBatches(count, x, y, z, settings_.batch, &formed);
  const std::vector<uint32_t>& order = formed.order;
  const std::vector<size_t>& batch_start = formed.start;
  // This part's batches: b, b + parts, ... (all of them in one process).
  const size_t parts = std::max(1u, options.parts), part = options.part % parts;
  const size_t all = batch_start.size() - 1;
  std::vector<size_t> list;
  for (size_t b = part; b < all; b += parts) list.push_back(b);
  if (options.mine) std::fill(options.mine, options.mine + count, uint8_t{0});
  // Each batch's sums in a buffer of its thread, then in place: no array
  // of the whole call's sums.
  return ForBatches(team, list, options, [&](size_t b) {
    const size_t first = batch_start[b], n = batch_start[b + 1] - first;
    thread_local std::vector<double> sum;
    sum.resize(4 * n);
    Batch(tolerance, first, n, formed.x.data(), formed.y.data(), formed.z.data(), sum.data(), guard,
          maxU, maxg);
    for (size_t i = 0; i < n; ++i) {
      const size_t j = order[first + i];
      if (out.U) out.U[j] = sum[4 * i];
      if (out.gx) out.gx[j] = sum[4 * i + 1];
      if (out.gy) out.gy[j] = sum[4 * i + 2];
      if (out.gz) out.gz[j] = sum[4 * i + 3];
      if (options.mine) options.mine[j] = 1;
    }
  });
}

// ---------------------------------------------------------------- the tensor

void Tree::GradientBatch(double tolerance, size_t first, size_t count, const double* x,
                         const double* y, const double* z, double* t, double maxT) const {
  const double* p[3] = {x + first, y + first, z + first};
  thread_local std::vector<Far> far;
  thread_local std::vector<Near> near;
  thread_local std::vector<double> grad;
  grad.assign(9 * count, 0.0);
  Interactions(p, count, &far, &near);
  // The budget: at every point the far cells' bounds add up to at most
  // tol max|T|, each cell's share in proportion to its Q/r^2.
  double S = 0;
  for (const Far& f : far) S += cell_[f.cell].area / (f.r * f.r);
  const double eps = S > 0 ? tolerance * maxT / S : 0;
  Accept(
      far, &near,
      [&](const Cell& c, const Far& f, double scale) {
        const int order = GradientOrderWithin(&norm_[size_t(c.moments) * 2 * size_t(P_ + 1)], P_,
                                              c.area, f.rho, scale * scale * eps * c.area);
        const bool cheaper = double(Count(order + 1)) * settings_.gradient_coefficient_cost <
                             double(c.end - c.begin);
        return order >= 0 && cheaper && order <= KeptOrderOf(c) ? order : -1;
      },
      [&](const Cell& c, const Far& f, int order) {
        isa_->m2p_gradient(MomentsOf(c), KeptOrderOf(c), order, c.c, 1 / c.radius, f.e - f.s,
                           p[0] + f.s, p[1] + f.s, p[2] + f.s, &grad[9 * size_t(f.s)]);
      });
  for (size_t k = 0; k < 9 * count; ++k) t[k] = -grad[k];
  // The near field, one evaluation per range of points with its leaves in
  // the order found.
  thread_local std::vector<uint32_t> leaves;
  ForNearRanges(&near, &leaves, [&](size_t s, size_t e, const std::vector<uint32_t>& list) {
    isa_->p2p_gradient(near_, list.data(), list.size(), e - s, p[0] + s, p[1] + s, p[2] + s,
                       t + 9 * s);
  });
}

bool Tree::Gradient(double tolerance, size_t count, const double* x, const double* y,
                    const double* z, double* t, ThreadTeam* team, const uint8_t* wanted,
                    const EvaluateOptions& options) const {
  if (count == 0) return true;
  ThreadTeam alone;
  if (!team) team = &alone;
  const auto want = [&](size_t i) { return !wanted || wanted[i]; };
  if (cell_.empty()) {
    for (size_t i = 0; i < count; ++i)
      if (want(i)) std::fill(t + 6 * i, t + 6 * i + 6, 0.0);
    return true;
  }
  Moments(team);
  // A lower bound of the call's largest component: the closed form at a
  // sample of its points near the model (Sample); beyond it, a bound for a
  // closed outward surface of volume V inside the root's ball: there T_rr >= (5/3) V/(r + a)^3 (the
  // second derivative along the radius of 1/|x - y| is (3 cos^2 - 1)/|x - y|^3, cos^2 >= 8/9), and
  // T_rr, a sum of the components weighted by r_i r_j, is at most 3 times
  // the largest.
  double maxT = 0;
  {
    const Sampled near = Sample(count, x, y, z, [&](double r) {
      const double d = r + cell_[0].radius;
      maxT = std::max(maxT, volume_ / (3 * d * d * d));
    });
    // The whole table at the sample points, 8 of them a call.
    std::vector<uint32_t> all(near_.chunks());
    std::iota(all.begin(), all.end(), 0u);
    const size_t m = near.x.size();
    std::vector<double> sample(9 * m, 0.0);
    constexpr size_t kLanes = 8;
    const size_t groups = (m + kLanes - 1) / kLanes;
    ForThreads(
        team, groups,
        [&](unsigned first, unsigned step) {
          for (size_t g = first; g < groups; g += step) {
            const size_t b = g * kLanes, e = std::min(m, b + kLanes);
            isa_->p2p_gradient(near_, all.data(), all.size(), e - b, &near.x[b], &near.y[b],
                               &near.z[b], &sample[9 * b]);
          }
        },
        options.threads);
    for (double v : sample) maxT = std::max(maxT, std::fabs(v));
  }
  Batches formed;
  FormBatches(count, x, y, z, settings_.batch, &formed);
  const std::vector<uint32_t>& order = formed.order;
  const std::vector<size_t>& batch_start = formed.start;
  std::vector<size_t> todo;  // the batches evaluated
  for (size_t b = 0; b + 1 < batch_start.size(); ++b) {
    bool any = false;
    for (size_t i = batch_start[b]; i < batch_start[b + 1] && !any; ++i) any = want(order[i]);
    if (any) todo.push_back(b);
  }
  // Each batch's nine components in a buffer of its thread, then the six
  // of each wanted point in place.
  return ForBatches(team, todo, options, [&](size_t b) {
    const size_t first = batch_start[b], n = batch_start[b + 1] - first;
    thread_local std::vector<double> sum;
    sum.resize(9 * n);
    GradientBatch(tolerance, first, n, formed.x.data(), formed.y.data(), formed.z.data(),
                  sum.data(), maxT);
    for (size_t i = 0; i < n; ++i) {
      const size_t j = order[first + i];
      if (!want(j)) continue;
      const double* T = &sum[9 * i];
      double* o = t + 6 * j;
      o[0] = T[0];
      o[1] = 0.5 * (T[1] + T[3]);
      o[2] = 0.5 * (T[2] + T[6]);
      o[3] = T[4];
      o[4] = 0.5 * (T[5] + T[7]);
      o[5] = T[8];
    }
  });
}

// ---------------------------------------------------------------- Expansion

void Expansion::Build(const kernel::Model& table, const double c[3], double a, int P,
                      const kernel::Isa& isa, ThreadTeam* team) {
  Release();
  P_ = P;
  for (int k = 0; k < 3; ++k) c_[k] = c[k];
  a_ = a * (1 + 1e-12) + 1e-300;
  const size_t K = Count(P) * 8, chunks = table.chunks();
  constexpr size_t kBlocks = 64;
  try {
    std::vector<double> block(kBlocks * K, 0.0);
    const std::vector<double> inv_fact2 = InverseFactorials(P);
    ForThreads(team, kBlocks, [&](unsigned t, unsigned m) {
      std::vector<double> scratch;
      for (size_t b = t; b < kBlocks; b += m)
        ChunkMoments(table, b * chunks / kBlocks, (b + 1) * chunks / kBlocks, c_, a_, c_, P, isa,
                     inv_fact2.data(), &block[b * K], &scratch);
    });
    moment_.assign(K, 0.0);
    for (size_t b = 0; b < kBlocks; ++b)
      for (size_t k = 0; k < K; ++k) moment_[k] += block[b * K + k];
    FoldOrders(moment_.data(), P);
    ExactMonopole(table, 0, chunks, moment_.data());
    norm_.resize(2 * size_t(P + 1));
    Norms(moment_.data(), P, NormFactors(P), norm_.data());
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  // The monopole of s = n . (A - c) is the integral of s: three volumes.
  volume_ = moment_[0] / 3;
  area_ = q0_ = 0;
  for (size_t l = 0; l < chunks; ++l) {
    const kernel::Chunk& ch = table.chunk(l);
    for (uint32_t g = 0; g < ch.groups; ++g)
      for (int lane = 0; lane < kernel::kGroup; ++lane) {
        const double area = 0.5 * Field(ch, g, kernel::kArea2, lane);
        double s = 0;
        for (int k = 0; k < 3; ++k)
          s += Field(ch, g, kernel::kNx + k, lane) * (Field(ch, g, kernel::kAx + k, lane) - c_[k]);
        area_ += area;
        q0_ += area * std::fabs(s);
      }
  }
  isa_ = &isa;
}

int Expansion::OrderAt(double r, double tolerance) const {
  if (!isa_ || !(r > a_) || !(volume_ > 0)) return -1;
  const double rho = a_ / r, cos = std::sqrt(1 - rho * rho);
  // Times r: |g| to within tolerance x its lower bound; U likewise, split
  // between s and the dot product (p - c) . Psi as the tree does.
  const double g_low = volume_ * cos / ((r + a_) * (r + a_)), U_low = volume_ / (r + a_);
  const double budget_g = tolerance * std::min(g_low, U_low / r) * r;
  const double budget_0 = tolerance * U_low * r;
  return OrderWithin(norm_.data(), P_, area_, q0_, rho, budget_g, budget_0);
}

void Expansion::Evaluate(int p, size_t n, const double* x, const double* y, const double* z,
                         double* out) const {
  std::vector<double> psi(4 * n, 0.0);
  isa_->m2p(moment_.data(), P_, p, c_, 1 / a_, n, x, y, z, psi.data());
  for (size_t j = 0; j < n; ++j) {
    const double* s = &psi[4 * j];
    const double dx = x[j] - c_[0], dy = y[j] - c_[1], dz = z[j] - c_[2];
    out[4 * j] = 0.5 * (s[0] - (dx * s[1] + dy * s[2] + dz * s[3]));
    out[4 * j + 1] = -s[1];
    out[4 * j + 2] = -s[2];
    out[4 * j + 3] = -s[3];
  }
}

void Expansion::Release() {
  isa_ = nullptr;
  moment_ = {};
  norm_ = {};
}

}  // namespace tree

// ---------------------------------------------------------------- TreeEngine

TreeEngine::TreeEngine(TableGuard guard, unsigned threads, kernel::Simd simd)
    : guard_(guard), isa_(&kernel::For(simd)) {
  team_.SetCount(threads);
}

void TreeEngine::Load(const Facets& model) {
  tree_.Build(model, settings_, *isa_, &team_);
}

bool TreeEngine::Evaluate(size_t count, const double* x, const double* y, const double* z,
                          const FieldOut& out, const EvaluateOptions& options) const {
  return tree_.Evaluate(settings_.tolerance, count, x, y, z, out, guard_, &team_, options);
}

void TreeEngine::Release() {
  tree_.Release();
  team_.Release();
}
