// Table engine: the model prepared once into the table of the vectorised
// evaluator (kernel.h); every point then evaluated from it by CalculateSI on
// the instruction set chosen when the engine is made, the points divided
// among M threads, point j on thread j mod M, thread 0 the caller.
#pragma once

#include <atomic>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/threads.h"

class TableEngine final : public FieldEngine {
 public:
  // M read from THREADS at Start (the threaded builds), instead of given.
  static constexpr unsigned kThreadsSetting = 0;

  // With the given edge-term guard and `threads` threads (kThreadsSetting:
  // THREADS), on the widest instruction set the processor has (or
  // POLYFIELD_SIMD's), or on the one given.
  explicit TableEngine(TableGuard guard, unsigned threads = 1, kernel::Simd simd = kernel::Best());
  // Reads THREADS and reserves the thread handles (the threaded builds),
  // before the model is read.
  void Start() override;
  // "memory allocation error for SI." when the table cannot be had.
  void Load(const Facets& model) override { si_.Build(model); }
  // The threaded builds take every point at once, the tabled build 256.
  size_t Batch() const override { return from_setting_ ? SIZE_MAX : 256; }
  bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                const FieldOut& out, const EvaluateOptions& options = {}) const override;
  void Release() override;

  void SetThreads(unsigned m) { threads_.SetCount(m); }
  unsigned Threads() const { return threads_.Count(); }
  ThreadTeam& Team() const { return threads_; }
  TableGuard guard() const { return guard_; }
  const kernel::Isa& isa() const { return *isa_; }
  const kernel::Model& table() const { return si_; }

  // The points of one parallel phase and where their results go.
  struct Points {
    size_t count;
    const double *x, *y, *z;
    FieldOut out;
  };
  // The thread body of thread t of m: the points t, t + m, t + 2m, ... in
  // increasing order; writes the results of those points only.
  void ExecuteSI(const Points& job, unsigned t, unsigned m) const;

 private:
  TableGuard guard_;
  const kernel::Isa* isa_;
  bool from_setting_;
  kernel::Model si_;
  mutable ThreadTeam threads_;
};

// The closed-form sum of a prepared table at points i < count on the team's
// threads (point j on thread j mod M), in blocks between which
// options.more is told the share done; false when it stopped the run.
bool EvaluateTable(const kernel::Isa& isa, TableGuard guard, const kernel::Model& table,
                   ThreadTeam& team, size_t count, const double* x, const double* y,
                   const double* z, const FieldOut& out, const EvaluateOptions& options);
