// Tabled engine: the model is prepared once into the table of the vectorised
// evaluator (kernel.h); every point is then evaluated from it by CalculateSI
// on the instruction set chosen when the engine is made. With TOLERANCE set,
// the tree engine (tree.h) instead where it is the faster.
#pragma once

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/tree.h"

class TabledEngine final : public FieldEngine {
 public:
  // With the given edge-term guard, on the widest instruction set the
  // processor has (or POLYFIELD_SIMD's), or on the one given.
  explicit TabledEngine(TableGuard guard, kernel::Simd simd = kernel::Best())
      : guard_(guard), isa_(&kernel::For(simd)) {}
  // Reads TOLERANCE.
  void Start() override { switch_.Start(); }
  // "memory allocation error for SI." when the table cannot be had.
  void Load(const FacetView& model) override {
    if (switch_.Load(model)) si_.Build(model);
  }
  size_t Batch() const override { return 256; }
  void Expect(size_t points) override { switch_.Expect(points); }
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out) override {
    if (switch_.Evaluate(count, x, y, z, out, guard_, *isa_, nullptr, &si_)) return;
    CalculateSI(*isa_, guard_, si_, 0, 1, count, x, y, z, out);
  }
  void Release() override {
    si_.Release();
    switch_.Release();
  }

 private:
  TableGuard guard_;
  const kernel::Isa* isa_;
  kernel::Model si_;
  tree::Switch switch_;
};
