// The tree engine against the exact kernel, side by side in one run, on a
// generated asteroid of about N facets: the surface case (the field at every
// facet's centroid) and N points on an exterior shell, at tolerances 1e-8,
// 1e-11 and 1e-13, one thread. The tree evaluates all N points; the exact
// kernel evaluates every k-th of them (its cost per point does not depend on
// the other points), which gives its time for all N and the tree's max error
// relative to the largest |U| and |g| over those points (and that as a share
// of the tolerance, which must stay at most 1). First, the cost of
// one M2M (multipole.h's Translation) at the orders of the three tolerances.
// With --count, instead of the comparison, the work of local expansions
// counted against the far field's (CountLocal); with --levels, the moments
// by size of cell and their use (Levels), both from the far cells a call
// takes (Tree::Observe, under the budget of the call's largest values).
//
//   build/bench/tree_bench [--count | --levels] [N ...]  (default 80000 320000)
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "engine/multipole.h"
#include "engine/table_engine.h"
#include "engine/tree/tree.h"
#include "tests/support/asteroid.h"

namespace {

// Processor time of this process since `since` (one thread: the machines
// the benchmarks run on are shared, and wall time follows their load).
double Seconds(std::clock_t since) {
  return double(std::clock() - since) / CLOCKS_PER_SEC;
}

struct Points {
  std::vector<double> x, y, z;
};

// The centroid of every facet.
Points Centroids(const FacetView& view) {
  Points p;
  for (size_t i = 0; i < view.n; ++i) {
    const float* v = view.V(i);
    p.x.push_back((v[0] + double(v[3]) + v[6]) / 3);
    p.y.push_back((v[1] + double(v[4]) + v[7]) / 3);
    p.z.push_back((v[2] + double(v[5]) + v[8]) / 3);
  }
  return p;
}

// The largest |U| and |g| of a call's results out (U, gx, gy, gz of n
// points): the budget Tree::Observe takes.
void Largest(const std::vector<double>& out, size_t n, double* maxU, double* maxg) {
  *maxU = *maxg = 0;
  for (size_t i = 0; i < n; ++i) {
    *maxU = std::max(*maxU, std::fabs(out[i]));
    *maxg = std::max(*maxg, std::hypot(out[n + i], out[2 * n + i], out[3 * n + i]));
  }
}

void Compare(const char* name, const FacetView& view, const Points& p, size_t sample_every) {
  const size_t n = p.x.size();
  // The exact kernel at every k-th point.
  Points s;
  for (size_t i = 0; i < n; i += sample_every) {
    s.x.push_back(p.x[i]);
    s.y.push_back(p.y[i]);
    s.z.push_back(p.z[i]);
  }
  const size_t m = s.x.size();
  std::vector<double> e(4 * m);
  TableEngine exact(TableGuard::kRelative);
  exact.Load(view);
  std::clock_t t0 = std::clock();
  exact.Evaluate(m, s.x.data(), s.y.data(), s.z.data(),
                 {e.data(), e.data() + m, e.data() + 2 * m, e.data() + 3 * m});
  const double exact_all = Seconds(t0) * double(n) / double(m);
  for (double tolerance : {1e-8, 1e-11, 1e-13}) {
    tree::Tree tree;
    tree::Settings settings;
    settings.tolerance = tolerance;
    std::vector<double> t(4 * n);
    t0 = std::clock();
    tree.Build(view, settings, kernel::For(kernel::Best()), nullptr);
    const double cells = Seconds(t0);
    tree.Moments(nullptr);
    const double build = Seconds(t0);
    t0 = std::clock();
    tree.Evaluate(tolerance, n, p.x.data(), p.y.data(), p.z.data(),
                  {t.data(), t.data() + n, t.data() + 2 * n, t.data() + 3 * n},
                  TableGuard::kRelative, nullptr);
    const double evaluate = Seconds(t0);
    double maxU = 0, maxg = 0, errU = 0, errg = 0;
    for (size_t k = 0; k < m; ++k) {
      const size_t i = k * sample_every;
      maxU = std::max(maxU, std::fabs(e[k]));
      errU = std::max(errU, std::fabs(t[i] - e[k]));
      for (int q = 1; q < 4; ++q) {
        maxg = std::max(maxg, std::fabs(e[q * m + k]));
        errg = std::max(errg, std::fabs(t[q * n + i] - e[q * m + k]));
      }
    }
    std::printf(
        "%-8s N=%-8u tol=%-6.0e exact %8.2f s  tree %7.2f s (build %5.2f = cells %5.2f + moments"
        " %5.2f, P=%d, moments %5.0f MB)  x%-6.1f err U %.1e g %.1e (of tol %.3f, %.3f)\n",
        name, view.n, tolerance, exact_all, build + evaluate, build, cells, build - cells,
        tree.MaxOrder(), double(tree.MomentBytes()) / 1e6, exact_all / (build + evaluate),
        errU / maxU, errg / maxg, errU / maxU / tolerance, errg / maxg / tolerance);
    std::fflush(stdout);
  }
}

// Processor time of one translation of moments to order P, in seconds.
double Translation(int P, int times) {
  const multipole::Translation translation(P, kernel::For(kernel::Best()));
  std::vector<double> from(8 * multipole::Count(P)), to(from.size(), 0.0), scratch;
  for (size_t k = 0; k < from.size(); ++k) from[k] = std::sin(double(k)) * 1e-3;
  const double c[3] = {0.1, -0.2, 0.3}, parent[3] = {0, 0, 0};
  const std::clock_t t0 = std::clock();
  for (int i = 0; i < times; ++i)
    translation.Add(from.data(), c, 0.6, parent, 1.0, to.data(), &scratch);
  return Seconds(t0) / times;
}

// Processor time of M2P per coefficient at a point (order 40, 4096 points).
double CoefficientCost() {
  constexpr int P = 40;
  constexpr size_t n = 4096;
  std::vector<double> M(8 * multipole::Count(P)), x(n), y(n), z(n), psi(4 * n, 0.0);
  for (size_t k = 0; k < M.size(); ++k) M[k] = std::sin(double(k)) * 1e-3;
  for (size_t i = 0; i < n; ++i)
    x[i] = 3 + std::sin(double(i)), y[i] = std::cos(double(i)), z[i] = 1;
  const double c[3] = {0, 0, 0};
  constexpr int kTimes = 20;
  const std::clock_t t0 = std::clock();
  for (int i = 0; i < kTimes; ++i)
    kernel::For(kernel::Best())
        .m2p(M.data(), P, P, c, 1.0, n, x.data(), y.data(), z.data(), psi.data());
  return Seconds(t0) / (kTimes * double(n) * double(multipole::Count(P)));
}

// --count: the work of local expansions counted against the far field as
// the tree takes it, at 1e-13 for batches of 32, 256 and 1024 points. Each
// far cell taken at a range of a batch's points costs M2P there (the
// coefficients times the points times CoefficientCost). A hybrid would
// instead turn it into a local expansion about the range's ball where that
// is cheaper: M2L by rotation, costed as one translation of the order it
// needs (M2M's operation count), that order the smallest whose bound for
// the two truncations together, rho_L^(p+1)/(1 - rho_L) with rho_L =
// (a + b)/d (a, b the balls' radii, d their distance), is at most the taken
// expansion's, rho^(p+1)/(1 - rho); and per range with any M2L, one L2P of
// the largest such order at each of its points, costed as one M2P.
void CountLocal(const char* name, const FacetView& view, const Points& p, double coefficient,
                const std::vector<double>& translation) {
  const size_t n = p.x.size();
  for (uint32_t batch : {32u, 256u, 1024u}) {
    tree::Tree tree;
    tree::Settings settings;
    settings.tolerance = 1e-13;
    settings.batch = batch;
    tree.Build(view, settings, kernel::For(kernel::Best()), nullptr);
    std::vector<double> out(4 * n);
    tree.Evaluate(1e-13, n, p.x.data(), p.y.data(), p.z.data(),
                  {out.data(), out.data() + n, out.data() + 2 * n, out.data() + 3 * n},
                  TableGuard::kRelative, nullptr);
    double maxU, maxg;
    Largest(out, n, &maxU, &maxg);
    double m2p = 0, hybrid = 0, taken = 0, by_local = 0, covered = 0;
    std::map<std::pair<size_t, size_t>, int> ranges;
    tree.Observe(
        1e-13, n, p.x.data(), p.y.data(), p.z.data(), maxU, maxg, [&](const tree::Tree::Taken& t) {
          const double at_points =
              coefficient * double(multipole::Count(t.order)) * double(t.points);
          m2p += at_points;
          ++taken;
          covered += double(t.points);
          const double rho = (t.radius + t.range_radius) / t.distance;
          const double bound = std::pow(t.rho, t.order + 1) / (1 - t.rho);
          const int order = rho < 1 ? multipole::Order(rho, bound) : 1000;
          const double local = size_t(order) < translation.size() ? translation[order] : HUGE_VAL;
          if (local < at_points) {
            hybrid += local;
            ++by_local;
            int& most = ranges[{t.first, t.first + t.points}];
            most = std::max(most, order);
          } else {
            hybrid += at_points;
          }
        });
    double l2p = 0;
    for (const auto& [range, order] : ranges)
      l2p += coefficient * double(multipole::Count(order)) * double(range.second - range.first);
    std::printf(
        "%-8s N=%-8u batch %-5u far cells a point %5.1f, a range %6.1f points; M2P %6.2f s; "
        "hybrid %6.2f s (M2L %4.1f%% of the cells, L2P %5.2f s of it)\n",
        name, view.n, batch, covered / double(n), covered / taken, m2p, hybrid + l2p,
        100 * by_local / taken, l2p);
    std::fflush(stdout);
  }
}

}  // namespace

// --levels: where the moments go and which of them a call takes, at 1e-13
// (one thread, processor time): per class of cells by their facets (2^k to
// 2^(k+1) - 1), the cells taken, the memory of their moments at the order
// they keep and at the highest order the call took them at, and the class's
// share of M2P's coefficients at points; then the memory of the cells
// never taken. Each case twice: with the default min_cell, and with
// min_cell doubled (the lowest class of moments left out).
void Levels(const char* name, const FacetView& view, const Points& p) {
  const size_t n = p.x.size();
  for (const uint32_t min_cell : {128u, 256u}) {
    tree::Tree tree;
    tree::Settings settings;
    settings.tolerance = 1e-13;
    settings.min_cell = min_cell;
    std::clock_t t0 = std::clock();
    tree.Build(view, settings, kernel::For(kernel::Best()), nullptr);
    const double cells = Seconds(t0);
    t0 = std::clock();
    tree.Moments(nullptr);
    const double moments = Seconds(t0);
    struct Cell {
      int kept = 0, most = -1;
      uint32_t facets = 0;
    };
    std::vector<double> out(4 * n);
    t0 = std::clock();
    tree.Evaluate(1e-13, n, p.x.data(), p.y.data(), p.z.data(),
                  {out.data(), out.data() + n, out.data() + 2 * n, out.data() + 3 * n},
                  TableGuard::kRelative, nullptr);
    const double evaluate = Seconds(t0);
    double maxU, maxg;
    Largest(out, n, &maxU, &maxg);
    std::map<uint32_t, Cell> taken;
    std::map<int, double> work;
    double all_work = 0;
    tree.Observe(1e-13, n, p.x.data(), p.y.data(), p.z.data(), maxU, maxg,
                 [&](const tree::Tree::Taken& t) {
                   Cell& c = taken[t.cell];
                   c.kept = t.kept, c.facets = t.facets, c.most = std::max(c.most, t.order);
                   const double w = double(multipole::Count(t.order)) * double(t.points);
                   work[std::bit_width(t.facets) - 1] += w;
                   all_work += w;
                 });
    std::printf(
        "%-8s N=%-8u min_cell %-4u cells %5.2f s, moments %5.2f s (%6.1f MB), evaluate %6.2f s\n",
        name, view.n, min_cell, cells, moments, double(tree.MomentBytes()) / 1e6, evaluate);
    struct Class {
      size_t cells = 0;
      double kept = 0, most = 0;
    };
    // Moments to order p: eight doubles a coefficient.
    const auto bytes = [](int order) {
      return double(multipole::Count(order)) * 8 * sizeof(double);
    };
    std::map<int, Class> by;
    for (const auto& [id, c] : taken) {
      Class& k = by[std::bit_width(c.facets) - 1];
      ++k.cells;
      k.kept += bytes(c.kept);
      k.most += bytes(c.most);
    }
    double never = double(tree.MomentBytes());
    for (const auto& [k, c] : by) {
      std::printf(
          "  facets 2^%-2d: %6zu cells taken, moments %6.1f MB kept, %6.1f MB to the "
          "orders taken; %5.1f%% of M2P\n",
          k, c.cells, c.kept / 1e6, c.most / 1e6, 100 * work[k] / all_work);
      never -= c.kept;
    }
    std::printf("  never taken: %.1f MB of moments\n", never / 1e6);
    std::fflush(stdout);
  }
}

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  bool count = false, levels = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--count") == 0)
      count = true;
    else if (std::strcmp(argv[i], "--levels") == 0)
      levels = true;
    else
      sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  if (sizes.empty()) sizes = {80000, 320000};
  for (double tolerance : {1e-8, 1e-11, 1e-13}) {
    tree::Settings settings;
    settings.tolerance = tolerance;
    const int P = tree::StoredOrder(settings);
    std::printf("M2M      P=%-3d %7.1f us a translation\n", P, Translation(P, 200) * 1e6);
  }
  // For --count: the measured costs of M2P a coefficient at a point and of
  // one translation at each order up to 80.
  const double coefficient = count ? CoefficientCost() : 0;
  std::vector<double> translation;
  if (count) {
    std::printf("M2P      %.3f ns a coefficient at a point\n", coefficient * 1e9);
    for (int P = 0; P <= 80; ++P) translation.push_back(Translation(P, 20));
  }
  for (size_t want : sizes) {
    const std::vector<Facet> model = models::Asteroid(models::AsteroidGrid(want));
    const FacetView view = FacetView::Of(uint32_t(model.size()), model.data());
    const size_t n = model.size();
    // About 2000 exact points per case.
    const size_t every = std::max<size_t>(1, n / 2000);
    const Points surface = Centroids(view);
    Points shell;
    for (size_t i = 0; i < n; ++i) {
      // A shell of radius 15 km around the 10 x 7 x 5 km body (golden spiral).
      const double zc = 1 - 2 * (double(i) + 0.5) / double(n);
      const double r = std::sqrt(1 - zc * zc), phi = 2.399963229728653 * double(i);
      shell.x.push_back(15 * r * std::cos(phi));
      shell.y.push_back(15 * r * std::sin(phi));
      shell.z.push_back(15 * zc);
    }
    if (levels) {
      Levels("surface", view, surface);
      Levels("exterior", view, shell);
      continue;
    }
    if (count) {
      CountLocal("surface", view, surface, coefficient, translation);
      CountLocal("exterior", view, shell, coefficient, translation);
      continue;
    }
    Compare("surface", view, surface, every);
    Compare("exterior", view, shell, every);
  }
  return 0;
}
