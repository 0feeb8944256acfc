// Tabled engines: the per-facet table is built once after the model is read;
// every point is then evaluated from it by the table form. The threaded
// engine divides the points among THREADS threads, point j on thread j mod M.
#pragma once

#include <memory>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/table.h"
#include "engine/threads.h"

// The table and its evaluator, shared by the tabled and threaded engines:
// the vectorised table form (kernel.h) on the widest instruction set the
// processor has, unless a narrower one is asked for.
template <TableGuard G>
class TableKernel {
 public:
  explicit TableKernel(kernel::Simd simd = kernel::Best()) : simd_(simd) {}
  // Builds the table; "memory allocation error for SI." when it cannot be had.
  void Load(const FacetView& model);
  void Release();
  // Points first, first + step, ... below count.
  void Evaluate(size_t first, size_t step, size_t count, const double* x, const double* y,
                const double* z, const FieldOut& out) const;

 private:
  kernel::Simd simd_;
  kernel::Model table_;
};

template <TableGuard G>
class TabledEngine final : public FieldEngine {
 public:
  // On the widest instruction set the processor has, or on the one given.
  explicit TabledEngine(kernel::Simd simd = kernel::Best()) : kernel_(simd) {}
  void Load(const FacetView& model) override { kernel_.Load(model); }
  size_t Batch() const override { return 256; }
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out) override {
    kernel_.Evaluate(0, 1, count, x, y, z, out);
  }
  void Release() override { kernel_.Release(); }

 private:
  TableKernel<G> kernel_;
};

template <TableGuard G>
class ThreadedEngine final : public FieldEngine {
 public:
  void Start() override { threads_.Start(); }
  void Load(const FacetView& model) override { kernel_.Load(model); }
  size_t Batch() const override { return SIZE_MAX; }
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out) override {
    threads_.Run(count, [&](unsigned t, unsigned m) { kernel_.Evaluate(t, m, count, x, y, z, out); });
  }
  void Release() override {
    kernel_.Release();
    threads_.Release();
  }

 private:
  TableKernel<G> kernel_;
  ThreadTeam threads_;
};
