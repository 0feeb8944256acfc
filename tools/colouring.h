// The skeleton shared by the colouring commands (plumbline, geopot): three
// command-line forms by argument count, one value per facet, its range, and
// either the range printed or every facet coloured through a colour map.
#pragma once

#include <cstdint>

#include "common/facet.h"
#include "engine/engine.h"

struct ValueRange {
  double lower, upper;
};

// What a colouring command adds to the skeleton.
class ColouringCommand {
 public:
  virtual ~ColouringCommand() = default;
  // The three-line usage text.
  virtual const char* Usage() const = 0;
  // Form 3: converts min. and max. to the value's unit and checks them.
  virtual ValueRange ParseRange(const char* min, const char* max) const = 0;
  // Stores every facet's value in its value slot.
  virtual void Compute(FieldEngine& engine, const FacetView& model, ValuedFacet* facets) = 0;
  // Form 1: the line printed for the model's range.
  virtual void PrintRange(const ValueRange& range) const = 0;
};

int ColouringMain(int argc, char** argv, FieldEngine& engine, ColouringCommand& command);

// The range over the finite values in stored order (the first finite value
// sets both bounds); both bounds are not-a-number when no value is finite.
ValueRange FiniteRange(uint32_t n, const ValuedFacet* facets);
