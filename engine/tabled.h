// Tabled engine: the model is prepared once into the table of the vectorised
// evaluator (kernel.h); every point is then evaluated from it by CalculateSI
// on the instruction set chosen when the engine is made.
#pragma once

#include "engine/engine.h"
#include "engine/kernel.h"

class TabledEngine final : public FieldEngine {
 public:
  // With the given edge-term guard, on the widest instruction set the
  // processor has (or POLYFIELD_SIMD's), or on the one given.
  explicit TabledEngine(TableGuard guard, kernel::Simd simd = kernel::Best())
      : guard_(guard), isa_(&kernel::For(simd)) {}
  // "memory allocation error for SI." when the table cannot be had.
  void Load(const FacetView& model) override { si_.Build(model); }
  size_t Batch() const override { return 256; }
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out) override {
    CalculateSI(*isa_, guard_, si_, 0, 1, count, x, y, z, out);
  }
  void Release() override { si_.Release(); }

 private:
  TableGuard guard_;
  const kernel::Isa* isa_;
  kernel::Model si_;
};
