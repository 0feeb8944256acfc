// STL writer: binary STL, little-endian on every host, with the recomputed
// (non-normalised) normal and the attribute word of every facet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/facet.h"

// Writes `count` facets to `path` ("-..." is standard output) through
// OutputFile: a file that stood under the name is replaced only by a
// complete model. Failures: "STL file not stored." (cannot create) and
// "facet data write error." (any write, the final flush, sync, close or
// rename fails).
// F is AttributedFacet or ValuedFacet (whose value slot holds the attribute).
template <class F>
void StoreFacet(const char* path, uint32_t count, const F* facets);

// The same binary STL written to an open stream (the caller's output, sealed
// and committed by it); false when a write fails.
template <class F>
bool WriteFacets(FILE* stream, uint32_t count, const F* facets);

namespace stl_detail {
// Block write with the bytes of every item reversed, one character-output
// call per byte; returns the number of items written completely.
size_t Fwrite(const void* data, size_t size, size_t count, FILE* stream);
}  // namespace stl_detail
