// The facets an engine is loaded with: the suite's float records as read from
// STL, or nine doubles a facet for models kept in double precision.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/facet.h"

struct Facets {
  uint32_t n = 0;
  FacetView floats{};               // when doubles is null
  const double* doubles = nullptr;  // A, B, C of facet f at 9f

  Facets() = default;
  Facets(const FacetView& view) : n(view.n), floats(view) {}  // NOLINT: a view is facets
  Facets(uint32_t count, const double* v9) : n(count), doubles(v9) {}

  // Facet f's vertices A, B, C widened to double.
  void Corners(size_t f, double v[9]) const {
    if (doubles) {
      for (int k = 0; k < 9; ++k) v[k] = doubles[9 * f + size_t(k)];
    } else {
      const float* w = floats.V(f);
      for (int k = 0; k < 9; ++k) v[k] = w[k];
    }
  }
};
