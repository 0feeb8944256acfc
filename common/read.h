// STL reader: ASCII or binary STL (told apart by the first 96 bytes) into an
// array of facet records whose vertex order agrees with the file's normals.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/facet.h"
#include "common/stl_grammar.h"

// Reads the model at `path` ("-..." is standard input) into a malloc'd array
// owned by the caller. Returns only with at least one facet; every failure ends
// the program through Error. F is Facet, AttributedFacet or ValuedFacet.
template <class F>
void ReadFacet(const char* path, uint32_t* count, F** facets);

namespace stl_detail {
// Fills a record from the file's normal n and vertices a, b, c (doubles),
// exchanging vertices 2 and 3 when the right-hand normal opposes n (the
// programs' rule; kFromWinding keeps the order).
template <class F>
void Set(F* facet, uint16_t attribute, const double n[3], const double a[3], const double b[3],
         const double c[3], stl::Orientation orientation = stl::Orientation::kFromNormals);
// Twelve host-order floats (normal, A, B, C) widened to double, then Set.
template <class F>
void Normal(F* facet, const float block[12], uint16_t attribute,
            stl::Orientation orientation = stl::Orientation::kFromNormals);
// Reverses the bytes of each of the twelve floats and of the attribute in
// place, then Normal: the decoding of little-endian data on a big-endian host.
template <class F>
void Reverse(F* facet, float block[12], uint16_t* attribute,
             stl::Orientation orientation = stl::Orientation::kFromNormals);

// Decodes `count` binary STL facet records of 50 bytes each from `records`
// (twelve little-endian floats, the normal and A, B, C, then the attribute
// word; no alignment needed) into records F under `orientation`, handing
// each to sink(const F& facet, const float block[12]), `block` the twelve
// floats in host order. The one decoding of both STL readers.
template <class F, class Sink>
void DecodeBinaryFacets(const unsigned char* records, size_t count, stl::Orientation orientation,
                        Sink&& sink) {
  for (size_t k = 0; k < count; ++k) {
    float block[12];
    uint16_t attribute;
    std::memcpy(block, records + 50 * k, 48);
    std::memcpy(&attribute, records + 50 * k + 48, 2);
    F facet;
    if constexpr (std::endian::native == std::endian::big)
      Reverse(&facet, block, &attribute, orientation);
    else
      Normal(&facet, block, attribute, orientation);
    sink(facet, static_cast<const float*>(block));
  }
}
}  // namespace stl_detail
