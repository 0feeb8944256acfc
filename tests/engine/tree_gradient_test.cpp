// The tree's gradient tensor: the gradient of an expansion against finite
// differences of the expansion itself, and the tensor under a tolerance
// against the closed form on bodies of every kind, with its independence
// of threads and of which points are asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/read.h"
#include "engine/chooser.h"
#include "engine/multipole.h"
#include "engine/table.h"
#include "engine/threads.h"
#include "engine/tree/tree.h"
#include "tests/support/asteroid.h"
#include "tests/support/probe.h"
#include "tests/support/reference_field.h"
#include "tests/support/run.h"

namespace {

// Moments of three triangles (densities 1, then the normal's components,
// made up: any real densities have moments of the same symmetry) about c,
// stored as the tree stores them, to order P.
std::vector<double> SomeMoments(const kernel::Isa& isa, const double c[3], int P) {
  const double tri[3][9] = {{0.3, -0.2, 0.1, -0.4, 0.35, -0.2, 0.15, 0.3, 0.45},
                            {-0.5, 0.1, 0.3, 0.2, -0.6, 0.1, 0.4, 0.5, -0.3},
                            {0.1, 0.7, -0.4, -0.3, -0.2, 0.6, 0.6, 0.0, 0.2}};
  double v[9][3], area[3], s[4][3];
  for (int f = 0; f < 3; ++f) {
    for (int k = 0; k < 9; ++k) v[k][f] = tri[f][k];
    area[f] = 0.2 + 0.1 * f;
    s[0][f] = 1, s[1][f] = 0.3 - 0.4 * f, s[2][f] = -0.7 + 0.5 * f, s[3][f] = 0.2 + 0.3 * f;
  }
  const double* const cv[9] = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
  const double* const cs[4] = {s[0], s[1], s[2], s[3]};
  std::vector<double> inv_fact2(size_t(P) + 1);
  for (int k = 0; k <= P; ++k) inv_fact2[size_t(k)] = 1 / std::tgamma(k + 3.0);
  std::vector<double> M(multipole::Count(P) * 8, 0.0);
  isa.p2m(3, cv, area, cs, c, 1.0, P, inv_fact2.data(), M.data());
  for (size_t k = 8 * size_t(P + 1); k < M.size(); ++k) M[k] *= 2;  // m > 0 folded
  return M;
}

// The gradient of the expansion of the three normal densities is the
// derivative of their potentials, at every order and on every instruction
// set: central differences of M2P (step h: error of order h^2).
TEST(TreeGradient, ExpansionGradientIsTheExpansionsDerivative) {
  const double c[3] = {0.05, 0.1, -0.05};
  const int P = 14;
  const double pts[4][3] = {{2.1, 0.4, -0.7}, {-1.3, 1.8, 0.9}, {0.2, -0.1, 2.6}, {1.5, -1.5, 1.5}};
  for (kernel::Simd simd : {kernel::Simd::kBaseline, kernel::Simd::kAvx2, kernel::Simd::kAvx512}) {
    if (!kernel::Supported(simd)) continue;
    const kernel::Isa& isa = kernel::For(simd);
    const std::vector<double> M = SomeMoments(isa, c, P);
    for (int p : {1, 2, 5, P}) {
      double x[4], y[4], z[4];
      for (int j = 0; j < 4; ++j) x[j] = pts[j][0], y[j] = pts[j][1], z[j] = pts[j][2];
      std::vector<double> grad(9 * 4, 0.0);
      isa.m2p_gradient(M.data(), P, p, c, 1.0, 4, x, y, z, grad.data());
      const double h = 1e-4;
      for (int j = 0; j < 4; ++j)
        for (int b = 0; b < 3; ++b) {
          double xp[3] = {x[j], y[j], z[j]}, xm[3] = {x[j], y[j], z[j]};
          xp[b] += h, xm[b] -= h;
          double psi_p[4] = {0, 0, 0, 0}, psi_m[4] = {0, 0, 0, 0};
          isa.m2p(M.data(), P, p, c, 1.0, 1, &xp[0], &xp[1], &xp[2], psi_p);
          isa.m2p(M.data(), P, p, c, 1.0, 1, &xm[0], &xm[1], &xm[2], psi_m);
          for (int k = 0; k < 3; ++k) {
            const double want = (psi_p[1 + k] - psi_m[1 + k]) / (2 * h);
            EXPECT_NEAR(grad[size_t(9 * j + 3 * k + b)], want, 1e-7 * (1 + std::fabs(want)))
                << kernel::Name(simd) << " p " << p << " point " << j << " density " << k
                << " direction " << b;
          }
        }
    }
  }
}

// The closed-form tensor (TensorSI) at n points.
std::vector<double> ExactTensor(const std::vector<double>& v9, const Points& p) {
  const Facets facets(uint32_t(v9.size() / 9), v9.data());
  std::vector<SIEntry> si(facets.n);
  for (uint32_t f = 0; f < facets.n; ++f) si[f] = MakeSIEntry(&v9[9 * size_t(f)]);
  std::vector<double> t(6 * p.size());
  for (size_t i = 0; i < p.size(); ++i)
    TensorSI(facets, si.data(), p.x[i], p.y[i], p.z[i], &t[6 * i]);
  return t;
}

// The tree's tensor at the points on `threads` threads; with `written`,
// of the batches b with b % 3 == 1 alone (written[i] set for their points).
std::vector<double> TreeTensor(const std::vector<double>& v9, const Points& p, double tolerance,
                               unsigned threads, std::vector<uint8_t>* written = nullptr) {
  const Facets facets(uint32_t(v9.size() / 9), v9.data());
  ThreadTeam team;
  team.SetCount(threads);
  tree::Tree tree;
  tree::Settings settings;
  settings.tolerance = tolerance;
  settings.gradient = true;
  tree.Build(facets, settings, kernel::For(kernel::Best()), &team);
  std::vector<double> t(6 * p.size(), -1.0);
  if (!written) {
    EXPECT_TRUE(
        tree.Gradient(tolerance, p.size(), p.x.data(), p.y.data(), p.z.data(), t.data(), &team));
    return t;
  }
  const tree::Tree::Targets work =
      tree.PrepareGradient(p.size(), p.x.data(), p.y.data(), p.z.data(), &team);
  std::vector<size_t> batches;
  written->assign(p.size(), 0);
  for (size_t b = 1; b < work.Batches(); b += 3) {
    batches.push_back(b);
    for (size_t i = work.start[b]; i < work.start[b + 1]; ++i) (*written)[work.order[i]] = 1;
  }
  EXPECT_TRUE(tree.Gradient(tolerance, work, batches, t.data(), &team));
  return t;
}

// The largest error of any component over the largest component of want.
double RelativeError(const std::vector<double>& got, const std::vector<long double>& want) {
  long double top = 0, err = 0;
  for (size_t k = 0; k < want.size(); ++k) {
    top = std::max(top, fabsl(want[k]));
    err = std::max(err, fabsl(got[k] - want[k]));
  }
  return double(err / top);
}

// Points above the largest faces of a box from 1e-4 to 10 sizes, besides
// the probe's (centroids, just inside and outside them, far shells).
Points BoxPoints(const std::vector<double>& v9, double a, double b, double c) {
  Points p = Probe(v9, 60, false);
  const double longest = std::max({a, b, c});
  for (int i = 0; i < 100; ++i) {
    const double height = longest * std::pow(10.0, -4 + 5 * (i + 0.5) / 100);
    const double u = std::fmod(i * 0.618034, 1.0) - 0.5, w = std::fmod(i * 0.414214, 1.0) - 0.5;
    if (c < a)
      p.Add(1.2 * u * a, 1.2 * w * b, 0.5 * c + height);
    else
      p.Add(0.5 * a + height, 1.2 * w * b, 1.2 * u * c);
  }
  return p;
}

// Plates, needles, a cube, a real asteroid model and a generated one: every
// component within the tolerance times the largest, against a long-double
// reference, above twice the closed form's own rounding there (the exact
// sum's error: on a thin plate a few 1e-13 of the largest).
TEST(TreeGradient, MeetsTheToleranceOnEveryKindOfBody) {
  struct Case {
    const char* name;
    std::vector<double> v9;
    Points p;
  };
  std::vector<Case> cases;
  struct Box {
    const char* name;
    double a, b, c;
    int k;
  };
  for (const Box& b : {Box{"plate 10 x 10 x 0.001", 10, 10, 0.001, 30},
                       Box{"needle 0.001 x 0.001 x 10", 0.001, 0.001, 10, 60},
                       Box{"needle 0.1 x 0.1 x 10", 0.1, 0.1, 10, 60}, Box{"cube", 1, 1, 1, 30}}) {
    std::vector<double> v9 = reference::TessellatedBox(b.a, b.b, b.c, b.k);
    Points p = BoxPoints(v9, b.a, b.b, b.c);
    cases.push_back({b.name, std::move(v9), std::move(p)});
  }
  {
    uint32_t n;
    Facet* f;
    ReadFacet(DataPath("models/eros.stl").c_str(), &n, &f);
    std::vector<double> v9 = Corners(std::vector<Facet>(f, f + n));
    std::free(f);
    Points p = Probe(v9, 150, false);
    cases.push_back({"eros", std::move(v9), std::move(p)});
  }
  {
    std::vector<double> v9 = Corners(models::Asteroid(30));
    Points p = Probe(v9, 150, false);
    cases.push_back({"asteroid", std::move(v9), std::move(p)});
  }
  double worst = 0;
  for (const Case& c : cases) {
    std::vector<long double> want(6 * c.p.size());
    for (size_t i = 0; i < c.p.size(); ++i)
      reference::TensorAt(c.v9, c.p.x[i], c.p.y[i], c.p.z[i], &want[6 * i]);
    const double floor = RelativeError(ExactTensor(c.v9, c.p), want);
    for (double tolerance : {1e-4, 1e-8, 1e-11, 1e-13}) {
      const double err = RelativeError(TreeTensor(c.v9, c.p, tolerance, 2), want);
      EXPECT_LE(err, tolerance + 2 * floor) << c.name << " at " << tolerance;
      std::printf("%-26s %-6g error / tolerance %.3g (closed form's error %.2g)\n", c.name,
                  tolerance, err / tolerance, floor);
      worst = std::max(worst, (err - 2 * floor) / tolerance);
    }
  }
  std::printf("worst error over tolerance, above the closed form's floor: %.3g\n", worst);
}

// The same bits for every thread count, and for every choice of the
// batches evaluated; without a tolerance, the closed form's bits.
TEST(TreeGradient, SameBitsForEveryThreadCountAndEveryShare) {
  const std::vector<double> v9 = Corners(models::Asteroid(25));
  const Points p = Probe(v9, 300, false);
  const size_t n = p.size();
  const std::vector<double> first = TreeTensor(v9, p, 1e-9, 1);
  for (unsigned m : {2u, 3u, 7u})
    EXPECT_EQ(0, std::memcmp(first.data(), TreeTensor(v9, p, 1e-9, m).data(), 48 * n)) << m;
  std::vector<uint8_t> wanted;
  const std::vector<double> some = TreeTensor(v9, p, 1e-9, 2, &wanted);
  EXPECT_GT(std::count(wanted.begin(), wanted.end(), 1), 0);
  EXPECT_LT(std::count(wanted.begin(), wanted.end(), 1), std::ptrdiff_t(n / 2));
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 6 * i; k < 6 * i + 6; ++k)
      if (wanted[i])
        EXPECT_EQ(some[k], first[k]) << i;
      else
        EXPECT_EQ(some[k], -1.0) << i << ": not asked for, written";
  // The chooser: without a tolerance the closed form's bits; with one, the
  // tree's for a call it gives the tree (these 940 points of a model of
  // 7,500 facets at 1e-4, by the cost estimate).
  Chooser engine(TableGuard::kRelative, 2);
  engine.Load(Facets(uint32_t(v9.size() / 9), v9.data()));
  std::vector<double> exact(6 * n), chosen(6 * n);
  EvaluateOptions options;
  options.tolerance = 0;
  EXPECT_TRUE(engine.Gradient(n, p.x.data(), p.y.data(), p.z.data(), exact.data(), options));
  EXPECT_EQ(0, std::memcmp(exact.data(), ExactTensor(v9, p).data(), 48 * n));
  options.tolerance = 1e-4;
  // The plan the call executes: the tree, and no far expansion for the tensor
  // even where the field's plan of the same points has far points.
  EXPECT_FALSE(
      engine.Choose(n, p.x.data(), p.y.data(), p.z.data(), 0, Chooser::Quantity::kTensor).tree);
  const Chooser::Plan plan =
      engine.Choose(n, p.x.data(), p.y.data(), p.z.data(), 1e-4, Chooser::Quantity::kTensor);
  EXPECT_TRUE(plan.tree);
  EXPECT_TRUE(plan.far.empty());
  EXPECT_FALSE(engine.Choose(n, p.x.data(), p.y.data(), p.z.data(), 1e-4).far.empty());
  EXPECT_TRUE(engine.Gradient(n, p.x.data(), p.y.data(), p.z.data(), chosen.data(), options));
  EXPECT_EQ(0, std::memcmp(chosen.data(), TreeTensor(v9, p, 1e-4, 1).data(), 48 * n));
  EXPECT_NE(0, std::memcmp(chosen.data(), exact.data(), 48 * n));
}

}  // namespace
