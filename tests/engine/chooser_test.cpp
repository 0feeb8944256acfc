// The chooser: far points by the model's expansion to the last bits (or to
// the tolerance), the choice of the tree made from the call alone, and the
// same bits for a call whatever came before it or runs beside it.
#include "engine/chooser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/tree/tree.h"
#include "tests/support/asteroid.h"
#include "tests/support/reference_field.h"
#include "tests/support/run.h"
#include "tests/support/torus.h"

namespace {

struct Points {
  std::vector<double> x, y, z;
  void Add(double a, double b, double c) { x.push_back(a), y.push_back(b), z.push_back(c); }
  size_t size() const { return x.size(); }
};

std::vector<double> Corners(const std::vector<Facet>& model) {
  std::vector<double> v;
  for (const Facet& f : model) v.insert(v.end(), f.v, f.v + 9);
  return v;
}

// The field of `engine` at p: four arrays of n.
std::vector<double> FieldAt(const Chooser& engine, const Points& p, double tolerance = -1) {
  const size_t n = p.size();
  std::vector<double> r(4 * n);
  EvaluateOptions options;
  options.tolerance = tolerance;
  engine.Evaluate(n, p.x.data(), p.y.data(), p.z.data(),
                  {r.data(), r.data() + n, r.data() + 2 * n, r.data() + 3 * n}, options);
  return r;
}

// Points on a sphere of radius r about the origin (a spiral).
Points Sphere(double r, int n) {
  Points p;
  for (int k = 0; k < n; ++k) {
    const double z = 1 - 2 * (k + 0.5) / n, s = std::sqrt(1 - z * z), phi = 2.399963 * k;
    p.Add(r * s * std::cos(phi), r * s * std::sin(phi), r * z);
  }
  return p;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A cube's field beyond 1e4 of its sizes is the point mass's to 1e-16 (a
// cube has no quadrupole: the first term beyond the mass falls as r^-5);
// the closed form loses it as the square of the distance (1e-4 at 1e6
// sizes, every digit at 1e8), the expansion keeps it to the last bits:
// with the front end's far expansion, and under a tolerance (the eighteen
// programs' TOLERANCE), at any distance.
TEST(Chooser, FarPointsAreExactToTheLastBits) {
  const std::vector<double> cube = reference::TessellatedBox(1, 1, 1, 4);
  for (int mode = 0; mode < 2; ++mode) {
    Chooser engine(TableGuard::kRelative);
    if (mode == 0) engine.SetFarExpansion(true);
    if (mode == 1) engine.SetTolerance(1e-13);
    engine.Load(Facets(uint32_t(cube.size() / 9), cube.data()));
    for (double r : {1e4, 1e6, 1e8, 1e10, 1e12, 1e15}) {
      const Points p = Sphere(r, 8);
      const std::vector<double> f = FieldAt(engine, p);
      for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_NEAR(f[i] * r, 1, 1e-15) << "mode " << mode << " at " << r;
        for (int q = 0; q < 3; ++q) {
          const double want = -(q == 0 ? p.x[i] : q == 1 ? p.y[i] : p.z[i]) / (r * r * r);
          EXPECT_NEAR(f[(q + 1) * p.size() + i], want, 1e-15 / (r * r)) << mode << " " << r;
        }
      }
    }
  }
  // The table alone, for contrast: the test shows the expansion is in use.
  TableEngine table(TableGuard::kRelative);
  table.Load(Facets(uint32_t(cube.size() / 9), cube.data()));
  const Points p = Sphere(1e8, 1);
  double U;
  table.Evaluate(1, p.x.data(), p.y.data(), p.z.data(), {&U, nullptr, nullptr, nullptr});
  EXPECT_GT(std::fabs(U * 1e8 - 1), 1e-9);
}

// Between 4.5 and 100 radii of an asteroid, against the long-double closed
// form: the front end's default within 1e-14 of the largest value, where the
// table alone errs by more than 1e-13 at 100 radii.
TEST(Chooser, ModerateDistancesAgainstALongDoubleReference) {
  const std::vector<double> v9 = Corners(models::Asteroid(16));
  Chooser engine(TableGuard::kRelative);
  engine.SetFarExpansion(true);
  engine.Load(Facets(uint32_t(v9.size() / 9), v9.data()));
  TableEngine table(TableGuard::kRelative);
  table.Load(Facets(uint32_t(v9.size() / 9), v9.data()));
  double table_worst = 0;
  for (double d : {4.5, 8.0, 20.0, 100.0}) {
    const Points p = Sphere(d * 10.0, 6);  // the asteroid's ball is about 10 across
    const std::vector<double> f = FieldAt(engine, p);
    const size_t n = p.size();
    for (size_t i = 0; i < n; ++i) {
      const reference::Field want = reference::At(v9, p.x[i], p.y[i], p.z[i]);
      double g[3], U;
      table.Evaluate(1, &p.x[i], &p.y[i], &p.z[i], {&U, &g[0], &g[1], &g[2]});
      EXPECT_NEAR(f[i], double(want.U), 1e-14 * double(want.U)) << d;
      const double gm = double(want.Magnitude());
      for (int q = 0; q < 3; ++q) {
        EXPECT_NEAR(f[(q + 1) * n + i], double(want.g[q]), 1e-14 * gm) << d;
        table_worst = std::max(table_worst, std::fabs(g[q] - double(want.g[q])) / gm);
      }
    }
  }
  EXPECT_GT(table_worst, 1e-13);
}

// A call big enough goes to the tree, and then gives the tree engine's bits
// for the same points and tolerance; a small one the closed form over the
// tree's leaves. (The tests fail if the tree is never chosen.)
TEST(Chooser, TheTreeIsChosenFromTheCallAndUsed) {
  const std::vector<double> v9 = Corners(models::Asteroid(28));
  const uint32_t facets = uint32_t(v9.size() / 9);
  Points surface;
  for (uint32_t f = 0; f < facets; ++f) {
    const double* v = &v9[9 * size_t(f)];
    surface.Add((v[0] + v[3] + v[6]) / 3, (v[1] + v[4] + v[7]) / 3, (v[2] + v[5] + v[8]) / 3);
  }
  Chooser engine(TableGuard::kRelative);
  engine.SetTolerance(1e-8);
  engine.Load(Facets(facets, v9.data()));
  const Chooser::Plan big =
      engine.Choose(surface.size(), surface.x.data(), surface.y.data(), surface.z.data(), 1e-8);
  EXPECT_TRUE(big.tree);
  EXPECT_TRUE(big.far.empty());
  tree::Tree tree;
  tree::Settings settings;
  settings.tolerance = 1e-8;
  tree.Build(Facets(facets, v9.data()), settings, kernel::For(kernel::Best()), nullptr);
  std::vector<double> want(4 * surface.size());
  const size_t n = surface.size();
  tree.Evaluate(1e-8, n, surface.x.data(), surface.y.data(), surface.z.data(),
                {want.data(), want.data() + n, want.data() + 2 * n, want.data() + 3 * n},
                TableGuard::kRelative, nullptr);
  EXPECT_TRUE(SameBits(FieldAt(engine, surface), want));

  Points few;
  for (size_t i = 0; i < 5; ++i) few.Add(surface.x[i], surface.y[i], surface.z[i]);
  EXPECT_FALSE(engine.Choose(5, few.x.data(), few.y.data(), few.z.data(), 1e-8).tree);
  std::vector<double> exact(20);
  ThreadTeam team;
  EvaluateTable(kernel::For(kernel::Best()), TableGuard::kRelative, tree.table(), team, 5,
                few.x.data(), few.y.data(), few.z.data(),
                {exact.data(), exact.data() + 5, exact.data() + 10, exact.data() + 15}, {});
  EXPECT_TRUE(SameBits(FieldAt(engine, few), exact));
}

// The same call gives the same bits whatever the engine did before: other
// calls of other sizes and tolerances in between, or a fresh engine.
TEST(Chooser, TheSameCallGivesTheSameBitsWhateverCameBefore) {
  const std::vector<double> v9 = Corners(models::Torus(48, 48));
  const uint32_t facets = uint32_t(v9.size() / 9);
  const Points call = Sphere(3.5, 3000), one = Sphere(2.0, 1), far = Sphere(400, 50);
  for (double tolerance : {1e-10, 1e-6}) {
    Chooser fresh(TableGuard::kRelative);
    fresh.Load(Facets(facets, v9.data()));
    const std::vector<double> first = FieldAt(fresh, call, tolerance);
    Chooser used(TableGuard::kRelative);
    used.Load(Facets(facets, v9.data()));
    for (int round = 0; round < 2; ++round) {
      FieldAt(used, one, tolerance);
      FieldAt(used, far, 1e-13);
      FieldAt(used, call, 0);
      EXPECT_TRUE(SameBits(FieldAt(used, call, tolerance), first)) << tolerance << " " << round;
    }
  }
}

// Several callers on one engine at once, each with its own tolerance and
// thread count: each gets what a lone caller gets.
TEST(Chooser, SeveralCallersAtOnce) {
  const std::vector<double> v9 = Corners(models::Asteroid(30));
  const uint32_t facets = uint32_t(v9.size() / 9);
  const Points p = Sphere(12, 2500);
  const double tolerances[4] = {0, 1e-6, 1e-11, 0};
  std::vector<double> want[4];
  for (int k = 0; k < 4; ++k) {
    Chooser lone(TableGuard::kRelative);
    lone.SetFarExpansion(true);
    lone.Load(Facets(facets, v9.data()));
    want[k] = FieldAt(lone, p, tolerances[k]);
  }
  Chooser shared(TableGuard::kRelative, 2);
  shared.SetFarExpansion(true);
  shared.Load(Facets(facets, v9.data()));
  std::vector<double> got[4];
  std::vector<std::thread> callers;
  for (int k = 0; k < 4; ++k)
    callers.emplace_back([&, k] { got[k] = FieldAt(shared, p, tolerances[k]); });
  for (std::thread& t : callers) t.join();
  for (int k = 0; k < 4; ++k) EXPECT_TRUE(SameBits(got[k], want[k])) << k;
}

// TOLERANCE is read before the model; a value that is not a number in
// (0, 1) is refused, and so is one below the floor of what the closed
// form's own rounding allows.
TEST(Chooser, ToleranceIsCheckedAndKeepsResults) {
  for (const char* bad : {"0", "1", "-1e-3", "abc", "1e-3x", ""}) {
    const RunResult r =
        ::Run("surfgrav_m", {"no-such-model.stl"}, "", {std::string("TOLERANCE=") + bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "TOLERANCE: not a positive number below 1.\n") << bad;
  }
  const RunResult low = ::Run("surfgrav_m", {"no-such-model.stl"}, "", {"TOLERANCE=1e-16"});
  EXPECT_EQ(low.status, 1);
  EXPECT_EQ(low.err,
            "TOLERANCE: below 1e-15, where the closed form's own rounding decides the error.\n");
  // The unit cube at far points: its potential is 1/r to the printed
  // digits (the exact sum alone printed 1.3e-5 off at 1e6, 0.13 at 1e8).
  const RunResult far = ::Run("fieldpts_m", {DataPath("cube.stl"), "-"},
                              "1e6 0 0\n0 1e8 0\n0 0 1e10\n", {"TOLERANCE=1e-13"});
  ASSERT_EQ(far.status, 0) << far.err;
  const auto lines = Lines(far.out);
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    const auto v = Numbers(lines[i]);
    const double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    EXPECT_NEAR(v[3] * r, 1, 1e-5) << lines[i];  // six printed digits
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

// A call of points near a model (v9's), on it (a centroid of every third
// facet) and far from it.
Points NearOnAndFar(const std::vector<double>& v9) {
  Points call = Sphere(1.1, 2000);
  for (size_t f = 0; f < v9.size() / 9; f += 3) {
    const double* v = &v9[9 * f];
    call.Add((v[0] + v[3] + v[6]) / 3, (v[1] + v[4] + v[7]) / 3, (v[2] + v[5] + v[8]) / 3);
  }
  const Points far = Sphere(40, 300);
  for (size_t i = 0; i < far.size(); ++i) call.Add(far.x[i], far.y[i], far.z[i]);
  return call;
}

}  // namespace

// A plan's units cover every point of the call once; any list of them
// executed writes their points alone; and lists that divide the units
// give together the bits of the whole call, by the tree (its batches
// formed from all the points), by the closed form and by the far
// expansion alike.
TEST(Chooser, UnitsOfAPlanPutTogetherAreTheWholeCall) {
  const std::vector<double> v9 = Corners(models::Asteroid(28));
  const uint32_t facets = uint32_t(v9.size() / 9);
  Points call = NearOnAndFar(v9);
  const size_t n = call.size();
  for (const bool expansion : {false, true})
    for (const double tolerance : {0.0, 1e-8}) {
      if (tolerance > 0 && !expansion) continue;
      Chooser engine(TableGuard::kRelative, 2);
      engine.SetFarExpansion(expansion);
      engine.Load(Facets(facets, v9.data()));
      const Chooser::Plan plan =
          engine.Choose(n, call.x.data(), call.y.data(), call.z.data(), tolerance);
      EXPECT_EQ(plan.tree, tolerance > 0);
      EXPECT_EQ(!plan.far.empty(), expansion);
      // Every point in one unit, and no unit empty.
      std::vector<int> units_of(n, 0);
      for (size_t u = 0; u < plan.Units(); ++u) {
        const std::vector<size_t> points = plan.Points(u);
        EXPECT_FALSE(points.empty()) << u;
        if (!plan.tree || u >= plan.NearUnits()) {
          EXPECT_LE(points.size(), Chooser::kUnitBlock);
        }
        for (size_t i : points) ++units_of[i];
      }
      EXPECT_EQ(std::count(units_of.begin(), units_of.end(), 1), std::ptrdiff_t(n));
      const std::vector<double> whole = FieldAt(engine, call, tolerance);
      // Evaluate executes the plan Choose returns.
      std::vector<double> executed(4 * n);
      engine.Execute(
          plan, call.x.data(), call.y.data(), call.z.data(),
          {executed.data(), executed.data() + n, executed.data() + 2 * n, executed.data() + 3 * n});
      EXPECT_TRUE(SameBits(executed, whole));
      for (const unsigned parts : {1u, 3u, 7u}) {
        std::vector<double> joined(4 * n, NAN);
        for (unsigned part = 0; part < parts; ++part) {
          std::vector<size_t> units;
          std::vector<uint8_t> mine(n, 0);
          for (size_t u = part; u < plan.Units(); u += parts) {
            units.push_back(u);
            for (size_t i : plan.Points(u)) mine[i] = 1;
          }
          std::vector<double> r(4 * n, NAN);
          EvaluateOptions options;
          options.tolerance = tolerance;
          engine.Execute(plan, call.x.data(), call.y.data(), call.z.data(),
                         {r.data(), r.data() + n, r.data() + 2 * n, r.data() + 3 * n}, options,
                         &units);
          for (size_t i = 0; i < n; ++i)
            for (size_t q = 0; q < 4; ++q) {
              if (mine[i]) joined[q * n + i] = r[q * n + i];
              if (!mine[i]) {
                EXPECT_TRUE(std::isnan(r[q * n + i]));
              }
            }
        }
        EXPECT_TRUE(SameBits(joined, whole)) << expansion << " " << tolerance << " " << parts;
      }
    }
}

// A plan packed into words and unpacked over the same points (as another
// process takes it) is the same plan: the same words again, the same near
// points and batches, and executed, whole or a share of its units, the
// bits of the plan it was packed from; for the field with and without a
// tolerance and the tensor under one, at near points, points on the model
// and far ones.
TEST(Chooser, APlanPackedAndUnpackedExecutesToTheSameBits) {
  const std::vector<double> v9 = Corners(models::Asteroid(28));
  const uint32_t facets = uint32_t(v9.size() / 9);
  Points call = NearOnAndFar(v9);
  const size_t n = call.size();
  const double *x = call.x.data(), *y = call.y.data(), *z = call.z.data();
  Chooser engine(TableGuard::kRelative, 2);
  engine.SetFarExpansion(true);
  engine.Load(Facets(facets, v9.data()));
  for (const double tolerance : {0.0, 1e-8})
    for (const auto quantity : {Chooser::Quantity::kField, Chooser::Quantity::kTensor}) {
      const bool tensor = quantity == Chooser::Quantity::kTensor;
      // The exact tensor's plan is blocks of points alone, as the field's.
      if (tensor && tolerance == 0) continue;
      const std::string what = std::to_string(tolerance) + (tensor ? " tensor" : " field");
      const Chooser::Plan plan = engine.Choose(n, x, y, z, tolerance, quantity);
      EXPECT_EQ(plan.tree, tolerance > 0) << what;
      EXPECT_EQ(plan.far.empty(), tensor) << what;
      const std::vector<uint64_t> words = plan.Pack();
      const Chooser::Plan taken = Chooser::Plan::Unpack(words.data(), words.size(), x, y, z);
      EXPECT_EQ(taken.Pack(), words) << what;
      EXPECT_EQ(taken.near, plan.near) << what;
      EXPECT_EQ(taken.far_order, plan.far_order) << what;
      ASSERT_EQ(taken.Units(), plan.Units()) << what;
      ASSERT_EQ(!taken.work, !plan.work) << what;
      if (plan.work) {
        const tree::Tree::Targets &a = *plan.work, &b = *taken.work;
        EXPECT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z) << what;
        EXPECT_TRUE(std::memcmp(&a.maxU, &b.maxU, sizeof a.maxU) == 0 &&
                    std::memcmp(&a.maxg, &b.maxg, sizeof a.maxg) == 0 &&
                    std::memcmp(&a.maxT, &b.maxT, sizeof a.maxT) == 0)
            << what;
      }
      EvaluateOptions options;
      options.tolerance = tolerance;
      const size_t values = tensor ? 6 : 4;
      const auto run = [&](const Chooser::Plan& p, const std::vector<size_t>* units) {
        std::vector<double> r(values * n, NAN);
        if (tensor)
          engine.ExecuteTensor(p, x, y, z, r.data(), options, units);
        else
          engine.Execute(p, x, y, z, {r.data(), r.data() + n, r.data() + 2 * n, r.data() + 3 * n},
                         options, units);
        return r;
      };
      EXPECT_TRUE(SameBits(run(taken, nullptr), run(plan, nullptr))) << what;
      std::vector<size_t> share;  // one rank's of three
      for (size_t u = 1; u < plan.Units(); u += 3) share.push_back(u);
      const std::vector<double> mine = run(taken, &share), want = run(plan, &share);
      // NaN where neither wrote: the same bits all the same.
      EXPECT_TRUE(SameBits(mine, want)) << what;
    }
}

// Words that no plan made end the run with a message, not a plan.
TEST(Chooser, WordsThatNoPlanMadeAreRefused) {
  const std::vector<double> v9 = Corners(models::Asteroid(8));
  Chooser engine(TableGuard::kRelative);
  engine.SetFarExpansion(true);
  engine.Load(Facets(uint32_t(v9.size() / 9), v9.data()));
  Points call = Sphere(1.1, 3000);
  const Points far = Sphere(40, 30);
  for (size_t i = 0; i < far.size(); ++i) call.Add(far.x[i], far.y[i], far.z[i]);
  const std::vector<uint64_t> words =
      engine.Choose(call.size(), call.x.data(), call.y.data(), call.z.data(), 1e-8).Pack();
  InstallErrorHook();
  for (const size_t size : {size_t{3}, words.size() - 1}) {
    std::string message;
    try {
      Chooser::Plan::Unpack(words.data(), size, call.x.data(), call.y.data(), call.z.data());
    } catch (const ErrorCalled& e) {
      message = e.what();
    }
    EXPECT_EQ(message, "a plan's words that no plan made.") << size;
  }
}
