// The facet record in its three variants: plain, with attribute, with value.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// A double rounded to the nearest float; beyond the float range, infinity
// (a plain conversion of an out-of-range value is undefined behaviour).
inline float NarrowToFloat(double x) {
  // Halfway between FLT_MAX and 2^128: from there on, rounding to nearest
  // gives infinity.
  constexpr double kOverflow = 0x1.ffffffp+127;
  if (x >= kOverflow) return HUGE_VALF;
  if (x <= -kOverflow) return -HUGE_VALF;
  return static_cast<float>(x);
}

// One triangle as held in memory: vertices A, B, C as x, y, z floats, in an
// order whose right-hand normal (B - A) x (C - A) points out of the solid.
struct Facet {
  float v[9];
};

// Variant with the 16-bit attribute word of binary STL (a colour in the
// layout of cm_stl.h's ColourWord); facets read from ASCII STL carry 0.
struct AttributedFacet {
  float v[9];
  uint16_t attribute;
};

// Variant whose value slot (the plumbline or geopot result of the facet) is
// shared with the attribute: storing a colour replaces the value.
struct ValuedFacet {
  float v[9];
  union {
    double value;
    uint16_t attribute;
  };
};

// Whether a record variant keeps the attribute word.
template <class F>
constexpr bool kHasAttribute = !std::is_same_v<F, Facet>;

// A read-only view of the vertices of any facet array, for the field engines.
struct FacetView {
  uint32_t n = 0;
  const unsigned char* base = nullptr;
  size_t stride = 0;

  template <class F>
  static FacetView Of(uint32_t count, const F* facets) {
    return {count, reinterpret_cast<const unsigned char*>(facets), sizeof(F)};
  }
  const float* V(size_t i) const { return reinterpret_cast<const float*>(base + i * stride); }
};
