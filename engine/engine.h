// The field engine a command plugs in: direct, table, tree, or the chooser
// that owns the table and tree engines. A command is written once against
// this interface; its builds differ only in the engine object their main
// unit hands over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/facets.h"
#include "engine/field_out.h"

// The smallest tolerance a call may ask for: below it the rounding of the
// double-precision sums themselves (about 1e-16 times the facet count's
// square root) is of the same size, so no method can promise it.
constexpr double kMinTolerance = 1e-15;

// What a caller may add to one evaluation.
struct EvaluateOptions {
  // Told the share of the points done (0 to 1), from the calling thread,
  // between pieces of the work; returning false stops the evaluation, whose
  // results are then incomplete (Evaluate returns false).
  std::function<bool(double share)> more;
  // Threads for this call (0: the engine's own count). Results never depend
  // on it.
  unsigned threads = 0;
  // The choosing engine's tolerance for this call (negative: its own).
  double tolerance = -1;
};

class FieldEngine {
 public:
  virtual ~FieldEngine() = default;
  // Before the model is read (the threaded builds read THREADS here).
  virtual void Start() {}
  // After the model is read; the facets stay valid and unchanged until
  // Release. The table and tree engines prepare the model here.
  virtual void Load(const Facets& model) = 0;
  // How many points a command hands over per Evaluate call when it knows them
  // all in advance; SIZE_MAX means all at once (the command then reads every
  // point before it evaluates any).
  virtual size_t Batch() const = 0;
  // The field of the whole model at points i < count; results at index i.
  // The table, tree and choosing engines may be called from several threads
  // at once. False only when options.more stopped it.
  virtual bool Evaluate(size_t count, const double* x, const double* y, const double* z,
                        const FieldOut& out, const EvaluateOptions& options = {}) const = 0;
  // After the last evaluation: drops the prepared model and the thread handles.
  virtual void Release() {}
};
