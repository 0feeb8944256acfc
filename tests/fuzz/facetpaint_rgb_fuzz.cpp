// facetpaint RGB file: against a fixed 16-facet model, any RGB file gives a
// model whose facets carry a colour (bit 15 set) or a flag of at most 31767,
// or ends with one of facetpaint's messages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/store.h"
#include "tests/fuzz/harness.h"

#define main FacetpaintMain
#include "tools/facetpaint.cpp"
#undef main

namespace {
const char* const kMessages[] = {"RGB data read error.", "bad R, G and/or B value.",
                                 "bad flag value.", nullptr};
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
  if (!Succeeds(FacetpaintMain, 4, argv, kMessages)) return 0;
  const std::vector<AttributedFacet> written = ReadBack(out.c_str());
  if (written.size() != kFacets) Broken("facet count changed");
  for (const AttributedFacet& f : written)
    if (!(f.attribute & 0x8000) && f.attribute > 31767) Broken("flag beyond 31767 stored");
  return 0;
}
