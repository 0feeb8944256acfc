// The tree as a field engine of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/threads.h"
#include "engine/tree/tree.h"

// The tree engine: the tree of the model, evaluated at every call to its
// tolerance (Settings::tolerance).
class TreeEngine final : public FieldEngine {
 public:
  explicit TreeEngine(TableGuard guard, unsigned threads = 1, kernel::Simd simd = kernel::Best());
  void SetTolerance(double tolerance) { settings_.tolerance = tolerance; }
  void SetThreads(unsigned m) { team_.SetCount(m); }
  void Load(const Facets& model) override;
  size_t Batch() const override { return SIZE_MAX; }
  bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, const EvaluateOptions& options = {}) const override;
  void Release() override;
  const tree::Tree& tree() const { return tree_; }
  ThreadTeam& Team() const { return team_; }
  tree::Settings& settings() { return settings_; }

 private:
  TableGuard guard_;
  const kernel::Isa* isa_;
  tree::Settings settings_;
  tree::Tree tree_;
  mutable ThreadTeam team_;
};
