// Wall time of the exact Stokes coefficients (science/harmonics.h): Eros
// (tests/data/models/eros.vf.txt, 14,744 facets) to degree 20 through the
// whole library call (check, corners, sums), the best of ten; then the
// generated asteroid of about N facets to each degree D (the sums alone), on
// 1 and 2 threads, and the work per facet and coefficient.
//
//   build/bench/harmonics_bench [N [D ...]]     (default 1000000 100)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mesh/mesh.h"
#include "science/harmonics.h"
#include "tests/support/asteroid.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t facets = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::vector<int> degrees;
  for (int i = 2; i < argc; ++i) degrees.push_back(std::atoi(argv[i]));
  if (degrees.empty()) degrees = {100};

  const mesh::Mesh eros = mesh::ReadModel(SOURCE_DIR "/tests/data/models/eros.vf.txt");
  for (unsigned threads : {1u, 2u}) {
    science::HarmonicsRequest r;
    r.degree = 20;
    r.threads = threads;
    double best = 1e300;
    for (int run = 0; run < 10; ++run) {
      const auto t0 = std::chrono::steady_clock::now();
      science::HarmonicsOf(eros, {}, r);
      best = std::min(best, Seconds(t0));
    }
    std::printf("eros, 14744 facets, degree 20, %u thread%s: %.4f s\n", threads,
                threads > 1 ? "s" : "", best);
  }

  const int n = models::AsteroidGrid(facets);
  std::vector<double> corners;
  for (const Facet& f : models::Asteroid(n)) corners.insert(corners.end(), f.v, f.v + 9);
  const size_t count = corners.size() / 9;
  for (int degree : degrees)
    for (unsigned threads : {1u, 2u}) {
      science::HarmonicsRequest r;
      r.degree = degree;
      r.threads = threads;
      const auto t0 = std::chrono::steady_clock::now();
      science::PartsHarmonics({{corners.data(), count, 1}}, {}, r);
      const double t = Seconds(t0);
      const double coefficients = double(degree + 1) * (degree + 2) / 2;
      std::printf(
          "asteroid, %zu facets, degree %d, %u thread%s: %.2f s (%.2f ns per facet "
          "and coefficient)\n",
          count, degree, threads, threads > 1 ? "s" : "", t,
          t / double(count) / coefficients * 1e9 * threads);
    }
  return 0;
}
