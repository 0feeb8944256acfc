// facetpaint RGB file: against a fixed 16-facet model, any RGB file gives a
// model whose facets carry a colour (bit 15 set) or a flag of at most 31767,
// or ends with one of facetpaint's messages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/read.h"
#include "common/store.h"
#include "tests/fuzz/harness.h"

#define main FacetpaintMain
#include "tools/facetpaint.cpp"
#undef main

namespace {
const char* const kMessages[] = {"RGB data read error.", "bad R, G and/or B value.", "bad flag value.",
                                 nullptr};
constexpr uint32_t kFacets = 16;

const char* ModelPath() {
  static const std::string path = [] {
    AttributedFacet facet[kFacets] = {};
    for (uint32_t i = 0; i < kFacets; ++i) {
      const float x = static_cast<float>(i);
      const float v[9] = {x, 0, 0, x + 1, 0, 0, x, 1, 0};
      for (int k = 0; k < 9; ++k) facet[i].v[k] = v[k];
    }
    const std::string p = "/tmp/polyfield-fuzz-strip-" + std::to_string(getpid()) + ".stl";
    StoreFacet(p.c_str(), kFacets, facet);
    return p;
  }();
  return path.c_str();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  std::string model = ModelPath();
  std::string rgb = AsFile(data, size);
  std::string out = OutputFile();
  char prog[] = "facetpaint";
  char* argv[] = {prog, model.data(), rgb.data(), out.data(), nullptr};
  try {
    FacetpaintMain(4, argv);
  } catch (const Fatal& e) {
    if (!OneOf(e.what(), kMessages)) Broken(std::string("facetpaint message: ") + e.what());
    return 0;
  }
  uint32_t count = 0;
  AttributedFacet* facet = nullptr;
  try {
    ReadFacet(out.c_str(), &count, &facet);
  } catch (const Fatal& e) {
    Broken(std::string("model written by facetpaint does not read back: ") + e.what());
  }
  if (count != kFacets) Broken("facet count changed");
  for (uint32_t i = 0; i < count; ++i)
    if (!(facet[i].attribute & 0x8000) && facet[i].attribute > 31767) Broken("flag beyond 31767 stored");
  std::free(facet);
  return 0;
}
