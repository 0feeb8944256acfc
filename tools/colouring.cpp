// Colouring commands: forms, order of checks, range, colouring and writing.
#include "tools/colouring.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "common/cm_stl.h"
#include "common/error.h"
#include "common/print.h"
#include "common/read.h"
#include "common/store.h"

ValueRange FiniteRange(uint32_t n, const ValuedFacet* facets) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ValueRange r{nan, nan};
  bool any = false;
  for (uint32_t i = 0; i < n; ++i) {
    const double v = facets[i].value;
    if (!std::isfinite(v)) continue;
    if (!any) {
      r = {v, v};
      any = true;
    } else if (v < r.lower) {
      r.lower = v;
    } else if (v > r.upper) {
      r.upper = v;
    }
  }
  return r;
}

int ColouringMain(int argc, char** argv, FieldEngine& engine, ColouringCommand& command) {
  if (argc != 2 && argc != 4 && argc != 6) Error(command.Usage());
  engine.Start();
  uint32_t n;
  ValuedFacet* facets;
  ReadFacet(argv[1], &n, &facets);
  static uint16_t table[kColourEntries];
  ValueRange given{};
  if (argc > 2) {
    CM_STL(argv[argc - 2], table);
    if (argc == 6) given = command.ParseRange(argv[2], argv[3]);
  }
  const FacetView model = FacetView::Of(n, facets);
  engine.Load(model);
  command.Compute(engine, model, facets);
  engine.Release();
  const ValueRange range = argc == 6 ? given : FiniteRange(n, facets);
  if (argc == 2) {
    command.PrintRange(range);
    return FinishOutput();
  }
  // A range without finite bounds (no finite value) colours every facet
  // with entry 0; so does a value that is not a number.
  const bool usable = std::isfinite(range.lower) && std::isfinite(range.upper);
  const ValueToIndex index(range.lower, range.upper);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t k = usable ? index(facets[i].value) : 0;
    facets[i].attribute = table[k];
  }
  StoreFacet(argv[argc - 1], n, facets);
  return 0;
}
