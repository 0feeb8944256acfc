// The tree engine: a tree of the model at the engine's tolerance.
#include "engine/tree/tree_engine.h"

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
