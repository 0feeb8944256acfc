// The tree engine: its harmonics and moments against independent forms, its
// results against the exact table form, and its independence of threads.
#include "engine/tree/tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/read.h"
#include "engine/multipole.h"
#include "engine/si_direct.h"
#include "engine/table_engine.h"
#include "tests/support/asteroid.h"
#include "tests/support/gauss.h"
#include "tests/support/probe.h"
#include "tests/support/reference_field.h"
#include "tests/support/run.h"
#include "tests/support/torus.h"

namespace {

using cd = std::complex<double>;

// R_n^m(y) = r^n P_n^m(cos t) e^(i m phi)/(n + m)!, P without the
// Condon-Shortley phase (as std::assoc_legendre).
cd Regular(int n, int m, const double y[3]) {
  const double r = std::sqrt(y[0] * y[0] + y[1] * y[1] + y[2] * y[2]);
  const double phi = std::atan2(y[1], y[0]);
  return std::pow(r, n) * std::assoc_legendre(unsigned(n), unsigned(m), y[2] / r) *
         std::polar(1.0, m * phi) / std::tgamma(n + m + 1.0);
}

// Integral of f over triangle (a, b, c) by the collapsed (Duffy) tensor rule
// of k x k Gauss points: exact for polynomials of degree below 2k - 1.
template <class F>
auto OverTriangle(const double a[3], const double b[3], const double c[3], int k, F f) {
  std::vector<double> x, w;
  Gauss(k, &x, &w);
  double e1[3], e2[3];
  for (int q = 0; q < 3; ++q) e1[q] = b[q] - a[q], e2[q] = c[q] - a[q];
  const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                       e1[0] * e2[1] - e1[1] * e2[0]};
  const double jac = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  decltype(f(a)) sum{};
  for (int i = 0; i < k; ++i)
    for (int j = 0; j < k; ++j) {
      const double u = x[size_t(i)], v = x[size_t(j)] * (1 - u);
      const double p[3] = {a[0] + u * e1[0] + v * e2[0], a[1] + u * e1[1] + v * e2[1],
                           a[2] + u * e1[2] + v * e2[2]};
      sum += f(p) * (w[size_t(i)] * w[size_t(j)] * (1 - u) * jac);
    }
  return sum;
}

size_t At(int n, int m, int P) {
  return size_t(m) * size_t(P + 1) - size_t(m) * size_t(m - 1) / 2 + size_t(n - m);
}

const kernel::Isa& Isa() {
  return kernel::For(kernel::Best());
}

// One triangle's exact moments (unit density in all four slots) against
// quadrature of the closed-form harmonics, and its far field against
// quadrature of 1/|x - p|, on every instruction set.
TEST(TreeHarmonics, TriangleMomentsAndFarFieldMatchQuadrature) {
  const double tri[9] = {0.3, -0.2, 0.1, -0.4, 0.35, -0.2, 0.15, 0.3, 0.45};
  const double c[3] = {0.05, 0.1, -0.05}, a = 1.0;
  const int P = 12;
  std::vector<double> inv_fact2(P + 1);
  for (int k = 0; k <= P; ++k) inv_fact2[size_t(k)] = 1 / std::tgamma(k + 3.0);
  double v[9][1], area[1], s[4][1];
  for (int k = 0; k < 9; ++k) v[k][0] = tri[k];
  const double e1[3] = {tri[3] - tri[0], tri[4] - tri[1], tri[5] - tri[2]};
  const double e2[3] = {tri[6] - tri[0], tri[7] - tri[1], tri[8] - tri[2]};
  const double cr[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                        e1[0] * e2[1] - e1[1] * e2[0]};
  area[0] = 0.5 * std::sqrt(cr[0] * cr[0] + cr[1] * cr[1] + cr[2] * cr[2]);
  for (int q = 0; q < 4; ++q) s[q][0] = q + 1.0;  // distinct densities
  const double* const pv[9] = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
  const double* const ps[4] = {s[0], s[1], s[2], s[3]};
  for (kernel::Simd simd : {kernel::Simd::kBaseline, kernel::Simd::kAvx2, kernel::Simd::kAvx512}) {
    if (!kernel::Supported(simd)) continue;
    const kernel::Isa& isa = kernel::For(simd);
    std::vector<double> M(8 * At(P, P, P) + 8, 0.0);
    isa.p2m(1, pv, area, ps, c, 1 / a, P, inv_fact2.data(), M.data());
    for (int n = 0; n <= P; ++n)
      for (int m = 0; m <= n; ++m) {
        const cd want = OverTriangle(tri, tri + 3, tri + 6, 16, [&](const double* p) {
          const double y[3] = {(p[0] - c[0]) / a, (p[1] - c[1]) / a, (p[2] - c[2]) / a};
          return std::conj(Regular(n, m, y));
        });
        for (int q = 0; q < 4; ++q) {
          const double* k = &M[8 * At(n, m, P)];
          EXPECT_NEAR(k[q], (q + 1) * want.real(), 1e-15) << n << " " << m;
          EXPECT_NEAR(k[4 + q], (q + 1) * want.imag(), 1e-15) << n << " " << m;
        }
      }
    // The far field (factor 2 of m > 0 folded in, as the tree stores them).
    for (int m = 1; m <= P; ++m)
      for (int n = m; n <= P; ++n)
        for (int k = 0; k < 8; ++k) M[8 * At(n, m, P) + size_t(k)] *= 2;
    const double x[3] = {1.9, -1.2, 2.4}, y[3] = {-2.2, 1.5, 0.9}, z[3] = {0.6, 2.0, -1.8};
    double psi[12] = {};
    isa.m2p(M.data(), P, P, c, 1 / a, 3, x, y, z, psi);
    for (int j = 0; j < 3; ++j) {
      const double want = OverTriangle(tri, tri + 3, tri + 6, 24, [&](const double* p) {
        return 1 / std::sqrt((p[0] - x[j]) * (p[0] - x[j]) + (p[1] - y[j]) * (p[1] - y[j]) +
                             (p[2] - z[j]) * (p[2] - z[j]));
      });
      // Within the truncation bound rho^(P+1)(1 + rho)/(1 - rho), rho the
      // triangle's farthest vertex from c over the point's distance.
      double reach = 0;
      for (int k = 0; k < 3; ++k)
        reach = std::max(
            reach, std::hypot(tri[3 * k] - c[0], tri[3 * k + 1] - c[1], tri[3 * k + 2] - c[2]));
      const double rho = reach / std::hypot(x[j] - c[0], y[j] - c[1], z[j] - c[2]);
      const double bound = std::pow(rho, P + 1) * (1 + rho) / (1 - rho) + 1e-15;
      for (int q = 0; q < 4; ++q)
        EXPECT_NEAR(psi[4 * j + q], (q + 1) * want, bound * (q + 1) * want);
    }
  }
}

// The moments of a few triangles (four distinct densities) about centre c
// scaled by a, to order P, the factor 2 of m > 0 folded in.
std::vector<double> DirectMoments(const std::vector<double>& tri, const double c[3], double a,
                                  int P, const kernel::Isa& isa) {
  const size_t n = tri.size() / 9;
  std::vector<double> v(9 * n), area(n), s(4 * n);
  for (size_t f = 0; f < n; ++f) {
    const double* t = &tri[9 * f];
    for (int k = 0; k < 9; ++k) v[size_t(k) * n + f] = t[k];
    const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    const double cr[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                          e1[0] * e2[1] - e1[1] * e2[0]};
    area[f] = 0.5 * std::sqrt(cr[0] * cr[0] + cr[1] * cr[1] + cr[2] * cr[2]);
    for (int q = 0; q < 4; ++q) s[size_t(q) * n + f] = (q + 1.0) * std::cos(7 * t[0] + q);
  }
  std::vector<double> inv_fact2(size_t(P) + 1);
  for (int k = 0; k <= P; ++k) inv_fact2[size_t(k)] = 1 / std::tgamma(k + 3.0);
  const double* const pv[9] = {&v[0],     &v[n],     &v[2 * n], &v[3 * n], &v[4 * n],
                               &v[5 * n], &v[6 * n], &v[7 * n], &v[8 * n]};
  const double* const ps[4] = {&s[0], &s[n], &s[2 * n], &s[3 * n]};
  std::vector<double> M(8 * At(P, P, P) + 8, 0.0);
  isa.p2m(n, pv, area.data(), ps, c, 1 / a, P, inv_fact2.data(), M.data());
  for (int m = 1; m <= P; ++m)
    for (int k = 8 * int(At(m, m, P)); k < 8 * int(At(P, m, P)) + 8; ++k) M[size_t(k)] *= 2;
  return M;
}

// M2M: the moments of two clusters of triangles, each about its own ball,
// translated to a parent ball, against the moments of all the triangles
// about the parent directly; each coefficient within rounding of the
// order's scale (|M_n^m| sqrt((n+m)!(n-m)!) <= Q (r/a)^n).
TEST(TreeHarmonics, TranslatedMomentsAreTheParentsOwn) {
  for (kernel::Simd simd : {kernel::Simd::kBaseline, kernel::Simd::kAvx2, kernel::Simd::kAvx512})
    for (int P : {1, 2, 7, 20, 47, 80}) {
      if (!kernel::Supported(simd)) continue;
      const multipole::Translation translation(P, kernel::For(simd));
      // Shifts in every direction, along the axes and none.
      const double shifts[][3] = {{0.31, -0.22, 0.17}, {-0.1, 0.4, -0.33}, {0, 0, 0.45},
                                  {0, 0, -0.3},        {0.4, 0, 0},        {0, 0, 0}};
      for (const double* shift : shifts) {
        const double parent[3] = {0.2, -0.1, 0.05}, a = 1.3;
        std::vector<double> want(8 * At(P, P, P) + 8, 0.0), got = want;
        std::vector<double> all, scratch;
        double Q = 0;
        for (int side : {1, -1}) {
          const double c[3] = {parent[0] + side * shift[0], parent[1] + side * 0.5 * shift[1],
                               parent[2] + side * shift[2]};
          const double r = 0.6;
          std::vector<double> tri;
          for (int f = 0; f < 9; ++f)
            for (int k = 0; k < 9; ++k)
              tri.push_back(c[k % 3] + 0.45 * std::sin(1.7 * f + 2.3 * k + side));
          const std::vector<double> child = DirectMoments(tri, c, r, P, Isa());
          translation.Add(child.data(), c, r, parent, a, got.data(), &scratch);
          all.insert(all.end(), tri.begin(), tri.end());
          Q += std::fabs(child[0]) + std::fabs(child[4]);
        }
        want = DirectMoments(all, parent, a, P, Isa());
        for (int n = 0; n <= P; ++n)
          for (int m = 0; m <= n; ++m) {
            const double f = std::sqrt(std::tgamma(n + m + 1.0) * std::tgamma(n - m + 1.0));
            for (int q = 0; q < 8; ++q) {
              const size_t k = 8 * At(n, m, P) + size_t(q);
              ASSERT_NEAR(got[k] * f, want[k] * f, 1e-14 * Q * (q % 4 + 1))
                  << "P " << P << " n " << n << " m " << m << " q " << q << " shift " << shift[0];
            }
          }
      }
    }
}

// The centroids of the first `count` facets of v9 (nine doubles a facet).
Points Centroids(const std::vector<double>& v9, size_t count) {
  Points p;
  for (size_t f = 0; f < count; ++f) {
    const double* v = &v9[9 * f];
    p.Add((v[0] + v[3] + v[6]) / 3, (v[1] + v[4] + v[7]) / 3, (v[2] + v[5] + v[8]) / 3);
  }
  return p;
}

// Four arrays of n (U, gx, gy, gz) as a FieldOut.
FieldOut Out(std::vector<double>* r, size_t n) {
  r->assign(4 * n, 0.0);
  double* a = r->data();
  return {a, a + n, a + 2 * n, a + 3 * n};
}

// The largest error of `got` against `want` (both four arrays of n), over
// the largest |U| and |g| of `want`.
struct Error {
  double U = 0, g = 0;
};
Error Relative(const std::vector<double>& got, const std::vector<long double>& want, size_t n) {
  long double maxU = 0, maxg = 0, errU = 0, errg = 0;
  for (size_t i = 0; i < n; ++i) {
    long double g2 = 0, e2 = 0;
    for (int q = 1; q < 4; ++q) {
      g2 += want[q * n + i] * want[q * n + i];
      e2 += (got[q * n + i] - want[q * n + i]) * (got[q * n + i] - want[q * n + i]);
    }
    maxU = std::max(maxU, fabsl(want[i]));
    maxg = std::max(maxg, sqrtl(g2));
    errU = std::max(errU, fabsl(got[i] - want[i]));
    errg = std::max(errg, sqrtl(e2));
  }
  return {double(errU / maxU), double(errg / maxg)};
}

std::vector<long double> Reference(const std::vector<double>& v9, const Points& p) {
  const size_t n = p.size();
  std::vector<long double> r(4 * n);
  for (size_t i = 0; i < n; ++i) {
    const reference::Field f = reference::At(v9, p.x[i], p.y[i], p.z[i]);
    r[i] = f.U;
    for (int q = 0; q < 3; ++q) r[(q + 1) * n + i] = f.g[q];
  }
  return r;
}

// The tree at each tolerance against the long-double reference: the error
// stays within the tolerance times the call's largest |U| and |g|, above the
// rounding floor of the closed form in double (measured here as the exact
// sum's own error against the reference: on thin bodies the facets' terms
// cancel to a field thousands of times smaller, and both methods round
// there alike). `ratio` is the worst error over tolerance above that floor.
void ExpectWithinTolerance(const char* name, const std::vector<double>& v9, const Points& p,
                           double* ratio) {
  const size_t n = p.size();
  const uint32_t facets = uint32_t(v9.size() / 9);
  const std::vector<long double> want = Reference(v9, p);
  std::vector<double> got;
  TableEngine exact(TableGuard::kRelative);
  exact.Load(Facets(facets, v9.data()));
  exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(), Out(&got, n));
  const Error floor = Relative(got, want, n);
  for (double tolerance : {1e-3, 1e-6, 1e-9, 1e-13}) {
    tree::Tree tree;
    tree::Settings s;
    s.tolerance = tolerance;
    tree.Build(Facets(facets, v9.data()), s, Isa(), nullptr);
    tree.Evaluate(tolerance, n, p.x.data(), p.y.data(), p.z.data(), Out(&got, n),
                  TableGuard::kRelative, nullptr);
    const Error e = Relative(got, want, n);
    EXPECT_LE(e.U, tolerance + 2 * floor.U) << name << " at " << tolerance;
    EXPECT_LE(e.g, tolerance + 2 * floor.g) << name << " at " << tolerance;
    *ratio = std::max({*ratio, (e.U - 2 * floor.U) / tolerance, (e.g - 2 * floor.g) / tolerance});
  }
}

// Plates and needles of several aspect ratios (a cell of a thin body
// carries far more than its share of the largest |g|: the sides' layers
// nearly cancel), and a cube, at points above their largest faces from
// 1e-4 to 10 sizes, and on and around their facets.
TEST(TreeEngine, MeetsTheToleranceOnPlatesAndNeedles) {
  struct Body {
    const char* name;
    double a, b, c;
    int k;
  };
  const Body bodies[] = {{"plate 10 x 10 x 0.001", 10, 10, 0.001, 30},
                         {"plate 10 x 10 x 0.1", 10, 10, 0.1, 30},
                         {"needle 0.001 x 0.001 x 10", 0.001, 0.001, 10, 60},
                         {"needle 0.1 x 0.1 x 10", 0.1, 0.1, 10, 60},
                         {"cube", 1, 1, 1, 30}};
  double ratio = 0;
  for (const Body& b : bodies) {
    const std::vector<double> v9 = reference::TessellatedBox(b.a, b.b, b.c, b.k);
    Points p = Probe(v9, 60);
    const double longest = std::max({b.a, b.b, b.c});
    for (int i = 0; i < 100; ++i) {
      const double height = longest * std::pow(10.0, -4 + 5 * (i + 0.5) / 100);
      const double u = std::fmod(i * 0.618034, 1.0) - 0.5, w = std::fmod(i * 0.414214, 1.0) - 0.5;
      if (b.c < b.a)
        p.Add(1.2 * u * b.a, 1.2 * w * b.b, 0.5 * b.c + height);
      else
        p.Add(0.5 * b.a + height, 1.2 * w * b.b, 1.2 * u * b.c);
    }
    ExpectWithinTolerance(b.name, v9, p, &ratio);
  }
  std::printf("worst error over tolerance, above the exact sum's floor: %.3g\n", ratio);
}

// Bodies of every kind against the exact table form: a real asteroid model,
// a generated one and a torus.
TEST(TreeEngine, MeetsTheToleranceOnModels) {
  std::vector<Facet> eros;
  {
    uint32_t n;
    Facet* f;
    ReadFacet(DataPath("models/eros.stl").c_str(), &n, &f);
    eros.assign(f, f + n);
    std::free(f);
  }
  const std::vector<std::pair<const char*, std::vector<Facet>>> models = {
      {"eros", eros}, {"asteroid", models::Asteroid(30)}, {"torus", models::Torus(120, 40)}};
  for (const auto& [name, model] : models) {
    const std::vector<double> v9 = Corners(model);
    const Points p = Probe(v9);
    const size_t n = p.size();
    std::vector<double> e, t;
    TableEngine exact(TableGuard::kRelative);
    exact.Load(Facets(uint32_t(model.size()), v9.data()));
    exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(), Out(&e, n));
    const std::vector<long double> want(e.begin(), e.end());
    for (double tolerance : {1e-6, 1e-10, 1e-13}) {
      tree::Tree tree;
      tree::Settings s;
      s.tolerance = tolerance;
      tree.Build(Facets(uint32_t(model.size()), v9.data()), s, Isa(), nullptr);
      tree.Evaluate(tolerance, n, p.x.data(), p.y.data(), p.z.data(), Out(&t, n),
                    TableGuard::kRelative, nullptr);
      const Error err = Relative(t, want, n);
      // Against the exact sum: its own rounding (a few 1e-15) is the floor.
      EXPECT_LE(err.U, tolerance + 1e-14) << name << " at " << tolerance;
      EXPECT_LE(err.g, tolerance + 1e-14) << name << " at " << tolerance;
    }
  }
}

// Far away the field is the point mass's to 1e-14 and beyond: the tree
// gives it to the tolerance at any distance (the exact sum loses every digit
// there).
TEST(TreeEngine, FarPointsAreThePointMass) {
  const std::vector<Facet> model = models::Asteroid(20);
  const std::vector<double> v9 = Corners(model);
  terms::VolumeSum volume;
  for (const Facet& f : model)
    volume.Add({f.v[0], f.v[1], f.v[2]}, {f.v[3], f.v[4], f.v[5]}, {f.v[6], f.v[7], f.v[8]});
  const terms::Vec c = volume.Centroid();
  tree::Tree tree;
  tree::Settings s;
  s.tolerance = 1e-13;
  tree.Build(Facets(uint32_t(model.size()), v9.data()), s, Isa(), nullptr);
  for (double r : {1e8, 1e10, 1e12, 1e14}) {
    Points p;
    for (int k = 0; k < 10; ++k) p.Add(c.x + r * std::cos(k), c.y + r * std::sin(k), c.z + 0.3 * r);
    const size_t n = p.size();
    std::vector<double> t;
    tree.Evaluate(1e-13, n, p.x.data(), p.y.data(), p.z.data(), Out(&t, n), TableGuard::kRelative,
                  nullptr);
    for (size_t i = 0; i < n; ++i) {
      const double d[3] = {c.x - p.x[i], c.y - p.y[i], c.z - p.z[i]};
      const double D = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const double V = volume.Volume();
      EXPECT_NEAR(t[i], V / D, 1e-13 * V / D) << r;
      for (int q = 0; q < 3; ++q)
        EXPECT_NEAR(t[(q + 1) * n + i], V * d[q] / (D * D * D), 1e-13 * V / (D * D)) << r;
    }
  }
}

// The same bytes for any number of threads.
TEST(TreeEngine, ThreadsDoNotChangeABit) {
  const std::vector<double> v9 = Corners(models::Asteroid(25));
  const Points p = Probe(v9);
  const size_t n = p.size();
  std::vector<double> first, t;
  for (unsigned m : {1u, 2u, 3u, 7u}) {
    ThreadTeam team;
    team.SetCount(m);
    tree::Tree tree;
    tree::Settings s;
    s.tolerance = 1e-10;
    tree.Build(Facets(uint32_t(v9.size() / 9), v9.data()), s, Isa(), &team);
    tree.Evaluate(1e-10, n, p.x.data(), p.y.data(), p.z.data(), Out(&t, n), TableGuard::kRelative,
                  &team);
    if (first.empty())
      first = t;
    else
      EXPECT_EQ(std::memcmp(first.data(), t.data(), t.size() * sizeof(double)), 0) << m;
  }
}

// The moments made in parts, as the processes of a job make them (a third
// of the parts by each of three processes, the outlines of every part handed to all): the field
// of one pass, to the bit, whether a process makes the moments it lacks or
// is handed those its batches take by their owners.
TEST(TreeEngine, MomentsMadeInPartsAreThoseOfOnePass) {
  const std::vector<Facet> model = models::Asteroid(models::AsteroidGrid(20000));
  const std::vector<double> v9 = Corners(model);
  const Points p = Centroids(v9, model.size());
  const size_t n = p.size();
  const Facets facets(uint32_t(v9.size() / 9), v9.data());
  tree::Settings s;
  s.tolerance = 1e-10;
  constexpr size_t kWanted = 12, kProcesses = 3;
  tree::Tree whole, parted[kProcesses];
  whole.Build(facets, s, Isa(), nullptr);
  for (tree::Tree& t : parted) t.Build(facets, s, Isa(), nullptr);
  const size_t parts = parted[0].MomentParts(kWanted);
  ASSERT_GE(parts, kProcesses);
  // Process r makes the r-th third of the parts; every process takes every
  // outline.
  tree::Doubles all;
  std::vector<size_t> at(parts), owner(parts);
  for (size_t r = 0; r < kProcesses; ++r) {
    std::vector<size_t> mine;
    for (size_t k = r * parts / kProcesses; k < (r + 1) * parts / kProcesses; ++k)
      mine.push_back(k), owner[k] = r;
    const tree::Doubles packed = parted[r].MakeMomentParts(kWanted, mine, nullptr);
    size_t offset = 0;
    for (size_t k : mine) {
      at[k] = all.size() + offset;
      offset += size_t(packed[offset]);
    }
    EXPECT_EQ(offset, packed.size());
    all.insert(all.end(), packed.begin(), packed.end());
  }
  for (tree::Tree& t : parted) t.MomentsFromParts(kWanted, all, at, nullptr);
  std::vector<double> a, b;
  whole.Evaluate(1e-10, n, p.x.data(), p.y.data(), p.z.data(), Out(&a, n), TableGuard::kRelative,
                 nullptr);
  const auto same = [&](size_t i) {
    for (size_t q = 0; q < 4; ++q)
      if (std::memcmp(&a[q * n + i], &b[q * n + i], sizeof(double)) != 0) return false;
    return true;
  };
  // Process 0 evaluates every point with nothing handed over, on three
  // threads: it makes what it lacks as its threads first take them.
  ASSERT_FALSE(parted[0].Lacking().empty());
  ThreadTeam team;
  team.SetCount(3);
  parted[0].Evaluate(1e-10, n, p.x.data(), p.y.data(), p.z.data(), Out(&b, n),
                     TableGuard::kRelative, &team);
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0);
  EXPECT_TRUE(parted[0].Lacking().empty());
  // Process 1 evaluates the middle third of the batches, handed the
  // moments they take by their owners: those and no more (its evaluation
  // makes none of its own), the same bits.
  const tree::Tree& one = parted[1];
  const tree::Tree::Targets work =
      one.Prepare(n, p.x.data(), p.y.data(), p.z.data(), TableGuard::kRelative, nullptr);
  std::vector<size_t> batches;
  for (size_t k = work.Batches() / 3; k < 2 * work.Batches() / 3; ++k) batches.push_back(k);
  const std::vector<uint32_t> lacking = one.Lacking(1e-10, work, batches, nullptr);
  ASSERT_FALSE(lacking.empty());
  EXPECT_LT(lacking.size(), one.Lacking().size());
  const std::vector<size_t> part = one.PartsOf(kWanted, lacking);
  for (size_t r = 0; r < kProcesses; ++r) {
    std::vector<uint32_t> cells;
    for (size_t j = 0; j < lacking.size(); ++j)
      if (owner[part[j]] == r) cells.push_back(lacking[j]);
    if (r == 1) {
      EXPECT_TRUE(cells.empty());
    } else {
      one.TakeMoments(cells, parted[r].PackMoments(cells));
    }
  }
  const size_t held = one.MomentBytes();
  one.Evaluate(1e-10, work, batches, Out(&b, n), TableGuard::kRelative, nullptr);
  EXPECT_EQ(one.MomentBytes(), held);
  EXPECT_LT(held, whole.MomentBytes());
  for (size_t k : batches)
    for (size_t j = work.start[k]; j < work.start[k + 1]; ++j)
      ASSERT_TRUE(same(work.order[j])) << "point " << work.order[j];
}

// A cell keeps its moments only to the highest order it can be taken at.
// In the surface map of an asteroid no accepted cell needs more: the
// results are those of a tree that keeps every cell to the stored order,
// bit for bit, in less memory. Where cells would need more (at points off
// the surface, or at a share a hundred times the default), they are
// opened, and the field stays within the tolerance.
TEST(TreeEngine, CellsKeepOnlyTheOrdersTheyCanBeTakenAt) {
  const std::vector<Facet> model = models::Asteroid(models::AsteroidGrid(20000));
  const std::vector<double> v9 = Corners(model);
  const Facets facets(uint32_t(model.size()), v9.data());
  const Points p = Probe(v9);
  const size_t n = p.size();
  std::vector<double> e;
  TableEngine exact(TableGuard::kRelative);
  exact.Load(facets);
  exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(), Out(&e, n));
  const std::vector<long double> want(e.begin(), e.end());
  const Points centroids = Centroids(v9, model.size());
  const size_t m = centroids.size();
  constexpr double kTolerance = 1e-13;
  std::vector<double> map[2], t;
  size_t bytes[3];
  const double shares[3] = {0, 0.1, 10};
  for (int k = 0; k < 3; ++k) {
    ThreadTeam team;
    team.SetCount(2);
    tree::Tree tree;
    tree::Settings s;
    s.tolerance = kTolerance;
    s.kept_share = shares[k];
    tree.Build(facets, s, Isa(), &team);
    tree.Evaluate(kTolerance, n, p.x.data(), p.y.data(), p.z.data(), Out(&t, n),
                  TableGuard::kRelative, &team);
    const Error err = Relative(t, want, n);
    EXPECT_LE(err.U, kTolerance + 1e-14) << shares[k];
    EXPECT_LE(err.g, kTolerance + 1e-14) << shares[k];
    if (k < 2)
      tree.Evaluate(kTolerance, m, centroids.x.data(), centroids.y.data(), centroids.z.data(),
                    Out(&map[k], m), TableGuard::kRelative, &team);
    bytes[k] = tree.MomentBytes();
  }
  EXPECT_EQ(std::memcmp(map[0].data(), map[1].data(), map[0].size() * sizeof(double)), 0);
  EXPECT_LT(bytes[1], bytes[0] * 4 / 5);
  EXPECT_LT(bytes[2], bytes[1]);
}

// Far cells are taken at whole vectors of eight points, so that M2P pads no
// lane: every batch and every range a batch is halved into holds a multiple
// of eight points, but for ranges of four and fewer (a range of eight
// halved) and for the batch holding the call's last places, which takes
// the remainder. Each cell taken holds moments (min_cell facets or more)
// and is taken at no more than the order it keeps.
TEST(TreeEngine, FarRangesAreWholeVectors) {
  const std::vector<Facet> model = models::Asteroid(40);
  const std::vector<double> v9 = Corners(model);
  // The surface case: the facets' centroids, a remainder left over.
  const Points p = Centroids(v9, model.size() / 8 * 8 + 5);
  const size_t n = p.size();
  ASSERT_NE(n % 8, 0u);
  tree::Tree tree;
  tree::Settings s;
  s.tolerance = 1e-10;
  tree.Build(Facets(uint32_t(model.size()), v9.data()), s, Isa(), nullptr);
  std::vector<double> out;
  tree.Evaluate(1e-10, n, p.x.data(), p.y.data(), p.z.data(), Out(&out, n), TableGuard::kRelative,
                nullptr);
  double maxU = 0, maxg = 0;
  for (size_t i = 0; i < n; ++i) {
    maxU = std::max(maxU, std::fabs(out[i]));
    maxg = std::max(maxg, std::hypot(out[n + i], out[2 * n + i], out[3 * n + i]));
  }
  size_t taken = 0, odd = 0, wide = 0, last = 0, beyond = 0;
  tree.Observe(1e-10, n, p.x.data(), p.y.data(), p.z.data(), maxU, maxg,
               [&](const tree::Tree::Taken& t) {
                 ++taken;
                 beyond += t.facets < s.min_cell || t.order > t.kept || t.cell >= tree.Cells();
                 if (t.first + t.points == n) {
                   ++last;
                   return;
                 }
                 wide += t.points >= 16;
                 odd += t.points % 8 != 0 && t.points > 4;
               });
  EXPECT_GT(taken, 1000u);
  EXPECT_GT(wide, taken / 4);
  EXPECT_EQ(odd, 0u) << "of " << taken << " far cells taken";
  EXPECT_LT(last, taken / 100);
  EXPECT_EQ(beyond, 0u);
}

// At a tolerance of 1e-2 the expansions are cut at low orders (at least 1),
// and the error of every attraction component must stay within the
// truncation bound of the accepted cells: at a point x outside a cell's
// ball (|y - c| <= rho |x - c|) the series of 1/|x - y| cut after order
// p >= 1 errs by at most rho^(p+1)(1 + rho)/(1 - rho) of 1/|x - y|
// (Legendre's |P_n| <= 1), so with rho <= 1/2 by at most 3/4 of
// sum_f |n_f| S_f(x) (S_f the facet factor, positive). A cell accepted while
// holding the point's own facet, or a neighbour, would break it there, where
// S_f is largest.
TEST(TreeEngine, NoAcceptedCellHoldsAPointsFacet) {
  const std::vector<Facet> model = models::Torus(60, 24);
  const std::vector<double> v9 = Corners(model);
  const Points p = Probe(v9);
  const size_t n = p.size();
  tree::Tree tree;
  tree::Settings s;
  s.tolerance = 1e-2;
  s.leaf = 8;
  s.min_cell = 8;
  s.batch = 4;
  tree.Build(Facets(uint32_t(model.size()), v9.data()), s, Isa(), nullptr);
  std::vector<double> t, e;
  tree.Evaluate(1e-2, n, p.x.data(), p.y.data(), p.z.data(), Out(&t, n), TableGuard::kRelative,
                nullptr);
  TableEngine exact(TableGuard::kRelative);
  exact.Load(Facets(uint32_t(model.size()), v9.data()));
  exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(), Out(&e, n));
  size_t truncated = 0;
  for (size_t i = 0; i < n; ++i) {
    double bound[3] = {0, 0, 0};
    for (const Facet& f : model) {
      const float* v = f.v;
      double U = 0, g[3] = {0, 0, 0};
      terms::DirectFacet<terms::Guard::kRelative>(p.x[i], p.y[i], p.z[i], v[0], v[1], v[2], v[3],
                                                  v[4], v[5], v[6], v[7], v[8], &U, &g[0], &g[1],
                                                  &g[2]);
      for (int q = 0; q < 3; ++q) bound[q] += std::fabs(g[q]);  // |n_q| S_f
    }
    for (int q = 0; q < 3; ++q) {
      const double err = std::fabs(t[(q + 1) * n + i] - e[(q + 1) * n + i]);
      EXPECT_LE(err, 0.75 * bound[q] + 1e-12) << i;
      if (err > 1e-9 * bound[q]) ++truncated;
    }
  }
  // The low orders truncate visibly: the far field was in use.
  EXPECT_GT(truncated, n / 2);
}

}  // namespace
