// The evaluation by batches of target points: their interaction lists
// (far cells by the opening rule, and leaves), the acceptance of the far
// cells under the a-priori error budget, and the field's and the tensor's
// drivers (M2P, P2P).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <new>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.h"
#include "engine/multipole.h"
#include "engine/table_engine.h"
#include "engine/tree/internal.h"
#include "engine/tree/tree.h"

namespace tree {

using detail::ForThreads;
using detail::GradientOrderWithin;
using detail::Keys;
using detail::LongestAxis;
using detail::OrderWithin;
using detail::SplitAt;
using multipole::Count;

namespace {

// Batches list[0 ..] over the team, run(b) for each (thread t takes
// t, t + m, ...); `more` is told the share done from thread 0. False
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
          if (t == 0 && options.more && ++done % 64 == 0 &&
              !options.more(double(done) / double(mine)))
            stop = true;
        }
        if (t == 0 && options.more && !stop && !options.more(1.0)) stop = true;
      },
      options.threads);
  return !stop;
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

// The points of a call in batches (Tree::Targets's), split like the facets
// down to `batch` points.
void FormBatches(size_t count, const double* x, const double* y, const double* z, uint32_t batch,
                 Tree::Targets* out) {
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
// within its share, or its facets cost less). A cell without one is
// replaced by its two children where both hold moments, and a child that
// is not far from the points by its own, down to the cells that are far or
// have no children with moments (those go to the near list). Each far cell
// d in the place of a far cell `top` keeps its bound (times its r) within
// its budget times scale = r_d/r_top: its error is then at most Q_d/Q_top
// of top's share, and the bounds of all that replace top add up to at most
// top's (the gradient, whose bounds go as 1/r^2, takes scale^2).
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
        const int p = order(c, f, f.cell == top.cell ? 1.0 : f.r / top.r);
        if (p >= 0) {
          expand(c, f, p);
          continue;
        }
      }
      if (c.child == 0 || cell_[f.cell + 1].moments < 0 || cell_[c.child].moments < 0) {
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

// The field: the four potentials of the single layers (M2P), U and g from
// them at four sums a point.
struct Tree::FieldSums {
  static constexpr size_t kSums = 4;
  static constexpr auto kM2P = &kernel::Isa::m2p;
  double tolerance, maxU, maxg;
  TableGuard guard;
  double eps_g = 0, eps_U = 0;

  // The budget: at every point the far cells' bounds add up to at most
  // tol max|g| (and tol max|U|), each cell's share in proportion to its
  // Q/r.
  void Budget(const Tree& tree, const std::vector<Far>& far) {
    double Sg = 0, SU = 0;
    for (const Far& f : far) {
      const Cell& c = tree.cell_[f.cell];
      Sg += c.area / f.r;
      SU += (c.q0 + f.D * c.area) / (2 * f.r);
    }
    eps_g = Sg > 0 ? tolerance * maxg / Sg : 0;
    eps_U = SU > 0 ? tolerance * maxU / SU : 0;
  }
  // The normal densities: E_g <= eps_g area; s and the dot product:
  // (E_0 + D E_g)/2 <= eps_U (q0 + D area)/2, taken here as E_0 <= eps_U q0
  // and E_g <= eps_U area, which imply it.
  int Order(const Tree& tree, const Cell& c, const Far& f, double scale) const {
    return OrderWithin(&tree.norm_[size_t(c.moments) * 2 * size_t(tree.P_ + 1)], tree.P_, c.area,
                       c.q0, f.rho, scale * std::min(eps_g, eps_U) * c.area, scale * eps_U * c.q0);
  }
  static double Cost(const Settings& settings, int order) {
    return double(Count(order)) * settings.coefficient_cost;
  }
  static void Finish(const Tree& tree, const double* const p[3], size_t count, const double* psi,
                     double* sum) {
    for (size_t j = 0; j < count; ++j) {
      const double* s = &psi[4 * j];
      const double dx = p[0][j] - tree.c0_[0], dy = p[1][j] - tree.c0_[1],
                   dz = p[2][j] - tree.c0_[2];
      sum[4 * j] = 0.5 * (s[0] - (dx * s[1] + dy * s[2] + dz * s[3]));
      sum[4 * j + 1] = -s[1];
      sum[4 * j + 2] = -s[2];
      sum[4 * j + 3] = -s[3];
    }
  }
  void Near(const Tree& tree, const double* const p[3], size_t s, size_t e,
            const std::vector<uint32_t>& list, double* sum) const {
    for (size_t j = s; j < e; j += kernel::kPoints) {
      const size_t n = std::min<size_t>(kernel::kPoints, e - j);
      tree.isa_->p2p[static_cast<int>(guard)](tree.near_, list.data(), list.size(), n, p[0] + j,
                                              p[1] + j, p[2] + j, sum + 4 * j);
    }
  }
};

// The tensor: the nine derivatives of the three normal densities'
// potentials (M2P's gradient), T_kb = -d Psi_k/d x_b at nine sums a point.
struct Tree::TensorSums {
  static constexpr size_t kSums = 9;
  static constexpr auto kM2P = &kernel::Isa::m2p_gradient;
  double tolerance, maxT;
  double eps = 0;

  // The budget: at every point the far cells' bounds add up to at most
  // tol max|T|, each cell's share in proportion to its Q/r^2.
  void Budget(const Tree& tree, const std::vector<Far>& far) {
    double S = 0;
    for (const Far& f : far) S += tree.cell_[f.cell].area / (f.r * f.r);
    eps = S > 0 ? tolerance * maxT / S : 0;
  }
  int Order(const Tree& tree, const Cell& c, const Far& f, double scale) const {
    return GradientOrderWithin(&tree.norm_[size_t(c.moments) * 2 * size_t(tree.P_ + 1)], tree.P_,
                               c.area, f.rho, scale * scale * eps * c.area);
  }
  static double Cost(const Settings& settings, int order) {
    return double(Count(order + 1)) * settings.gradient_coefficient_cost;
  }
  static void Finish(const Tree&, const double* const[3], size_t count, const double* grad,
                     double* t) {
    for (size_t k = 0; k < 9 * count; ++k) t[k] = -grad[k];
  }
  static void Near(const Tree& tree, const double* const p[3], size_t s, size_t e,
                   const std::vector<uint32_t>& list, double* t) {
    tree.isa_->p2p_gradient(tree.near_, list.data(), list.size(), e - s, p[0] + s, p[1] + s,
                            p[2] + s, t + 9 * s);
  }
};

template <class Quantity, class Take>
void Tree::Accepted(Quantity& q, const double* const p[3], size_t count, std::vector<Near>* near,
                    Take take) const {
  thread_local std::vector<Far> far;
  Interactions(p, count, &far, near);
  q.Budget(*this, far);
  Accept(
      far, near,
      [&](const Cell& c, const Far& f, double scale) {
        const int order = q.Order(*this, c, f, scale);
        const bool cheaper = Quantity::Cost(settings_, order) < double(c.end - c.begin);
        return order >= 0 && cheaper && order <= KeptOrderOf(c) ? order : -1;
      },
      take);
}

template <class Quantity, class Observer>
void Tree::Drive(Quantity q, size_t first, size_t count, const double* x, const double* y,
                 const double* z, double* out, [[maybe_unused]] Observer observe) const {
  const double* p[3] = {x + first, y + first, z + first};
  thread_local std::vector<Near> near;
  thread_local std::vector<double> acc;
  thread_local std::vector<uint32_t> leaves;
  acc.assign(Quantity::kSums * count, 0.0);
  Accepted(q, p, count, &near, [&](const Cell& c, const Far& f, int order) {
    const double* M = MomentsOf(c);
    if (!M) M = Made(c);
    (isa_->*Quantity::kM2P)(M, KeptOrderOf(c), order, c.c, 1 / c.radius, f.e - f.s, p[0] + f.s,
                            p[1] + f.s, p[2] + f.s, &acc[Quantity::kSums * size_t(f.s)]);
    if constexpr (!std::is_null_pointer_v<Observer>) {
      double centre[3], rt;
      Ball(p, f.s, f.e, centre, &rt);
      observe({c.radius, rt, f.r + rt, f.rho, order, first + f.s, size_t(f.e - f.s), f.cell,
               c.end - c.begin, KeptOrderOf(c)});
    }
  });
  Quantity::Finish(*this, p, count, acc.data(), out);
  // The near field, one evaluation per range of points with its leaves in
  // the order found.
  ForNearRanges(&near, &leaves, [&](size_t s, size_t e, const std::vector<uint32_t>& list) {
    q.Near(*this, p, s, e, list, out);
  });
}

std::vector<uint32_t> Tree::Lacking(double tolerance, const Targets& work,
                                    const std::vector<size_t>& batches, ThreadTeam* team) const {
  std::vector<uint32_t> cells;
  if (lacking_ == 0 || cell_.empty()) return cells;
  // Listing a batch's far cells costs about as much as touching 64 bytes
  // a point of fresh memory: when every lacking cell's moments are fewer
  // bytes, all of them.
  size_t points = 0;
  for (size_t b : batches) points += work.start[b + 1] - work.start[b];
  if (LackingBytes() <= 64 * points) return Lacking();
  ThreadTeam alone;
  if (!team) team = &alone;
  const unsigned threads = std::max(1u, team->Count());
  std::vector<std::vector<uint32_t>> found(threads);
  ForThreads(team, batches.size(), [&](unsigned t, unsigned m) {
    std::vector<uint32_t>& mine = found[t];
    thread_local std::vector<Near> near;
    for (size_t j = t; j < batches.size(); j += m) {
      const size_t first = work.start[batches[j]], n = work.start[batches[j] + 1] - first;
      const double* p[3] = {work.x.data() + first, work.y.data() + first, work.z.data() + first};
      FieldSums q{tolerance, work.maxU, work.maxg, TableGuard::kRelative};
      Accepted(q, p, n, &near, [&](const Cell& c, const Far& f, int) {
        if (!MomentsOf(c)) mine.push_back(f.cell);
      });
    }
  });
  for (const std::vector<uint32_t>& f : found) cells.insert(cells.end(), f.begin(), f.end());
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  return cells;
}

void Tree::Batch(double tolerance, size_t first, size_t count, const double* x, const double* y,
                 const double* z, double* sum, TableGuard guard, double maxU, double maxg) const {
  Drive(FieldSums{tolerance, maxU, maxg, guard}, first, count, x, y, z, sum);
}

void Tree::Observe(double tolerance, size_t count, const double* x, const double* y,
                   const double* z, double maxU, double maxg,
                   const std::function<void(const Taken&)>& f) const {
  if (count == 0 || cell_.empty()) return;
  Moments(nullptr);
  Targets formed;
  FormBatches(count, x, y, z, settings_.batch, &formed);
  std::vector<double> sum;
  for (size_t b = 0; b < formed.Batches(); ++b) {
    const size_t first = formed.start[b], n = formed.start[b + 1] - first;
    sum.resize(4 * n);
    Drive(FieldSums{tolerance, maxU, maxg, TableGuard::kRelative}, first, n, formed.x.data(),
          formed.y.data(), formed.z.data(), sum.data(), f);
  }
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

Tree::Targets Tree::Prepare(size_t count, const double* x, const double* y, const double* z,
                            TableGuard guard, ThreadTeam* team, unsigned threads) const {
  Targets work;
  if (count == 0) return work;
  ThreadTeam alone;
  if (!team) team = &alone;
  // Lower bounds of the call's largest |U| and |g|: the exact sum at a
  // sample of its points near the model (Sample); beyond it, the bounds of
  // a closed outward surface of volume V inside the root's ball,
  // |g| >= V cos(asin(a/r))/(r + a)^2 and U >= V/(r + a). No facet of
  // non-zero area: none, the field is zero.
  if (!cell_.empty()) {
    double& maxU = work.maxU;
    double& maxg = work.maxg;
    const Sampled near = Sample(count, x, y, z, [&](double r) {
      const double rho = cell_[0].radius / r, a = cell_[0].radius;
      maxU = std::max(maxU, volume_ / (r + a));
      maxg = std::max(maxg, volume_ * std::sqrt(1 - rho * rho) / ((r + a) * (r + a)));
    });
    const size_t m = near.x.size();
    std::vector<double> v(4 * m);
    EvaluateTable(*isa_, guard, near_, *team, m, near.x.data(), near.y.data(), near.z.data(),
                  {v.data(), v.data() + m, v.data() + 2 * m, v.data() + 3 * m}, {nullptr, threads});
    for (size_t i = 0; i < m; ++i) {
      maxU = std::max(maxU, std::fabs(v[i]));
      maxg = std::max(maxg, std::hypot(v[m + i], v[2 * m + i], v[3 * m + i]));
    }
  }
  FormBatches(count, x, y, z, settings_.batch, &work);
  return work;
}

bool Tree::Evaluate(double tolerance, size_t count, const double* x, const double* y,
                    const double* z, const FieldOut& out, TableGuard guard, ThreadTeam* team,
                    const EvaluateOptions& options) const {
  if (count == 0) return true;
  const Targets work = Prepare(count, x, y, z, guard, team, options.threads);
  std::vector<size_t> all(work.Batches());
  std::iota(all.begin(), all.end(), size_t{0});
  return Evaluate(tolerance, work, all, out, guard, team, options);
}

bool Tree::Evaluate(double tolerance, const Targets& work, const std::vector<size_t>& batches,
                    const FieldOut& out, TableGuard guard, ThreadTeam* team,
                    const EvaluateOptions& options) const {
  ThreadTeam alone;
  if (!team) team = &alone;
  if (!cell_.empty() && !batches.empty()) Moments(team);
  // Each batch's sums in a buffer of its thread, then in place: no array
  // of the whole call's sums.
  return ForBatches(team, batches, options, [&](size_t b) {
    const size_t first = work.start[b], n = work.start[b + 1] - first;
    thread_local std::vector<double> sum;
    sum.assign(4 * n, 0.0);
    if (!cell_.empty())
      Batch(tolerance, first, n, work.x.data(), work.y.data(), work.z.data(), sum.data(), guard,
            work.maxU, work.maxg);
    for (size_t i = 0; i < n; ++i) {
      const size_t j = work.order[first + i];
      if (out.U) out.U[j] = sum[4 * i];
      if (out.gx) out.gx[j] = sum[4 * i + 1];
      if (out.gy) out.gy[j] = sum[4 * i + 2];
      if (out.gz) out.gz[j] = sum[4 * i + 3];
    }
  });
}

// ---------------------------------------------------------------- the tensor

void Tree::GradientBatch(double tolerance, size_t first, size_t count, const double* x,
                         const double* y, const double* z, double* t, double maxT) const {
  Drive(TensorSums{tolerance, maxT}, first, count, x, y, z, t);
}

Tree::Targets Tree::PrepareGradient(size_t count, const double* x, const double* y, const double* z,
                                    ThreadTeam* team, unsigned threads) const {
  Targets work;
  if (count == 0) return work;
  ThreadTeam alone;
  if (!team) team = &alone;
  // A lower bound of the call's largest component: the closed form at a
  // sample of its points near the model (Sample); beyond it, a bound for a
  // closed outward surface of volume V inside the root's ball: there T_rr >= (5/3) V/(r + a)^3 (the
  // second derivative along the radius of 1/|x - y| is (3 cos^2 - 1)/|x - y|^3, cos^2 >= 8/9), and
  // T_rr, a sum of the components weighted by r_i r_j, is at most 3 times
  // the largest. No facet of non-zero area: none, the tensor is zero.
  if (!cell_.empty()) {
    double& maxT = work.maxT;
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
        threads);
    for (double v : sample) maxT = std::max(maxT, std::fabs(v));
  }
  FormBatches(count, x, y, z, settings_.batch, &work);
  return work;
}

bool Tree::Gradient(double tolerance, size_t count, const double* x, const double* y,
                    const double* z, double* t, ThreadTeam* team,
                    const EvaluateOptions& options) const {
  if (count == 0) return true;
  const Targets work = PrepareGradient(count, x, y, z, team, options.threads);
  std::vector<size_t> all(work.Batches());
  std::iota(all.begin(), all.end(), size_t{0});
  return Gradient(tolerance, work, all, t, team, options);
}

bool Tree::Gradient(double tolerance, const Targets& work, const std::vector<size_t>& batches,
                    double* t, ThreadTeam* team, const EvaluateOptions& options) const {
  ThreadTeam alone;
  if (!team) team = &alone;
  if (!cell_.empty() && !batches.empty()) Moments(team);
  // Each batch's nine components in a buffer of its thread, then the six
  // of each point in place.
  return ForBatches(team, batches, options, [&](size_t b) {
    const size_t first = work.start[b], n = work.start[b + 1] - first;
    thread_local std::vector<double> sum;
    sum.assign(9 * n, 0.0);
    if (!cell_.empty())
      GradientBatch(tolerance, first, n, work.x.data(), work.y.data(), work.z.data(), sum.data(),
                    work.maxT);
    for (size_t i = 0; i < n; ++i) {
      const double* T = &sum[9 * i];
      double* o = t + 6 * size_t(work.order[first + i]);
      o[0] = T[0];
      o[1] = 0.5 * (T[1] + T[3]);
      o[2] = 0.5 * (T[2] + T[6]);
      o[3] = T[4];
      o[4] = 0.5 * (T[5] + T[7]);
      o[5] = T[8];
    }
  });
}

}  // namespace tree
