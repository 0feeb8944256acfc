// The tree engine: its harmonics and moments against independent forms, its
// results against the exact table form, and its independence of threads.
#include "engine/tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "common/read.h"
#include "engine/si_direct.h"
#include "engine/table_engine.h"
#include "tests/support/asteroid.h"
#include "tests/support/gauss.h"
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

std::vector<Facet> Plate() {
  // A closed thin plate: a 4 x 3 x 0.01 box, each face split 10 x 10.
  std::vector<Facet> f;
  const double size[3] = {4, 3, 0.01};
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int ua = (axis + 1) % 3, va = (axis + 2) % 3, k = 10;
      auto corner = [&](int u, int v, float* out) {
        double q[3];
        q[axis] = side ? size[axis] : 0;
        q[ua] = size[ua] * (side ? u : v) / k;
        q[va] = size[va] * (side ? v : u) / k;
        for (int i = 0; i < 3; ++i) out[i] = float(q[i]);
      };
      for (int u = 0; u < k; ++u)
        for (int v = 0; v < k; ++v) {
          Facet a, b;
          float p[4][3];
          corner(u, v, p[0]), corner(u + 1, v, p[1]), corner(u + 1, v + 1, p[2]);
          corner(u, v + 1, p[3]);
          for (int i = 0; i < 3; ++i) {
            a.v[i] = p[0][i], a.v[3 + i] = p[1][i], a.v[6 + i] = p[2][i];
            b.v[i] = p[0][i], b.v[3 + i] = p[2][i], b.v[6 + i] = p[3][i];
          }
          f.push_back(a);
          f.push_back(b);
        }
    }
  return f;
}

struct Points {
  std::vector<double> x, y, z;
  void Add(double a, double b, double c) { x.push_back(a), y.push_back(b), z.push_back(c); }
  size_t size() const { return x.size(); }
};

// Vertices, edge midpoints, centroids of a sample of facets; points just
// inside and outside them along the normal; points at 3 and 30 sizes.
Points Probe(const std::vector<Facet>& model) {
  Points p;
  const size_t step = std::max<size_t>(1, model.size() / 150);
  double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
  for (const Facet& f : model)
    for (int k = 0; k < 9; ++k)
      lo[k % 3] = std::min(lo[k % 3], double(f.v[k])),
             hi[k % 3] = std::max(hi[k % 3], double(f.v[k]));
  const double size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  for (size_t i = 0; i < model.size(); i += step) {
    const float* v = model[i].v;
    p.Add(v[0], v[1], v[2]);
    p.Add(0.5 * (v[0] + double(v[3])), 0.5 * (v[1] + double(v[4])), 0.5 * (v[2] + double(v[5])));
    double c[3], n[3];
    for (int k = 0; k < 3; ++k) c[k] = (v[k] + double(v[3 + k]) + v[6 + k]) / 3;
    p.Add(c[0], c[1], c[2]);
    const double e1[3] = {v[3] - double(v[0]), v[4] - double(v[1]), v[5] - double(v[2])};
    const double e2[3] = {v[6] - double(v[0]), v[7] - double(v[1]), v[8] - double(v[2])};
    n[0] = e1[1] * e2[2] - e1[2] * e2[1], n[1] = e1[2] * e2[0] - e1[0] * e2[2];
    n[2] = e1[0] * e2[1] - e1[1] * e2[0];
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double h = 1e-3 * size / len;
    p.Add(c[0] - h * n[0], c[1] - h * n[1], c[2] - h * n[2]);
    p.Add(c[0] + h * n[0], c[1] + h * n[1], c[2] + h * n[2]);
  }
  for (double r : {3.0, 30.0})
    for (int k = 0; k < 20; ++k) {
      const double t = 0.7 * k, u = 1.3 * k + 0.4;
      p.Add(r * size * std::sin(t) * std::cos(u), r * size * std::sin(t) * std::sin(u),
            r * size * std::cos(t));
    }
  return p;
}

// The tree's results and the exact table form's at the points, four arrays
// of n each (U, gx, gy, gz).
void TreeAndExact(const tree::Tree& tree, const FacetView& view, const Points& p,
                  std::vector<double>* t, std::vector<double>* e) {
  const size_t n = p.size();
  double *a = t->data(), *b = e->data();
  tree.Evaluate(tree.settings().tolerance, n, p.x.data(), p.y.data(), p.z.data(),
                {a, a + n, a + 2 * n, a + 3 * n}, TableGuard::kRelative, nullptr);
  TableEngine exact(TableGuard::kRelative);
  exact.Load(view);
  exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(), {b, b + n, b + 2 * n, b + 3 * n});
}

// Max error of the tree relative to the largest |U| and |g| of the run.
void ExpectWithin(const std::vector<Facet>& model, const char* name) {
  const FacetView view = FacetView::Of(uint32_t(model.size()), model.data());
  const Points p = Probe(model);
  const size_t n = p.size();
  std::vector<double> t(4 * n), e(4 * n);
  TableEngine exact(TableGuard::kRelative);
  exact.Load(view);
  exact.Evaluate(n, p.x.data(), p.y.data(), p.z.data(),
                 {e.data(), e.data() + n, e.data() + 2 * n, e.data() + 3 * n});
  for (double tolerance : {1e-6, 1e-10, 1e-13}) {
    tree::Tree tree;
    tree::Settings s;
    s.tolerance = tolerance;
    tree.Build(view, s, Isa(), nullptr);
    tree.Evaluate(tree.settings().tolerance, n, p.x.data(), p.y.data(), p.z.data(),
                  {t.data(), t.data() + n, t.data() + 2 * n, t.data() + 3 * n},
                  TableGuard::kRelative, nullptr);
    double maxU = 0, maxg = 0, errU = 0, errg = 0;
    for (size_t i = 0; i < n; ++i) {
      maxU = std::max(maxU, std::fabs(e[i]));
      errU = std::max(errU, std::fabs(t[i] - e[i]));
      for (int q = 1; q < 4; ++q) {
        maxg = std::max(maxg, std::fabs(e[q * n + i]));
        errg = std::max(errg, std::fabs(t[q * n + i] - e[q * n + i]));
      }
    }
    // The exact sum's own rounding is a floor below which the difference says
    // nothing: a few 1e-15 on the bodies; on the thin plate, whose potential
    // (max 0.12) is small beside its facets' terms, the two differed by
    // 3.8e-13 of max |U| at 1e-13 with AVX2 and 5.7e-13 with the baseline
    // instruction set: the exact sum's rounding, which the set changes.
    const double floor = std::string(name) == "plate" ? 1e-12 : 0;
    EXPECT_LE(errU, std::max(tolerance, floor) * maxU) << name << " at " << tolerance;
    EXPECT_LE(errg, std::max(tolerance, floor) * maxg) << name << " at " << tolerance;
  }
}

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
      {"eros", eros},
      {"asteroid", models::Asteroid(30)},
      {"torus", models::Torus(120, 40)},
      {"plate", Plate()}};
  for (const auto& [name, model] : models) ExpectWithin(model, name);
}

// Far away the field is the point mass's to 1e-14 and beyond: the tree
// gives it to the tolerance at any distance (the exact sum loses every digit
// there).
TEST(TreeEngine, FarPointsAreThePointMass) {
  const std::vector<Facet> model = models::Asteroid(20);
  const FacetView view = FacetView::Of(uint32_t(model.size()), model.data());
  terms::VolumeSum volume;
  for (const Facet& f : model)
    volume.Add({f.v[0], f.v[1], f.v[2]}, {f.v[3], f.v[4], f.v[5]}, {f.v[6], f.v[7], f.v[8]});
  const terms::Vec c = volume.Centroid();
  tree::Tree tree;
  tree::Settings s;
  s.tolerance = 1e-13;
  tree.Build(view, s, Isa(), nullptr);
  for (double r : {1e8, 1e10, 1e12, 1e14}) {
    Points p;
    for (int k = 0; k < 10; ++k) p.Add(c.x + r * std::cos(k), c.y + r * std::sin(k), c.z + 0.3 * r);
    const size_t n = p.size();
    std::vector<double> t(4 * n);
    tree.Evaluate(tree.settings().tolerance, n, p.x.data(), p.y.data(), p.z.data(),
                  {t.data(), t.data() + n, t.data() + 2 * n, t.data() + 3 * n},
                  TableGuard::kRelative, nullptr);
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
  const std::vector<Facet> model = models::Asteroid(25);
  const FacetView view = FacetView::Of(uint32_t(model.size()), model.data());
  const Points p = Probe(model);
  const size_t n = p.size();
  std::vector<double> first;
  for (unsigned m : {1u, 2u, 3u, 7u}) {
    ThreadTeam team;
    team.SetCount(m);
    tree::Tree tree;
    tree::Settings s;
    s.tolerance = 1e-10;
    tree.Build(view, s, Isa(), &team);
    std::vector<double> t(4 * n);
    tree.Evaluate(tree.settings().tolerance, n, p.x.data(), p.y.data(), p.z.data(),
                  {t.data(), t.data() + n, t.data() + 2 * n, t.data() + 3 * n},
                  TableGuard::kRelative, &team);
    if (first.empty())
      first = t;
    else
      EXPECT_EQ(std::memcmp(first.data(), t.data(), t.size() * sizeof(double)), 0) << m;
  }
}

// With the expansions cut to order 1, the error of every attraction
// component must stay within the truncation bound of the accepted cells: at
// a point x outside a cell's ball (|y - c| <= rho |x - c|) the series of
// 1/|x - y| cut after order p errs by at most rho^(p+1)(1 + rho)/(1 - rho)
// of 1/|x - y| (Legendre's |P_n| <= 1), so with rho <= 1/2 by at most 3/4 of
// sum_f |n_f| S_f(x) (S_f the facet factor, positive). A cell accepted while
// holding the point's own facet, or a neighbour, would break it there, where
// S_f is largest.
TEST(TreeEngine, NoAcceptedCellHoldsAPointsFacet) {
  const std::vector<Facet> model = models::Torus(60, 24);
  const FacetView view = FacetView::Of(uint32_t(model.size()), model.data());
  const Points p = Probe(model);
  const size_t n = p.size();
  tree::Tree tree;
  tree::Settings s;
  s.tolerance = 1e-13;
  s.leaf = 8;
  s.min_cell = 8;
  s.batch = 4;
  tree.Build(view, s, Isa(), nullptr);
  tree.ForceOrder(1);
  std::vector<double> t(4 * n), e(4 * n);
  TreeAndExact(tree, view, p, &t, &e);
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
  // Order 1 truncates visibly: the far field was in use.
  EXPECT_GT(truncated, n / 2);
}

// TOLERANCE is read before the model; a value that is not a number in
// (0, 1) is refused.
TEST(TreeEngine, ToleranceIsCheckedAndKeepsResults) {
  for (const char* bad : {"0", "1", "-1e-3", "abc", "1e-3x", ""}) {
    const RunResult r =
        ::Run("surfgrav_m", {"no-such-model.stl"}, "", {std::string("TOLERANCE=") + bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "TOLERANCE: not a positive number below 1.\n") << bad;
  }
  // A torus of 8,192 facets, where the estimate chooses the tree for the
  // surface commands: the printed digits are those of the exact sum.
  // (Measured: the lines differ only in the noise at the centre, so the tree
  // was in use.)
  const std::vector<Facet> torus = models::Torus(64, 64);
  std::string stl(80, ' ');
  const uint32_t count = uint32_t(torus.size());
  stl.append(reinterpret_cast<const char*>(&count), 4);
  for (const Facet& f : torus) {
    const float normal[3] = {0, 0, 0};
    stl.append(reinterpret_cast<const char*>(normal), 12);
    stl.append(reinterpret_cast<const char*>(f.v), 36);
    stl.append(2, '\0');
  }
  const std::string model = TempDir() + "/torus.stl";
  WriteFile(model, stl);
  // polygrav_m at Eros's 7,374 vertices (14,744 faces): the tree; the
  // summary's field at the centroid stays the exact sum's.
  const std::string eros = DataPath("models/eros.vf.txt");
  const RunResult eros_exact = ::Run("polygrav_m", {eros});
  const RunResult eros_tree = ::Run("polygrav_m", {eros}, "", {"TOLERANCE=1e-12", "THREADS=2"});
  ASSERT_EQ(eros_tree.status, 0) << eros_tree.err;
  EXPECT_EQ(eros_tree.out, eros_exact.out);
  EXPECT_EQ(eros_tree.err, eros_exact.err);
  for (const char* build : {"surfgrav_m", "geopot_s"}) {
    const RunResult exact = ::Run(build, {model});
    const RunResult tree = ::Run(build, {model}, "", {"TOLERANCE=1e-12", "THREADS=2"});
    ASSERT_EQ(exact.status, 0) << exact.err;
    ASSERT_EQ(tree.status, 0) << tree.err;
    // Every line the same text, except where the printed value is rounding
    // noise of a zero (the attraction at the torus's centre, about 1e-15).
    const auto a = Lines(exact.out), b = Lines(tree.out);
    ASSERT_EQ(a.size(), b.size()) << build;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i] == b[i]) continue;
      const auto x = Numbers(a[i]), y = Numbers(b[i]);
      ASSERT_EQ(x.size(), y.size()) << build << " line " << i;
      for (size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(x[k], y[k], 1e-13) << build << " " << i;
    }
  }
}

}  // namespace
