// The chooser: the engine the tabled and threaded builds and the front end
// plug in. It owns the table engine, the tree and the model's own
// expansion, and decides once per call, from the call alone (the model, its
// points, its tolerance), which evaluates what:
// - without a tolerance, every point by the table's closed-form sum, bit for
//   bit the table engine's; with SetFarExpansion (the front end), points
//   farther than kFar radii of the model's ball by its expansion, to the
//   last bits the closed form loses there;
// - with a tolerance (TOLERANCE, SetTolerance or the call's own), points
//   beyond kFar radii by the expansion to that tolerance relative to their
//   own value, the others by the closed form (over the tree's leaves) or by
//   the tree, whichever the cost estimate says is the faster for this call;
// - the gradient tensor in closed form, or under a tolerance by the tree
//   (a tree of its own, with moments to the tensor's higher order) where
//   the same estimate says it is the faster.
// Nothing depends on earlier calls: what is prepared for one (the table,
// the tree, the expansion) is made the same way whenever it is made.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/engine.h"
#include "engine/table_engine.h"
#include "engine/tree/expansion.h"
#include "engine/tree/tree.h"

class Chooser final : public FieldEngine {
 public:
  // Points beyond kFar radii of the model's ball are far.
  static constexpr double kFar = 4;
  // Points a work unit of a call holds where the tree does not form the
  // batches.
  static constexpr size_t kUnitBlock = 32;

  // M read from THREADS at Start (the threaded builds), instead of given.
  static constexpr unsigned kThreadsSetting = TableEngine::kThreadsSetting;
  explicit Chooser(TableGuard guard, unsigned threads = 1, kernel::Simd simd = kernel::Best());
  // Reads THREADS (the threaded builds) and TOLERANCE, before the model.
  void Start() override;
  // The table is built here without a tolerance, the tree (without its
  // moments) with one.
  void Load(const Facets& model) override;
  // The table engine's, or every point at once under a tolerance (the tree
  // forms its batches from all the points of a call).
  size_t Batch() const override;
  bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, const EvaluateOptions& options = {}) const override;
  void Release() override;
  // The gravity gradient tensor at points i < count (xx, xy, xz, yy, yz, zz
  // at t[6i ..]) on options.threads threads: without a tolerance in closed
  // form; with one (the call's, else the engine's) by the tree where the
  // cost estimate says it is the faster, every component within the
  // tolerance times the call's largest component. False when `more`
  // stopped it.
  bool Gradient(size_t count, const double* x, const double* y, const double* z, double* t,
                const EvaluateOptions& options = {}) const;

  // The tolerance of calls that give none (0: the exact sum); set before
  // Load, or the engine prepares for it at the first call that needs it.
  void SetTolerance(double tolerance) { tolerance_ = tolerance; }
  double Tolerance() const { return tolerance_; }
  void SetFarExpansion(bool on) { far_expansion_ = on; }
  // Makes now what the first call under the engine's own tolerance would
  // make: the tree's moments (nothing without a tolerance).
  void MakeMoments() const;
  // The same moments made in parts by several processes, and the moments
  // of the cells made elsewhere handed over (tree::Tree's MomentParts,
  // MakeMomentParts, MomentsFromParts, Lacking, PartsOf, PackMoments and
  // TakeMoments), in the tree of the engine's own tolerance; no parts
  // without one.
  size_t MomentParts(size_t parts) const;
  tree::Doubles MakeMomentParts(size_t parts, const std::vector<size_t>& mine) const;
  void MomentsFromParts(size_t parts, const tree::Doubles& packed,
                        const std::vector<size_t>& part) const;
  std::vector<uint32_t> Lacking() const;
  std::vector<size_t> PartsOf(size_t parts, const std::vector<uint32_t>& cells) const;
  tree::Doubles PackMoments(const std::vector<uint32_t>& cells) const;
  void TakeMoments(const std::vector<uint32_t>& cells, tree::Doubles&& packed) const;
  void SetThreads(unsigned m) { table_.SetThreads(m); }
  unsigned Threads() const { return table_.Threads(); }
  ThreadTeam& Team() const { return table_.Team(); }

  // What a call evaluates and by which method, decided once from the call
  // alone (its points, its tolerance, its quantity): the far points (by
  // the model's expansion, to its order at each), and whether the others
  // go to the tree or to the closed form. The field and the tensor are both
  // executed from it; the tensor has no far expansion.
  // The call's work units, whose boundaries fix the bits: under the tree
  // its target batches of the near points (formed, with the bounds of the
  // call's largest values, from all of them here); else blocks of
  // kUnitBlock near points in their order; then blocks of kUnitBlock far
  // points. Executing any list of units gives their points the bits of
  // the whole call.
  enum class Quantity { kField, kTensor };
  struct Plan {
    Quantity quantity = Quantity::kField;
    double tolerance = 0;  // the call's: 0, the exact sum
    size_t count = 0;      // the call's points
    // The far points, by increasing order (a point's result does not depend
    // on the others of its order), and the order of each; every other
    // point is near, in `near` by increasing index.
    std::vector<size_t> far;
    std::vector<int> far_order;
    std::vector<size_t> near;
    bool tree = false;  // the near points by the tree, else by the closed form
    std::shared_ptr<const tree::Tree::Targets> work;  // the tree's, of the near points
    size_t Near() const { return count - far.size(); }
    size_t NearUnits() const;
    size_t Units() const;
    // The places of unit u (place k < Near(): near[k]; else far[k - Near()]),
    // and the call's points it writes.
    std::vector<size_t> Places(size_t u) const;
    std::vector<size_t> Points(size_t u) const;
    // The plan as words, for another process to take (the doubles as their
    // bits): the far points and their orders, the tree's batches and
    // bounds; neither `near` (every point not far) nor the batches' points
    // (the call's, in their order) travel.
    std::vector<uint64_t> Pack() const;
    // The plan Pack made, for the same points of the call (x, y, z: its
    // `count` points): executed, the same bits as the packed one. A buffer
    // that no Pack made ends the process (Error).
    static Plan Unpack(const uint64_t* words, size_t size, const double* x, const double* y,
                       const double* z);
  };
  // The lacking cells (Lacking) whose moments the units of a plan take:
  // none but for a plan whose near points go by that tree.
  std::vector<uint32_t> Lacking(const Plan& plan, const std::vector<size_t>& units) const;
  // `tolerance` negative: the engine's own; the tree's sample on `threads`
  // threads (0: the engine's count).
  Plan Choose(size_t count, const double* x, const double* y, const double* z, double tolerance,
              Quantity quantity = Quantity::kField, unsigned threads = 0) const;
  // The field of a plan made for the same points at the points of its
  // `units` (every unit without them), the others left as they are
  // (Evaluate is Choose, then Execute); options.tolerance is the plan's.
  bool Execute(const Plan& plan, const double* x, const double* y, const double* z,
               const FieldOut& out, const EvaluateOptions& options = {},
               const std::vector<size_t>* units = nullptr) const;
  // The tensor of a plan of Quantity::kTensor, as Gradient, at the points
  // of its units.
  bool ExecuteTensor(const Plan& plan, const double* x, const double* y, const double* z, double* t,
                     const EvaluateOptions& options = {},
                     const std::vector<size_t>* units = nullptr) const;

 private:
  // The far points of a call and their orders (Plan::far, far_order).
  void FarPoints(size_t count, const double* x, const double* y, const double* z, Plan* plan) const;
  const kernel::Model& ExactTable() const;
  const std::vector<SIEntry>& Entries() const;
  std::shared_ptr<const tree::Tree> TreeFor(double tolerance, bool gradient = false) const;
  const tree::Expansion& ExpansionFor(double tolerance) const;

  TableGuard guard_;
  const kernel::Isa* isa_;
  double tolerance_ = 0;
  bool far_expansion_ = false;
  Facets model_;
  double centre_[3] = {0, 0, 0}, radius_ = 0;  // the model's ball
  mutable TableEngine table_;
  mutable std::mutex lock_;  // for what is made at first need
  mutable bool table_built_ = false;
  mutable std::vector<SIEntry> entries_;  // for the tensor, made at its first use
  mutable std::shared_ptr<const tree::Tree> tree_, gradient_tree_;
  // The expansion over the table's facet order and over the tree's.
  mutable tree::Expansion exact_expansion_, tree_expansion_;
};

// TOLERANCE, read once: 0 when unset; a value that is not a number in
// [1e-15, 1) ends the run with "TOLERANCE: not a positive number below 1.".
double ToleranceSetting();
