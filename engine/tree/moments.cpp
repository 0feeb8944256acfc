// The cells' moments: P2M from a cell's facets, M2M from its children's,
// kept in the store to the order each can be taken at; and the order rules
// (the truncation bounds) by which the tree stores, a cell keeps and a call
// takes its orders.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/error.h"
#include "engine/multipole.h"
#include "engine/tree/internal.h"
#include "engine/tree/tree.h"

namespace tree {

using detail::ChunkMoments;
using detail::ExactMonopole;
using detail::FoldOrders;
using detail::ForThreads;
using detail::GradientOrderWithin;
using detail::InverseFactorials;
using detail::NormFactors;
using detail::Norms;
using detail::OrderWithin;
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

}  // namespace

namespace detail {

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

void FoldOrders(double* M, int P) {
  for (size_t k = 8 * size_t(P + 1); k < Count(P) * 8; ++k) M[k] *= 2;
}

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

}  // namespace detail

double* Tree::Store::Take(size_t n, size_t block) {
  const std::lock_guard<std::mutex> hold(lock_);
  if (n > left_) {
    const size_t size = std::max(n, block);
    blocks_.emplace_back(memory::Aligned<double>().allocate(size));
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
  memory::Aligned<double>().deallocate(p, 0);
}

double* Tree::Store::Adopt(Doubles&& values) {
  const std::lock_guard<std::mutex> hold(lock_);
  adopted_.push_back(std::move(values));
  used_ += adopted_.back().size();
  return adopted_.back().data();
}

void Tree::Store::Clear() {
  const std::lock_guard<std::mutex> hold(lock_);
  blocks_.clear();
  adopted_.clear();
  next_ = nullptr;
  left_ = used_ = 0;
}

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
  // A lacking cell's may be placed while other threads evaluate (Made).
  return std::atomic_ref<double*>(moment_[size_t(c.moments)]).load(std::memory_order_acquire);
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
  if (settings_.kept_share <= 0) return P_;
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
  kept_[size_t(c.moments)] = p;
  Hold(c, M, p);
}

void Tree::Hold(const Cell& c, const double* M, int p) const {
  // Blocks of 32 MiB, or of every cell at order P when that is less.
  const size_t block = std::min(size_t{4} << 20, moment_.size() * Count(P_) * 8);
  double* kept = store_.Take(Count(p) * 8, block);
  for (int m = 0; m <= p; ++m)
    std::copy_n(M + 8 * Index(m, m, P_), 8 * size_t(p + 1 - m), kept + 8 * Index(m, m, p));
  Place(c, kept);
}

void Tree::Place(const Cell& c, double* kept) const {
  std::atomic_ref<double*>(moment_[size_t(c.moments)]).store(kept, std::memory_order_release);
}

// P2M and M2M. A cell's moments to order P are made from its two
// children's when both hold moments (M2M by rotation costs O(P^3) a child,
// less than P2M of the 256 or more facets of such a cell at every order:
// docs/engine.md), else by P2M from its facets: the same sums in the same
// order for every thread count. Each is kept at its own order once its
// parent has it, so that no more than a path of moments to order P is held
// a thread: depth first below a level of cells (the split), level by level
// above it.
struct Tree::MomentWork {
  const Tree& t;
  const size_t K;
  const std::vector<double> inv_fact2, factor;
  const multipole::Translation translation;
  std::vector<uint32_t> depth;  // of every cell (a parent comes before its children)
  uint32_t deepest = 0;
  // Making the moments of a lacking cell (Made): those below it that the
  // tree holds already are left as they are, the others placed at the
  // orders known.
  bool completing = false;

  // The buffers of one depth-first descent: one a level below.
  struct Path {
    std::vector<std::vector<double>> path;
    std::vector<double> scratch;
    explicit Path(size_t levels) : path(levels) {}
  };

  explicit MomentWork(const Tree& tree)
      : t(tree),
        K(Count(tree.P_)),
        inv_fact2(InverseFactorials(tree.P_)),
        factor(NormFactors(tree.P_)),
        translation(AnyTranslates(tree) ? tree.P_ : 0, *tree.isa_),
        depth(tree.cell_.size(), 0) {
    for (uint32_t i = 0; i < t.cell_.size(); ++i) {
      if (t.cell_[i].child == 0) continue;
      depth[i + 1] = depth[t.cell_[i].child] = depth[i] + 1;
      deepest = std::max(deepest, depth[i] + 1);
    }
  }

  // The store emptied and a slot made for every cell with moments.
  void Reset() const {
    size_t slots = 0;
    for (const Cell& c : t.cell_) slots += c.moments >= 0;
    t.store_.Clear();
    t.lacking_ = 0;
    t.moment_.assign(slots, nullptr);
    t.kept_.assign(slots, 0);
    t.norm_.assign(2 * size_t(t.P_ + 1) * slots, 0.0);
  }

  static bool Translates(const Tree& t, uint32_t i) {
    const Cell& c = t.cell_[i];
    return c.moments >= 0 && c.child && t.cell_[i + 1].moments >= 0 &&
           t.cell_[c.child].moments >= 0;
  }
  // Whether some cell takes M2M (then the translation needs its tables).
  static bool AnyTranslates(const Tree& t) {
    for (uint32_t i = 0; i < t.cell_.size(); ++i)
      if (Translates(t, i)) return true;
    return false;
  }

  // The moments of cell id to order P into M (zero on entry), those of the
  // cells below it kept on the way.
  void Make(uint32_t id, double* M, Path& w, size_t level) const {
    const Cell& c = t.cell_[id];
    if (Translates(t, id)) {
      std::vector<double>& below = w.path[level];
      for (uint32_t k : {id + 1, c.child}) {
        below.assign(K * 8, 0.0);
        Make(k, below.data(), w, level + 1);
        if (!completing)
          t.Keep(k, below.data(), factor);
        else if (!t.MomentsOf(t.cell_[k]))
          t.Hold(t.cell_[k], below.data(), t.kept_[size_t(t.cell_[k].moments)]);
        translation.Add(below.data(), t.cell_[k].c, t.cell_[k].radius, c.c, c.radius, M,
                        &w.scratch);
      }
    } else {
      ChunkMoments(t.near_, c.leaf, c.leaf_end, c.c, c.radius, t.c0_, t.P_, *t.isa_,
                   inv_fact2.data(), M, &w.scratch);
      FoldOrders(M, t.P_);
    }
  }

  // The cells with moments at a depth.
  std::vector<uint32_t> Level(uint32_t level) const {
    std::vector<uint32_t> list;
    for (uint32_t i = 0; i < t.cell_.size(); ++i)
      if (depth[i] == level && t.cell_[i].moments >= 0) list.push_back(i);
    return list;
  }

  // The cells of `list` (all at one level), each with all below it, into
  // full[cell] to order P, on the team's threads.
  void Below(const std::vector<uint32_t>& list, std::vector<std::vector<double>>& full,
             ThreadTeam* team) const {
    ForThreads(team, list.size(), [&](unsigned first, unsigned m) {
      Path w(deepest + 1);
      for (size_t j = first; j < list.size(); j += m) {
        full[list[j]].assign(K * 8, 0.0);
        Make(list[j], full[list[j]].data(), w, 0);
      }
    });
  }

  // Above the split level, level by level, from the children's moments
  // held in full (those of the split level's cells given), each level kept
  // once its parents have it; then the root's.
  void Above(uint32_t split, std::vector<std::vector<double>>& full, ThreadTeam* team) const {
    for (uint32_t level = split; level-- > 0;) {
      const std::vector<uint32_t> list = Level(level);
      ForThreads(team, list.size(), [&](unsigned first, unsigned m) {
        Path w(deepest + 1);
        for (size_t j = first; j < list.size(); j += m) {
          const uint32_t id = list[j];
          const Cell& c = t.cell_[id];
          full[id].assign(K * 8, 0.0);
          if (Translates(t, id)) {
            for (uint32_t k : {id + 1, c.child})
              translation.Add(full[k].data(), t.cell_[k].c, t.cell_[k].radius, c.c, c.radius,
                              full[id].data(), &w.scratch);
          } else {
            Make(id, full[id].data(), w, 0);
          }
        }
      });
      // The level below is no longer needed at order P.
      for (uint32_t i = 0; i < t.cell_.size(); ++i)
        if (depth[i] == level + 1 && !full[i].empty()) {
          t.Keep(i, full[i].data(), factor);
          std::vector<double>().swap(full[i]);
        }
    }
    for (uint32_t i = 0; i < t.cell_.size(); ++i)
      if (!full[i].empty()) t.Keep(i, full[i].data(), factor);
  }

  // The level of the parts: the highest with at least `parts` cells with
  // moments, else the one with the most.
  uint32_t PartLevel(size_t parts) const {
    std::vector<size_t> count(size_t(deepest) + 1, 0);
    for (uint32_t i = 0; i < t.cell_.size(); ++i) count[depth[i]] += t.cell_[i].moments >= 0;
    uint32_t most = 0;
    for (uint32_t level = 0; level <= deepest; ++level) {
      if (count[level] >= parts) return level;
      if (count[level] > count[most]) most = level;
    }
    return most;
  }

  // The cells after `id` in its subtree: [id + 1, SubtreeEnd(id)).
  uint32_t SubtreeEnd(uint32_t id) const {
    while (t.cell_[id].child) id = t.cell_[id].child;
    return id + 1;
  }
};

void Tree::MakeMoments(ThreadTeam* team) const {
  const MomentWork w(*this);
  w.Reset();
  const unsigned threads = team ? std::max(1u, team->Count()) : 1;
  uint32_t split = 0;
  while ((size_t{1} << split) < size_t{4} * threads && split < w.deepest) ++split;
  std::vector<std::vector<double>> full(cell_.size());
  w.Below(w.Level(split), full, team);
  w.Above(split, full, team);
}

size_t Tree::MomentParts(size_t parts) const {
  if (cell_.empty()) return 0;
  const MomentWork w(*this);
  return w.Level(w.PartLevel(parts)).size();
}

// A part's outline: its length (this number included), its cell's moments
// to order P, then every cell below it with moments, in order: its kept
// order and its norms. The part's own moments stay in this tree.
Doubles Tree::MakeMomentParts(size_t parts, const std::vector<size_t>& mine,
                              ThreadTeam* team) const {
  Doubles packed;
  if (cell_.empty()) return packed;
  const std::lock_guard<std::mutex> hold(moments_lock_);
  try {
    const MomentWork w(*this);
    w.Reset();
    const std::vector<uint32_t> level = w.Level(w.PartLevel(parts));
    std::vector<uint32_t> list;
    for (size_t k : mine) list.push_back(level[k]);
    std::vector<std::vector<double>> full(cell_.size());
    w.Below(list, full, team);
    const size_t norms = 2 * size_t(P_ + 1);
    const auto cells = [&](uint32_t id, auto f) {
      for (uint32_t i = id + 1, end = w.SubtreeEnd(id); i < end; ++i)
        if (cell_[i].moments >= 0) f(size_t(cell_[i].moments));
    };
    size_t size = 0;
    for (uint32_t id : list) {
      size += 1 + full[id].size();
      cells(id, [&](size_t) { size += 1 + norms; });
    }
    packed.reserve(size);
    for (uint32_t id : list) {
      const size_t at = packed.size();
      packed.push_back(0);
      packed.insert(packed.end(), full[id].begin(), full[id].end());
      cells(id, [&](size_t slot) {
        packed.push_back(kept_[slot]);
        packed.insert(packed.end(), &norm_[slot * norms], &norm_[slot * norms] + norms);
      });
      packed[at] = double(packed.size() - at);
    }
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  return packed;
}

void Tree::MomentsFromParts(size_t parts, const Doubles& packed, const std::vector<size_t>& part,
                            ThreadTeam* team) const {
  const std::lock_guard<std::mutex> hold(moments_lock_);
  if (moments_made_ || cell_.empty()) return;
  try {
    const MomentWork w(*this);
    // Made none of the parts: every one is lacking.
    if (moment_.empty()) w.Reset();
    const uint32_t split = w.PartLevel(parts);
    const std::vector<uint32_t> level = w.Level(split);
    const size_t norms = 2 * size_t(P_ + 1);
    std::vector<std::vector<double>> full(cell_.size());
    size_t lacking = 0;
    for (size_t k = 0; k < level.size(); ++k) {
      const uint32_t id = level[k];
      const double* v = packed.data() + part[k] + 1;
      full[id].assign(v, v + w.K * 8);
      v += w.K * 8;
      for (uint32_t i = id + 1, end = w.SubtreeEnd(id); i < end; ++i) {
        const Cell& c = cell_[i];
        if (c.moments < 0) continue;
        const size_t slot = size_t(c.moments);
        // A cell of this process's parts has them already.
        if (!moment_[slot]) {
          kept_[slot] = int(v[0]);
          std::copy_n(v + 1, norms, &norm_[slot * norms]);
          ++lacking;
        }
        v += 1 + norms;
      }
    }
    w.Above(split, full, team);
    lacking_ = lacking;
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  moments_made_ = true;
}

template <class F>
void Tree::ForLacking(F f) const {
  for (uint32_t i = 0; i < cell_.size(); ++i)
    if (cell_[i].moments >= 0 && !MomentsOf(cell_[i])) f(i);
}

std::vector<uint32_t> Tree::Lacking() const {
  std::vector<uint32_t> cells;
  if (lacking_ == 0) return cells;
  const std::lock_guard<std::mutex> hold(moments_lock_);
  ForLacking([&](uint32_t i) { cells.push_back(i); });
  return cells;
}

size_t Tree::LackingBytes() const {
  size_t bytes = 0;
  if (lacking_ == 0) return bytes;
  const std::lock_guard<std::mutex> hold(moments_lock_);
  ForLacking([&](uint32_t i) { bytes += Count(KeptOrderOf(cell_[i])) * 8 * sizeof(double); });
  return bytes;
}

std::vector<size_t> Tree::PartsOf(size_t parts, const std::vector<uint32_t>& cells) const {
  const MomentWork w(*this);
  const std::vector<uint32_t> level = w.Level(w.PartLevel(parts));
  std::vector<size_t> of;
  of.reserve(cells.size());
  // The parts' subtrees follow one another in the tree's order.
  for (uint32_t id : cells) {
    const auto k = std::upper_bound(level.begin(), level.end(), id) - level.begin();
    if (k == 0 || id >= w.SubtreeEnd(level[size_t(k) - 1]))
      throw std::invalid_argument("a cell of no part");
    of.push_back(size_t(k) - 1);
  }
  return of;
}

Doubles Tree::PackMoments(const std::vector<uint32_t>& cells) const {
  const std::lock_guard<std::mutex> hold(moments_lock_);
  size_t size = 0;
  for (uint32_t id : cells) {
    if (id >= cell_.size() || cell_[id].moments < 0 || !MomentsOf(cell_[id]))
      throw std::invalid_argument("moments asked of a cell not held here");
    size += Count(KeptOrderOf(cell_[id])) * 8;
  }
  Doubles packed;
  try {
    packed.reserve(size);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  for (uint32_t id : cells) {
    const double* kept = MomentsOf(cell_[id]);
    packed.insert(packed.end(), kept, kept + Count(KeptOrderOf(cell_[id])) * 8);
  }
  return packed;
}

void Tree::TakeMoments(const std::vector<uint32_t>& cells, Doubles&& packed) const {
  const std::lock_guard<std::mutex> hold(moments_lock_);
  size_t size = 0;
  for (uint32_t id : cells) {
    if (id >= cell_.size() || cell_[id].moments < 0)
      throw std::invalid_argument("moments of a cell without them");
    size += Count(KeptOrderOf(cell_[id])) * 8;
  }
  if (size != packed.size()) throw std::invalid_argument("moments of other cells than asked");
  if (cells.empty()) return;
  // Kept where they were received.
  double* v = store_.Adopt(std::move(packed));
  for (uint32_t id : cells) {
    const size_t slot = size_t(cell_[id].moments);
    if (!MomentsOf(cell_[id])) {
      Place(cell_[id], v);
      --lacking_;
    }
    v += Count(kept_[slot]) * 8;
  }
}

const double* Tree::Made(const Cell& c) const {
  const std::lock_guard<std::mutex> hold(moments_lock_);
  if (const double* M = MomentsOf(c)) return M;
  try {
    MomentWork w(*this);
    w.completing = true;
    MomentWork::Path path(w.deepest + 1);
    std::vector<double> full(w.K * 8, 0.0);
    w.Make(uint32_t(&c - cell_.data()), full.data(), path, 0);
    Hold(c, full.data(), KeptOrderOf(c));
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  // The cell and those below it that were lacking too.
  size_t lacking = 0;
  ForLacking([&](uint32_t) { ++lacking; });
  lacking_ = lacking;
  return MomentsOf(c);
}

}  // namespace tree
