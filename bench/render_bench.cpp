// The rasteriser alone on a coloured torus of 2 * nu * nv facets held in
// memory: projection, fit, shading and depth-buffered fill of one picture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "render/render.h"

namespace {

std::vector<AttributedFacet> Torus(int nu, int nv) {
  const double pi = 3.141592653589793;
  auto at = [&](int i, int j, float* p) {
    const double u = 2 * pi * i / nu, v = 2 * pi * j / nv, r = 3 + std::cos(v);
    p[0] = static_cast<float>(r * std::cos(u));
    p[1] = static_cast<float>(r * std::sin(u));
    p[2] = static_cast<float>(std::sin(v));
  };
  std::vector<AttributedFacet> f;
  f.reserve(size_t{2} * nu * nv);
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      const uint16_t word = static_cast<uint16_t>(0x8000 | (31 * j / nv) << 10 | (31 * i / nu));
      AttributedFacet a{}, b{};
      at(i, j, a.v), at(i + 1, j, a.v + 3), at(i + 1, j + 1, a.v + 6);
      at(i, j, b.v), at(i + 1, j + 1, b.v + 3), at(i, j + 1, b.v + 6);
      a.attribute = b.attribute = word;
      f.push_back(a);
      f.push_back(b);
    }
  return f;
}

void BM_Render(benchmark::State& state) {
  const auto facets = Torus(1000, static_cast<int>(state.range(0)) / 2000);
  Image image;
  image.width = static_cast<uint32_t>(state.range(1));
  image.height = static_cast<uint32_t>(state.range(2));
  std::vector<uint8_t> rgb(size_t{3} * image.width * image.height);
  std::vector<float> depth(size_t{image.width} * image.height);
  image.rgb = rgb.data();
  image.depth = depth.data();
  const ViewBasis view = MakeViewBasis(30, 25);
  for (auto _ : state) {
    Render(static_cast<uint32_t>(facets.size()), facets.data(), view, &image);
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(facets.size()));
}
BENCHMARK(BM_Render)
    ->Args({1000000, 800, 600})
    ->Args({1000000, 1920, 1080})
    ->Args({100000, 800, 600})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
