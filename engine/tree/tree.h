// The tree engine: the field of the whole model at many points in
// O(N log N), to a tolerance relative to the largest |U| and |g| of the call.
// A treecode (Barnes-Hut with exact multipole moments), in the operators'
// usual names:
//   the source tree  facets ordered into a binary tree of cells (median
//                    splits of the centroids along the longest side, ties
//                    broken by facet index), leaves of up to 64 facets;
//   P2M              a cell's exact moments from its facets (the lowest cells
//                    that hold moments);
//   M2M              a cell's moments translated from its two children's
//                    (by rotation, O(P^3): multipole.h); made to the
//                    stored order P, each cell keeps them only to the
//                    highest order it can be taken at (KeptOrder);
//   the target tree  the points of a call grouped into batches of up to 32
//                    the same way, each split at the multiple of eight
//                    points nearest its middle, so that the far and near
//                    fields fill every lane (but for the batch that takes
//                    the call's remainder, and ranges of four and fewer);
//   M2P              a far cell's expansion at the points of a batch;
//   P2P              every other facet by the closed form (the vectorised
//                    table form over the leaves, which hold the facets in
//                    tree order), so that a facet holding a point, and its
//                    neighbours, are always exact.
// There is no M2L/L2L/L2P: every accepted cell is summed at the points.
// The gravity gradient tensor (Gradient) takes the same lists: M2P by the
// gradient of each expansion (the irregular harmonics one order higher), its
// bound carrying the factor 2n + 1 of order n (a tree of Settings::gradient
// stores the orders that needs), and P2P by the closed-form tensor.
//
// The closed form's facet factor S_f(p) is the single-layer integral
// Phi_f(p) = integral over f of dS/|x - p|. With c0 the root's centre,
// s_f = n_f . (A_f - c0), Psi0 = sum_f s_f Phi_f and Psi = sum_f n_f Phi_f,
//   g(p) = -Psi(p),   U(p) = (Psi0(p) - (p - c0) . Psi(p)) / 2,
// four Laplace single layers with densities constant on each facet, whose
// moments the cells hold (multipole.h).
//
// Accuracy. For a batch (ball of radius r_t) a cell (ball of its vertices,
// radius a, centre distance d) is far when a <= theta (d - r_t). Its
// expansion to order p misses the four potentials at any point of the batch
// by at most E(p) = (1/a) [sum_{n=p+1..P} |M_n| rho^(n+1) + Q rho^(P+2)/(1 - rho)]
// with rho = a/(d - r_t), |M_n| the norm of the cell's moments of order n
// in the Schmidt-normalised basis and Q the integral of |density| over the
// cell (the bound of every |M_n|): an a-priori bound that holds for every
// shape. The far cells of a batch share the budget tol x max|g| (and
// tol x max|U|) in proportion to Q/(d - r_t), so that at every point the sum
// of the bounds stays within it; each takes the smallest p that keeps its
// share, or, when none up to its kept order does (or its facets cost less
// than its expansion), is replaced by its two children, and a child that
// is not far by its own in turn, down to cells that are far or have no
// children with moments (opened to their leaves); each far cell d in the
// place of a cell `top` keeps Q_d/Q_top of top's share, scaled by
// r_d/r_top, so that their bounds add up to at most top's.
// max|g| and max|U| are lower bounds of the call's largest values (the
// exact sum at a sample of its points). The error is then at most tol x
// the largest value, above the rounding of the closed form itself (the
// floor of the exact sum too).
//
// A point's result depends on the point, the model, the set of points of the
// call (through the batches and the sample) and the tolerance: not on the
// thread count, nor on earlier calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/memory.h"
#include "engine/threads.h"

namespace tree {

// Arrays of a double a facet or a point: aligned, and on huge pages where
// they are large (memory::Aligned).
using Doubles = std::vector<double, memory::Aligned<double>>;

struct Settings {
  double tolerance = 1e-13;  // relative to the call's largest |U| and |g|, in (0, 1)
  double theta = 0.5;        // opening ratio
  uint32_t leaf = 64;        // facets per leaf at most
  uint32_t batch = 32;       // points per batch at most
  // A cell holds moments when it has at least this many facets; it is taken
  // as far only while its expansion costs less than its facets.
  uint32_t min_cell = 128;
  // Cost of one coefficient of an expansion at one point, in facets of the
  // closed form at one point.
  double coefficient_cost = 0.15;
  // Points of a call evaluated exactly for the lower bounds of its largest
  // |U| and |g|.
  uint32_t sample = 16;
  // Cost of one coefficient of the gradient's expansion at one point, in
  // facets of the tensor's closed form at one point.
  double gradient_coefficient_cost = 0.1;
  // Moments to the order the gradient tensor needs (its bound carries a
  // factor 2n + 1 at order n: some orders more than the field's).
  bool gradient = false;
  // A cell keeps its moments to the order its own norms need at the
  // opening limit for this share of its Q x the tolerance (a call that
  // needs more takes it as a cell without an order); 0 keeps every cell to
  // the stored order (docs/engine.md: what the default share saves).
  double kept_share = 0.1;
};

// The order of the moments a tree stores for a tolerance: what a cell at the
// opening limit needs when its share of the budget is a tenth of its Q x
// the tolerance (a cell that would need more is opened). For the gradient,
// the same with the gradient's bound.
int StoredOrder(const Settings& settings);

class Tree {
 public:
  // The source tree of facets 0 .. n - 1 and its leaf-ordered table (facets
  // of zero area are left out); the moments are made at the first
  // evaluation (Moments). Work is divided over `team` (may be null).
  void Build(const Facets& facets, const Settings& settings, const kernel::Isa& isa,
             ThreadTeam* team);
  // P2M and M2M: the moments of every cell of at least min_cell facets, once;
  // several callers may ask at once.
  void Moments(ThreadTeam* team) const;
  // The same moments made in parts, by processes that each make some and
  // hand the others what those need, before any evaluation: the parts are
  // the subtrees of the cells with moments at the highest level that has
  // at least `parts` of them (else at the level with the most); MomentParts
  // tells how many there are. MakeMomentParts makes and keeps those of
  // `mine` (indices below MomentParts) and returns their outlines packed one
  // after the other, each led by its length: the part's cell's moments to
  // order P, then every cell below it with moments, in order, its kept
  // order and its norms. MomentsFromParts takes every part's outline (part
  // k's from packed[part[k]]) and makes the cells above them, as Moments
  // would have. The cells of the parts made elsewhere are then lacking:
  // their orders and norms are known (the far field's choices), their
  // moments are not, until TakeMoments is given them; an evaluation that
  // would take a cell still lacking makes its moments first (the same
  // bits, at their cost).
  size_t MomentParts(size_t parts) const;
  Doubles MakeMomentParts(size_t parts, const std::vector<size_t>& mine, ThreadTeam* team) const;
  void MomentsFromParts(size_t parts, const Doubles& packed, const std::vector<size_t>& part,
                        ThreadTeam* team) const;
  // The work of a call, decided from all its points before any is
  // evaluated: its target batches and the lower bounds of its largest
  // values (the exact sum at its sample). Evaluating any list of its
  // batches gives their points the bits of the whole call.
  struct Targets {
    std::vector<uint32_t> order;  // the call's point at place i of the batches
    std::vector<size_t> start;    // batch b's first place (one more: count)
    Doubles x, y, z;              // the points in that order
    double maxU = 0, maxg = 0;    // the field's bounds
    double maxT = 0;              // the tensor's
    size_t Batches() const { return start.empty() ? 0 : start.size() - 1; }
  };
  // The lacking cells whose moments the field at `batches` of a Prepare's
  // work takes to `tolerance` (the far cells of every batch chosen as
  // Evaluate chooses them; every lacking cell when their moments are fewer
  // bytes than 64 a point of the batches, cheaper to take than to list),
  // and every lacking cell; by increasing index. The bytes of the lacking
  // cells' moments.
  std::vector<uint32_t> Lacking(double tolerance, const Targets& work,
                                const std::vector<size_t>& batches, ThreadTeam* team) const;
  std::vector<uint32_t> Lacking() const;
  size_t LackingBytes() const;
  // The part (of `parts`, as MakeMomentParts) each lacking cell lies in.
  std::vector<size_t> PartsOf(size_t parts, const std::vector<uint32_t>& cells) const;
  // The kept moments of cells held here, one after the other; and cells'
  // moments so packed, taken where they are (a cell no longer lacking
  // skipped).
  Doubles PackMoments(const std::vector<uint32_t>& cells) const;
  void TakeMoments(const std::vector<uint32_t>& cells, Doubles&& packed) const;
  // The field's work at points i < count, and the tensor's; the sample on
  // `threads` threads of the team (0: all of them).
  Targets Prepare(size_t count, const double* x, const double* y, const double* z, TableGuard guard,
                  ThreadTeam* team, unsigned threads = 0) const;
  Targets PrepareGradient(size_t count, const double* x, const double* y, const double* z,
                          ThreadTeam* team, unsigned threads = 0) const;
  // The field at the points of `batches` of a Prepare's work to `tolerance`
  // (at most settings' tolerance x 1e3: the stored order is made for
  // that), results at the call's index of each point, the others left as
  // they are; false when `more` stopped it.
  bool Evaluate(double tolerance, const Targets& work, const std::vector<size_t>& batches,
                const FieldOut& out, TableGuard guard, ThreadTeam* team,
                const EvaluateOptions& options = {}) const;
  // The field at every point i < count (Prepare, then all its batches).
  bool Evaluate(double tolerance, size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, TableGuard guard, ThreadTeam* team,
                const EvaluateOptions& options = {}) const;
  // The gravity gradient tensor (xx, xy, xz, yy, yz, zz at t[6i ..],
  // G rho = 1) at the points of `batches` of a PrepareGradient's work to
  // `tolerance` relative to the call's largest component: far cells by the
  // gradient of their expansions, the other facets by the closed form over
  // the leaves. False when `more` stopped it.
  bool Gradient(double tolerance, const Targets& work, const std::vector<size_t>& batches,
                double* t, ThreadTeam* team, const EvaluateOptions& options = {}) const;
  // The tensor at every point i < count.
  bool Gradient(double tolerance, size_t count, const double* x, const double* y, const double* z,
                double* t, ThreadTeam* team, const EvaluateOptions& options = {}) const;
  void Release();
  bool Built() const { return isa_ != nullptr; }

  // The facets in tree order as a table: the exact sum over all its chunks
  // is the closed form of the whole model.
  const kernel::Model& table() const { return near_; }
  const Settings& settings() const { return settings_; }

  // What the tree holds, for tests and benchmarks.
  size_t Cells() const { return cell_.size(); }
  size_t MomentBytes() const { return store_.Bytes(); }
  int MaxOrder() const { return P_; }
  // A far cell taken by its expansion at a range of a batch's points: the
  // radii of the cell's ball and of the points', the distance of their
  // centres, rho, the order, the range (places in the call's batch order),
  // and the cell (its place in the tree, its facets and the order it
  // keeps). Benchmarks count the work of other schemes, and what the
  // moments are used for, from them.
  struct Taken {
    double radius, range_radius, distance, rho;
    int order;
    size_t first, points;
    uint32_t cell, facets;
    int kept;
  };
  // The far cells the field at points i < count takes, f(t) for each: the
  // batches of Evaluate, on this thread, under the budget of a call whose
  // largest |U| and |g| are maxU and maxg (results dropped).
  void Observe(double tolerance, size_t count, const double* x, const double* y, const double* z,
               double maxU, double maxg, const std::function<void(const Taken&)>& f) const;

 private:
  struct Cell {
    double c[3];
    double radius;
    uint32_t begin, end;      // facets, in tree order
    uint32_t child;           // second child (the first is this + 1); 0 for a leaf
    uint32_t leaf, leaf_end;  // the chunks of the cell's leaves
    int64_t moments;          // slot in moment_ and norm_, or -1
    double area;              // Q of the three normal densities (each |n_k| <= 1)
    double q0;                // Q of s = n . (A - c0)
  };
  // A batch's interaction lists: a far cell against points [s, e) of the
  // batch (rho = a/r, r = d - r_t, D bounds |x - c0| over the points, b and
  // r_t the points' ball), or the leaves [leaf, leaf_end) against them.
  struct Far {
    uint32_t cell, s, e;
    double rho, r, D;
    double b[3], rt;
  };
  struct Near {
    uint32_t s, e, leaf, leaf_end;
  };
  void Interactions(const double* const p[3], size_t count, std::vector<Far>* far,
                    std::vector<Near>* near) const;
  template <class Order, class Expand>
  void Accept(const std::vector<Far>& far, std::vector<Near>* near, Order order,
              Expand expand) const;
  // A batch's far cells as q takes them (its interaction lists, q's
  // budget, the acceptance under q's order rule): take(cell, far, order)
  // for each; `near` holds its leaves after.
  template <class Quantity, class Take>
  void Accepted(Quantity& q, const double* const p[3], size_t count, std::vector<Near>* near,
                Take take) const;
  // A lacking cell's moments made here, at an evaluation's first need
  // (several threads may ask at once).
  const double* Made(const Cell& c) const;
  // f(cell) for each lacking cell, in order (the moments' lock held).
  template <class F>
  void ForLacking(F f) const;
  // The steps of Build.
  std::vector<uint32_t> Partition(const Facets& facets);
  void LeafTable(const Facets& facets, const std::vector<uint32_t>& perm,
                 const std::vector<uint32_t>& starts, Doubles* ordered);
  void CellBalls(const Doubles& ordered, ThreadTeam* team);
  void CellCharges(const Doubles& ordered);
  // The steps of Moments.
  struct MomentWork;
  void MakeMoments(ThreadTeam* team) const;
  void Keep(uint32_t id, double* M, const std::vector<double>& factor) const;
  // M (to order P) kept to order p, and placed as the cell's.
  void Hold(const Cell& c, const double* M, int p) const;
  void Place(const Cell& c, double* kept) const;
  int KeptOrder(const Cell& c, const double* norm) const;
  // A cell's moments, stored to its kept order.
  double* MomentsOf(const Cell& c) const;
  int KeptOrderOf(const Cell& c) const;
  // What the field and the tensor differ in (evaluate.cpp): the budget and
  // order rule, M2P or its gradient, P2P or its gradient, 4 or 9 sums a
  // point.
  struct FieldSums;
  struct TensorSums;
  // One batch of points [first, first + count) of the sorted arrays: its
  // interaction lists, the far cells accepted under q's budget and taken by
  // q's expansion (observe(t) for each, unless Observer is nullptr_t: then
  // no work for it), the leaves by q's closed form, and q's sums of point j
  // at out[Quantity::kSums j ..].
  template <class Quantity, class Observer = std::nullptr_t>
  void Drive(Quantity q, size_t first, size_t count, const double* x, const double* y,
             const double* z, double* out, Observer observe = {}) const;
  // The field's batch.
  void Batch(double tolerance, size_t first, size_t count, const double* x, const double* y,
             const double* z, double* sum, TableGuard guard, double maxU, double maxg) const;
  // The points of a call sampled for the lower bounds of its largest
  // values (settings' sample of them, evenly by index): those beyond 4
  // radii of the root's ball, where the closed form loses digits, handed
  // to far(r) when the surface is closed and outward (volume > 0); the
  // others returned.
  struct Sampled {
    std::vector<double> x, y, z;
  };
  Sampled Sample(size_t count, const double* x, const double* y, const double* z,
                 const std::function<void(double)>& far) const;
  // The tensor of one batch, T_kb = -d Psi_k/d x_b at t[9j + 3k + b].
  void GradientBatch(double tolerance, size_t first, size_t count, const double* x, const double* y,
                     const double* z, double* t, double maxT) const;

  Settings settings_;
  const kernel::Isa* isa_ = nullptr;
  int P_ = 0;
  double c0_[3] = {0, 0, 0};
  double volume_ = 0;  // signed: positive for an outward surface
  std::vector<Cell> cell_;
  kernel::Model near_;
  mutable std::mutex moments_lock_;
  mutable bool moments_made_ = false;
  // Storage taken in blocks of many cells' moments (huge pages where the
  // system gives them, one allocation a block instead of one a cell),
  // never moved until cleared; several threads may take from it at once.
  class Store {
   public:
    // Room for n doubles (a multiple of 8), the blocks at most `block`
    // doubles unless n is more.
    double* Take(size_t n, size_t block);
    // Keeps values as they are (moments received whole), for as long as
    // the rest.
    double* Adopt(Doubles&& values);
    size_t Bytes() const { return used_ * sizeof(double); }
    void Clear();

   private:
    struct Free {
      void operator()(double* p) const;
    };
    std::mutex lock_;
    std::vector<std::unique_ptr<double, Free>> blocks_;
    std::vector<Doubles> adopted_;
    double* next_ = nullptr;
    size_t left_ = 0, used_ = 0;
  };
  // Per cell with moments: its moments to the highest order it can be
  // taken at (KeptOrder), in store_, and that order.
  mutable Store store_;
  mutable std::vector<double*> moment_;
  mutable std::vector<int> kept_;
  // Per cell with moments, per order n <= P: the norms of the moments of the
  // normal densities (as a vector) and of s, at 2 (P + 1) doubles a cell.
  mutable std::vector<double> norm_;
  // Cells with moments made elsewhere and not yet taken.
  mutable std::atomic<size_t> lacking_{0};
};

}  // namespace tree
