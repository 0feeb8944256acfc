// Threaded engine: the table of the tabled engine, the points divided among
// THREADS threads, point j on thread j mod M; thread 0 is the caller. With a
// tolerance (TOLERANCE, or SetTolerance), the tree engine (tree.h) instead
// where it is the faster, its batches of points divided the same way.
#pragma once

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/threads.h"
#include "engine/tree.h"

class ThreadedEngine final : public FieldEngine {
 public:
  explicit ThreadedEngine(TableGuard guard, kernel::Simd simd = kernel::Best())
      : guard_(guard), isa_(&kernel::For(simd)) {}
  // Reads THREADS and TOLERANCE and reserves the thread handles, before the
  // model is read.
  void Start() override {
    threads_.Start();
    switch_.Start();
  }
  void Load(const FacetView& model) override {
    if (switch_.Load(model)) si_.Build(model);
  }
  // The same from n facets of nine doubles each, for double-precision models
  // (kept by the caller until Release).
  void Load(uint32_t n, const double* v9) {
    if (switch_.Load(n, v9)) si_.Build(n, v9);
  }
  // A relative tolerance instead of TOLERANCE's (0: exact); set before Load,
  // the exact table is built at once, and kept unless the tree is chosen.
  void SetTolerance(double tolerance) { switch_.SetTolerance(tolerance); }
  void Expect(size_t points) override { switch_.Expect(points); }
  // M set directly instead of from THREADS.
  void SetThreads(unsigned m) { threads_.SetCount(m); }
  // The thread team, for other work divided as the points are.
  ThreadTeam& Threads() { return threads_; }
  size_t Batch() const override { return SIZE_MAX; }
  void Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out) override {
    if (switch_.Evaluate(count, x, y, z, out, guard_, *isa_, &threads_, &si_)) return;
    const Points job{count, x, y, z, out};
    threads_.MultiThreading(count, [&](unsigned t, unsigned m) { ExecuteSI(job, t, m); });
  }
  void Release() override {
    si_.Release();
    switch_.Release();
    threads_.Release();
  }

  // The points of one parallel phase and where their results go.
  struct Points {
    size_t count;
    const double *x, *y, *z;
    FieldOut out;
  };
  // The thread body of thread t of m: the points t, t + m, t + 2m, ... in
  // increasing order; writes the results of those points only.
  void ExecuteSI(const Points& job, unsigned t, unsigned m) const {
    CalculateSI(*isa_, guard_, si_, t, m, job.count, job.x, job.y, job.z, job.out);
  }

 private:
  TableGuard guard_;
  const kernel::Isa* isa_;
  kernel::Model si_;
  tree::Switch switch_;
  ThreadTeam threads_;
};
