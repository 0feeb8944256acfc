// The gravity gradient tensor under a tolerance (the tree) against the
// closed form, side by side in one run, on a generated asteroid of about N
// facets at every facet's centroid (N points) and at N points of an
// exterior shell, at tolerances 1e-6, 1e-10 and 1e-13, on T threads (wall
// time). The closed form is evaluated at every k-th point (its cost per
// point does not depend on the other points), which gives its time for all
// N points and the tree's largest error over those points, relative to
// their largest component.
//
//   build/bench/gradient_bench [T] [N ...]     (default 2 and 100000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/table.h"
#include "engine/threads.h"
#include "engine/tree/tree.h"
#include "tests/support/asteroid.h"

namespace {

double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Points {
  std::vector<double> x, y, z;
};

void Compare(const char* name, const Facets& facets, const std::vector<SIEntry>& si,
             const Points& p, size_t every, ThreadTeam& team) {
  const size_t n = p.x.size();
  std::vector<size_t> sample;
  for (size_t i = 0; i < n; i += every) sample.push_back(i);
  const size_t m = sample.size();
  std::vector<double> e(6 * m);
  auto t0 = std::chrono::steady_clock::now();
  team.MultiThreading(m, [&](unsigned first, unsigned step) {
    for (size_t k = first; k < m; k += step) {
      const size_t i = sample[k];
      TensorSI(facets, si.data(), p.x[i], p.y[i], p.z[i], &e[6 * k]);
    }
  });
  const double exact_all = Since(t0) * double(n) / double(m);
  for (double tolerance : {1e-6, 1e-10, 1e-13}) {
    tree::Tree tree;
    tree::Settings settings;
    settings.tolerance = tolerance;
    settings.gradient = true;
    std::vector<double> t(6 * n);
    t0 = std::chrono::steady_clock::now();
    tree.Build(facets, settings, kernel::For(kernel::Best()), &team);
    tree.Moments(&team);
    const double build = Since(t0);
    t0 = std::chrono::steady_clock::now();
    tree.Gradient(tolerance, n, p.x.data(), p.y.data(), p.z.data(), t.data(), &team);
    const double evaluate = Since(t0);
    double top = 0, err = 0;
    for (size_t k = 0; k < m; ++k)
      for (size_t q = 0; q < 6; ++q) {
        top = std::max(top, std::fabs(e[6 * k + q]));
        err = std::max(err, std::fabs(t[6 * sample[k] + q] - e[6 * k + q]));
      }
    std::printf(
        "%-8s N=%-8u tol=%-6.0e closed form %9.1f s  tree %7.2f s (build %5.2f, P=%d,"
        " moments %4.0f B/facet)  x%-7.1f error/tol %.3f\n",
        name, facets.n, tolerance, exact_all, build + evaluate, build, tree.MaxOrder(),
        double(tree.MomentBytes()) / facets.n, exact_all / (build + evaluate),
        err / top / tolerance);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned threads = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 2;
  std::vector<size_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {100000};
  ThreadTeam team;
  team.SetCount(threads);
  for (size_t want : sizes) {
    const std::vector<Facet> model = models::Asteroid(models::AsteroidGrid(want));
    const size_t n = model.size();
    std::vector<double> v9(9 * n);
    for (size_t f = 0; f < n; ++f)
      for (int k = 0; k < 9; ++k) v9[9 * f + size_t(k)] = model[f].v[k];
    const Facets facets(uint32_t(n), v9.data());
    std::vector<SIEntry> si(n);
    for (size_t f = 0; f < n; ++f) si[f] = MakeSIEntry(&v9[9 * f]);
    // About 500 closed-form points per case.
    const size_t every = std::max<size_t>(1, n / 500);
    Points surface, shell;
    for (size_t f = 0; f < n; ++f) {
      const double* v = &v9[9 * f];
      surface.x.push_back((v[0] + v[3] + v[6]) / 3);
      surface.y.push_back((v[1] + v[4] + v[7]) / 3);
      surface.z.push_back((v[2] + v[5] + v[8]) / 3);
      // A shell of radius 15 km around the 10 x 7 x 5 km body (golden spiral).
      const double zc = 1 - 2 * (double(f) + 0.5) / double(n);
      const double r = std::sqrt(1 - zc * zc), phi = 2.399963229728653 * double(f);
      shell.x.push_back(15 * r * std::cos(phi));
      shell.y.push_back(15 * r * std::sin(phi));
      shell.z.push_back(15 * zc);
    }
    std::printf("threads %u\n", threads);
    Compare("surface", facets, si, surface, every, team);
    Compare("exterior", facets, si, shell, every, team);
  }
  return 0;
}
