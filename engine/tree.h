// The tree engine: the field of the whole model at many points in
// O(N log N), to a relative tolerance chosen by the caller.
//
// The closed form's facet factor S_f(p) is the single-layer integral
// Phi_f(p) = integral over f of dS/|x - p|. With c0 a fixed point,
// s_f = n_f . (A_f - c0), Psi0 = sum_f s_f Phi_f and Psi = sum_f n_f Phi_f,
//   g(p) = -Psi(p),   U(p) = (Psi0(p) - (p - c0) . Psi(p)) / 2,
// four Laplace single layers with densities constant on each facet. The
// facets are ordered into a binary tree of cells (median splits of the
// centroids along the longest side, ties broken by facet index); a cell
// holds the exact multipole moments of the four densities (tree_impl.h).
// The points are grouped into batches the same way; for a batch (ball of
// radius r_t) a cell (ball of its vertices, radius r_s, centre distance d) is
// accepted as far when r_s <= theta (d - r_t); it is then summed from its
// moments to the smallest order p with rho^(p+1)/(1 - rho) <= eps,
// rho = r_s/(d - r_t), plus one (the normal densities of a closed surface
// have no monopole), which bounds the error a priori by
// eps * integral |density| dS/|x - p|. Every other facet is summed by the
// closed form (the vectorised table form over the leaves, which hold the
// facets in tree order), so a facet holding a point, and its neighbours, are
// always exact.
//
// A point's result depends on the point, the model, the set of points of
// the run (through the batches) and the tolerance: not on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/facet.h"
#include "engine/field_out.h"
#include "engine/kernel.h"
#include "engine/threads.h"

namespace tree {

struct Settings {
  double tolerance = 1e-13;  // relative, in (0, 1)
  double theta = 0.5;        // opening ratio
  uint32_t leaf = 64;        // facets per leaf at most
  uint32_t batch = 32;       // points per batch at most
  // A cell holds moments when it has at least this many facets; it is taken
  // as far only while its expansion costs less than its facets.
  uint32_t min_cell = 128;
  // Cost of one coefficient of an expansion at one point, in facets of the
  // closed form at one point.
  double coefficient_cost = 0.15;
};

// The order of the expansion for ratio rho at eps (at least 1).
int Order(double rho, double eps);

class Tree {
 public:
  // Builds the tree of facets 0 .. n - 1 (A, B, C, nine doubles each); facets
  // of zero area are left out. Work is divided over `team` (may be null).
  void Build(uint32_t n, const double* v9, const Settings& settings, const kernel::Isa& isa,
             ThreadTeam* team);
  void Build(const FacetView& facets, const Settings& settings, const kernel::Isa& isa,
             ThreadTeam* team);
  // The field at points i < count, results at index i.
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, TableGuard guard, ThreadTeam* team) const;
  void Release();
  bool Built() const { return isa_ != nullptr; }

  // What the tree holds, for tests and benchmarks.
  size_t Cells() const { return cell_.size(); }
  size_t MomentBytes() const { return moment_.size() * sizeof(double); }
  int MaxOrder() const { return P_; }
  // The expansion bound asked for: eps = kSlack x the tolerance at the
  // opening limit rho = theta, falling as (rho/theta)^2 below it. Near the
  // limit the bound is loose (many cells at similar distances, errors of
  // every sign): the error measured against the exact sum was at most 1e-4
  // eps there. A lone cell far away (a far point) is summed to about eps of
  // its own field, so there eps tends to a small fraction of the tolerance.
  static constexpr double kSlack = 100;
  // With p forced to `order` for every accepted cell (tests).
  void ForceOrder(int order) { forced_ = order; }

 private:
  struct Cell {
    double c[3];
    double radius;
    uint32_t begin, end;  // facets, in tree order
    uint32_t child;       // second child (the first is this + 1); 0 for a leaf
    uint32_t leaf;        // a leaf's chunk
    int64_t moments;      // offset into moment_, or -1
  };
  void BuildFrom(uint32_t n, const double* v9, ThreadTeam* team);
  // Adds the moments of `from`, translated to the centre and scale of `to`,
  // into M.
  void Translate(const Cell& from, const Cell& to, double* M, std::vector<double>* regular) const;
  void Batch(size_t first, size_t count, const double* x, const double* y, const double* z,
             double* sum, TableGuard guard) const;

  Settings settings_;
  const kernel::Isa* isa_ = nullptr;
  int P_ = 0;
  int forced_ = -1;
  double eps_ = 0;
  double c0_[3] = {0, 0, 0};
  std::vector<Cell> cell_;
  std::vector<double> moment_;
  kernel::Model near_;
};

// The choice the tabled and threaded engines make under a tolerance: the
// exact table, or the tree once the points expected (or evaluated so far)
// make it the faster. Without a tolerance the engines are unchanged.
class Switch {
 public:
  // Reads TOLERANCE (before the model).
  void Start();
  // The tolerance set directly instead (0: none); may change between
  // evaluations (the tree is then built again, or the exact table).
  void SetTolerance(double tolerance) { tolerance_ = tolerance; }
  double Tolerance() const { return tolerance_; }
  // Keeps the model (which stays valid until Release); true when the exact
  // table is to be built now, as without a tolerance.
  bool Load(const FacetView& model);
  bool Load(uint32_t n, const double* v9);
  // How many points the command will evaluate in all, when it knows.
  void Expect(size_t points) { expected_ = points; }
  // Evaluates by the tree when it is chosen (true); otherwise makes sure
  // `exact` is built and returns false. Under one tolerance the choice, once
  // the tree, stays.
  bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, TableGuard guard, const kernel::Isa& isa, ThreadTeam* team,
                kernel::Model* exact);
  void Release();

 private:
  double tolerance_ = 0, tree_tolerance_ = 0;
  FacetView view_{};
  const double* v9_ = nullptr;
  size_t facets_ = 0, expected_ = 0, evaluated_ = 0;
  Tree tree_;
};

}  // namespace tree

// TOLERANCE, read once: 0 when unset; a value that is not a number in (0, 1)
// ends the run with "TOLERANCE: not a positive number below 1.".
double ToleranceSetting();

// The choice of the tabled and threaded engines under a tolerance: the exact
// table, or the tree where its cost estimate says it is faster.
bool TreeIsFaster(size_t facets, size_t points, double tolerance);
