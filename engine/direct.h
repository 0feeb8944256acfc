// Direct engine: SurfaceIntegral (the si version the program links) once per
// facet and point, every facet quantity recomputed from its vertices.
#pragma once

#include "engine/engine.h"

class DirectEngine final : public FieldEngine {
 public:
  void Load(const Facets& model) override { model_ = model; }
  size_t Batch() const override { return 1; }
  bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, const EvaluateOptions& options = {}) const override;

 private:
  Facets model_;
};
