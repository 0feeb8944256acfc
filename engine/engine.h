// The field engine a command plugs in: direct, tabled or threaded. A command
// is written once against this interface; its three builds differ only in the
// engine object their main unit hands over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/facet.h"
#include "engine/field_out.h"

class FieldEngine {
 public:
  virtual ~FieldEngine() = default;
  // Before the model is read (the threaded engine reads THREADS here).
  virtual void Start() {}
  // After the model is read; the facet array stays valid and unchanged until
  // Release. The tabled engines build their table here.
  virtual void Load(const FacetView& model) = 0;
  // How many points a command hands over per Evaluate call when it knows them
  // all in advance; SIZE_MAX means all at once (the threaded engine, whose
  // command then reads every point before it evaluates any).
  virtual size_t Batch() const = 0;
  // How many points the command will evaluate in all, when it knows them
  // before the first evaluation (the surface commands): under TOLERANCE the
  // tabled and threaded engines choose between the exact sum and the tree
  // from it.
  virtual void Expect(size_t /*points*/) {}
  // The field of the whole model at points i < count; results at index i.
  virtual void Evaluate(size_t count, const double* x, const double* y, const double* z,
                        const FieldOut& out) = 0;
  // After the last evaluation: drops the table and the thread handles.
  virtual void Release() {}
};
