// STL reader, both kinds: any input ends with a model of at least one facet
// or with one of the reader's messages. A model that was read is written with
// the STL writer and read again: every vertex and attribute comes back bit for
// bit, and the vertex order is kept wherever the facet's area is clear of zero.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/read.h"
#include "common/store.h"
#include "tests/fuzz/harness.h"

namespace {

const char* const kReaderMessages[] = {"facet data read error.",
                                       "facet memory allocation error.",
                                       "binary facet data read error.",
                                       "ASCII facet data read error.",
                                       "no facet.",
                                       nullptr};

// Whether the facet's area is clear of zero for the reader's orientation
// rule, which forms the cross product from sums of products of coordinates:
// its error is a few units of rounding of the largest product, so the order
// is only promised where |(b - a) x (c - a)| stands well above that, and the
// float normal neither overflows nor loses its digits to underflow.
bool ClearArea(const float* v) {
  double u[3], w[3], big = 0;
  for (int k = 0; k < 9; ++k) big = std::fmax(big, std::fabs(double{v[k]}));
  for (int k = 0; k < 3; ++k) {
    u[k] = double{v[3 + k]} - v[k];
    w[k] = double{v[6 + k]} - v[k];
  }
  const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2],
                       u[0] * w[1] - u[1] * w[0]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  return std::isfinite(length) && length > 1e-13 * big * big && length > 1e-30 &&
         std::fabs(n[0]) < 1e37 && std::fabs(n[1]) < 1e37 && std::fabs(n[2]) < 1e37;
}

std::string Describe(const float* v) {
  std::string s;
  char buf[64];
  for (int k = 0; k < 9; ++k) {
    std::snprintf(buf, sizeof buf, " %a", double{v[k]});
    s += buf;
  }
  return s;
}

bool SameBits(const float* a, const float* b, int n) {
  return std::memcmp(a, b, sizeof(float) * n) == 0;
}

void RoundTrip(uint32_t n, const AttributedFacet* f) {
  static const std::string path = "/tmp/polyfield-fuzz-" + std::to_string(getpid()) + ".stl";
  StoreFacet(path.c_str(), n, f);
  uint32_t m = 0;
  AttributedFacet* g = nullptr;
  ReadFacet(path.c_str(), &m, &g);
  if (m != n) Broken("facet count changed in the round trip");
  for (uint32_t i = 0; i < n; ++i) {
    if (f[i].attribute != g[i].attribute) Broken("attribute changed in the round trip");
    if (!SameBits(f[i].v, g[i].v, 3)) Broken("first vertex changed in the round trip");
    const bool kept = SameBits(f[i].v + 3, g[i].v + 3, 6);
    const bool swapped = SameBits(f[i].v + 3, g[i].v + 6, 3) && SameBits(f[i].v + 6, g[i].v + 3, 3);
    if (!kept && !swapped) Broken("vertex changed in the round trip");
    if (!kept && ClearArea(f[i].v))
      Broken("vertex order changed in the round trip:" + Describe(f[i].v));
  }
  std::free(g);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  AsStdin(data, size);
  uint32_t n = 0;
  AttributedFacet* facets = nullptr;
  try {
    ReadFacet("-", &n, &facets);
  } catch (const Fatal& e) {
    if (!OneOf(e.what(), kReaderMessages)) Broken(std::string("reader message: ") + e.what());
    std::free(facets);
    return 0;
  }
  if (n == 0 || !facets) Broken("reader returned without a facet");
  // The array holds n records: touching the last one lets the address
  // sanitizer check its size.
  volatile float last = facets[n - 1].v[8];
  (void)last;
  try {
    RoundTrip(n, facets);
  } catch (const Fatal& e) {
    Broken(std::string("round trip: ") + e.what());
  }
  std::free(facets);
  return 0;
}
