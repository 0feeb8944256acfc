// tribuild: a binary STL model from a list of triangles on standard input,
// "x1 y1 z1 x2 y2 z2 x3 y3 z3 [flag | word word | R G B]" per line. The
// vertices keep the order given; nothing is written until the whole list
// has been accepted.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/cm_stl.h"
#include "common/error.h"
#include "common/facet.h"
#include "common/scan.h"
#include "common/store.h"
#include "tools/colour_words.h"

namespace {

// The facet array, grown geometrically so that n lines cost O(n) copying
// and memory stays within twice the records held.
struct Facets {
  AttributedFacet* facet = nullptr;
  uint32_t count = 0;
  size_t capacity = 0;

  Facets() = default;
  Facets(const Facets&) = delete;
  Facets& operator=(const Facets&) = delete;
  ~Facets() { std::free(facet); }

  AttributedFacet& Append() {
    if (count == capacity) {
      // The file's count is 32 bits wide: a model beyond it cannot be stored.
      if (count == UINT32_MAX) Error("facet memory reallocation error.");
      size_t grown = capacity ? 2 * capacity : 1024;
      if (grown > UINT32_MAX) grown = UINT32_MAX;
      void* p = grown > SIZE_MAX / sizeof(AttributedFacet)
                    ? nullptr
                    : std::realloc(facet, grown * sizeof(AttributedFacet));
      if (!p) Error("facet memory reallocation error.");
      facet = static_cast<AttributedFacet*>(p);
      capacity = grown;
    }
    return facet[count++];
  }
};

// The attribute of a triangle line after its nine numbers, from the words
// that follow: one a flag into the colour table, three a colour, two or
// none no colour.
uint16_t Attribute(const char* rest, const uint16_t* table) {
  uint16_t value = 0;
  switch (words::ColourOrFlag(rest, 32767, &value)) {
    case words::Said::kFlag:
      return table[value];
    case words::Said::kColour:
      return value;
    default:
      return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) Error("usage : tribuild {CM_STL} STL");
  uint16_t table[kColourEntries];
  if (argc == 3) {
    CM_STL(argv[1], table);
  } else {
    // Without a map a flag is itself a 15-bit colour code.
    for (uint32_t i = 0; i < kColourEntries; ++i) table[i] = static_cast<uint16_t>(0x8000 | i);
  }
  Facets model;
  char line[1024];
  while (std::fgets(line, sizeof line, stdin)) {
    double v[9];
    const char* rest;
    if (ScanDoubles(line, 9, v, &rest) < 9) Error("missing triangle data.");
    const uint16_t attribute = Attribute(rest, table);
    AttributedFacet& f = model.Append();
    for (int k = 0; k < 9; ++k) f.v[k] = NarrowToFloat(v[k]);
    f.attribute = attribute;
  }
  // A read error is not the end of the list: no truncated model is written.
  if (std::ferror(stdin)) Error("missing triangle data.");
  if (model.count == 0) Error("no facet.");
  StoreFacet(argv[argc - 1], model.count, model.facet);
  return 0;
}
