// plumbline and geopot in their three builds: the unit cube's values worked
// out by hand, the colour entries they give, the forms, checks and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "common/read.h"
#include "tests/support/prism.h"
#include "tests/support/run.h"

namespace {

const char* kPlumb[] = {"plumbline", "plumbline_s", "plumbline_m"};
const char* kGeo[] = {"geopot", "geopot_s", "geopot_m"};

// A colour map whose entry i is the colour word 0x8000 | i, so that a facet's
// attribute tells its index.
std::string IdentityMap() {
  static std::string path;
  if (!path.empty()) return path;
  path = TempDir() + "/identity.cm";
  FILE* f = std::fopen(path.c_str(), "w");
  for (int i = 0; i < 32768; ++i)
    std::fprintf(f, "%d %.17g %.17g %.17g\n", i, (i >> 10) * 255.0 / 31,
                 ((i >> 5) & 31) * 255.0 / 31, (i & 31) * 255.0 / 31);
  std::fclose(f);
  return path;
}

// The colour-table index of every facet of a written model.
std::vector<int> Entries(const std::string& stl) {
  InstallErrorHook();
  uint32_t n;
  AttributedFacet* f;
  ReadFacet(stl.c_str(), &n, &f);
  std::vector<int> e;
  for (uint32_t i = 0; i < n; ++i)
    e.push_back(f[i].attribute & 0x8000 ? f[i].attribute & 0x7FFF : -1);
  std::free(f);
  return e;
}

TEST(Plumbline, UnitCubeDeviationIsTheSameOnEveryFacet) {
  for (const char* b : kPlumb)
    for (const char* m : {"cube.stl", "cube_inward.stl", "cube_binary.stl"}) {
      const RunResult r = ::Run(b, {DataPath(m)});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, "14.397458\t14.397458\n") << b << " " << m;
    }
}

TEST(Plumbline, Form3GivesEntry5242ForRange0To90) {
  for (const char* b : kPlumb) {
    const std::string out = TempDir() + "/o.stl";
    const RunResult r = ::Run(b, {DataPath("cube.stl"), "0", "90", IdentityMap(), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Entries(out), std::vector<int>(12, 5242)) << b;
  }
}

// The box [0,1] x [0,2] x [0,3] as twelve outward facets.
std::vector<std::array<double, 9>> Box() {
  const double hi[3] = {1, 2, 3};
  std::vector<std::array<double, 9>> facets;
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int u = (axis + 1) % 3, w = (axis + 2) % 3;
      auto corner = [&](int a, int b) {
        std::array<double, 3> c{};
        c[axis] = side ? hi[axis] : 0;
        c[u] = a ? hi[u] : 0;
        c[w] = b ? hi[w] : 0;
        return c;
      };
      // (u, w, axis) is right-handed: counter-clockwise in (u, w) faces +axis.
      std::array<std::array<double, 3>, 4> q = {corner(0, 0), corner(1, 0), corner(1, 1),
                                                corner(0, 1)};
      if (!side) std::swap(q[1], q[3]);
      for (const auto& t : {std::array<int, 3>{0, 1, 2}, std::array<int, 3>{0, 2, 3}}) {
        std::array<double, 9> f;
        for (int k = 0; k < 3; ++k)
          for (int c = 0; c < 3; ++c) f[3 * k + c] = q[t[k]][c];
        facets.push_back(f);
      }
    }
  return facets;
}

// Form 2 spreads the model's own range over the table: on a box whose
// facets lean differently against the vertical, each facet gets the entry
// its deviation gives, the deviations worked out from the prism's closed
// form (tests/support/prism.h), not from the polyhedral formula.
TEST(Plumbline, Form2SpreadsTheModelsOwnRange) {
  const auto box = Box();
  std::string stl = "solid box\n";
  std::vector<double> deviation;
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 2, 3};
  for (const auto& f : box) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "facet normal 0 0 0\nouter loop\nvertex %g %g %g\nvertex %g %g %g\n"
                  "vertex %g %g %g\nendloop\nendfacet\n",
                  f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]);
    stl += line;
    const double p[3] = {(f[0] + f[3] + f[6]) / 3, (f[1] + f[4] + f[7]) / 3,
                         (f[2] + f[5] + f[8]) / 3};
    const PrismField g = Prism(lo, hi, p);
    const double ux = f[3] - f[0], uy = f[4] - f[1], uz = f[5] - f[2];
    const double wx = f[6] - f[0], wy = f[7] - f[1], wz = f[8] - f[2];
    const double n[3] = {uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx};
    const double t = g.gx * n[0] + g.gy * n[1] + g.gz * n[2];
    const double cx = g.gy * n[2] - g.gz * n[1], cy = g.gz * n[0] - g.gx * n[2],
                 cz = g.gx * n[1] - g.gy * n[0];
    deviation.push_back(std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), -t));
  }
  stl += "endsolid box\n";
  const std::string model = TempDir() + "/box.stl";
  WriteFile(model, stl);
  const double lo_v = *std::min_element(deviation.begin(), deviation.end());
  const double hi_v = *std::max_element(deviation.begin(), deviation.end());
  ASSERT_GT(hi_v - lo_v, 0.01);  // the facets differ: a real spread (0.03 rad)
  for (const char* b : kPlumb) {
    const std::string out = TempDir() + "/o.stl";
    ASSERT_EQ(::Run(b, {model, IdentityMap(), out}).status, 0) << b;
    const auto e = Entries(out);
    ASSERT_EQ(e.size(), box.size());
    for (size_t i = 0; i < e.size(); ++i) {
      const double q = (deviation[i] - lo_v) / ((hi_v - lo_v) / 32767) + 0.5;
      // The two evaluations differ in the last digits: an entry may move by
      // one where q lies at an integer.
      EXPECT_NEAR(e[i], std::min(32767.0, std::floor(q)), 1.0) << b << " facet " << i;
    }
    EXPECT_EQ(*std::min_element(e.begin(), e.end()), 0) << b;
    EXPECT_EQ(*std::max_element(e.begin(), e.end()), 32767) << b;
  }
}

TEST(Plumbline, RangeChecksAndOrder) {
  const std::string msg = "bad range of deviation of the vertical in degree.\n";
  const std::string out = TempDir() + "/o.stl";
  for (const char* b : kPlumb) {
    for (const auto& range : {std::pair{"-1", "90"}, {"0", "181"}, {"30", "20"}, {"nan", "90"}}) {
      const RunResult r =
          ::Run(b, {DataPath("cube.stl"), range.first, range.second, IdentityMap(), out});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, msg) << range.first << " " << range.second;
    }
    for (const auto& range : {std::pair{"0", "180"}, {"45", "45"}})
      EXPECT_EQ(
          ::Run(b, {DataPath("cube.stl"), range.first, range.second, IdentityMap(), out}).status,
          0);
    // The model is read before the colour map, the map before the range.
    EXPECT_EQ(::Run(b, {"/nonexistent.stl", "-1", "0", "/nonexistent.cm", out}).err,
              "STL file not found.\n");
    EXPECT_EQ(::Run(b, {DataPath("cube.stl"), "-1", "0", "/nonexistent.cm", out}).err,
              "CM_STL file not found.\n");
  }
}

TEST(Plumbline, ZeroAreaFacetFirstDoesNotSpoilTheRange) {
  std::string model = ReadFile(DataPath("cube.stl"));
  model.insert(
      model.find("facet"),
      "facet normal 0 0 1 outer loop vertex 0 0 0 vertex 1 1 1 vertex 2 2 2 endloop endfacet\n");
  const std::string path = TempDir() + "/degenerate.stl";
  WriteFile(path, model);
  for (const char* b : kPlumb) EXPECT_EQ(::Run(b, {path}).out, "14.397458\t14.397458\n") << b;
  const std::string out = TempDir() + "/o.stl";
  ASSERT_EQ(::Run("plumbline_m", {path, "0", "90", IdentityMap(), out}).status, 0);
  const auto e = Entries(out);
  EXPECT_EQ(e[0], 0);  // no normal, no deviation: entry 0
}

TEST(Geopot, UnitCubeNormalisedPotential) {
  for (const char* b : kGeo) {
    EXPECT_EQ(::Run(b, {DataPath("cube.stl")}).out, "2.380077e+00\t0.721665\t0.721665\n") << b;
    EXPECT_EQ(::Run(b, {DataPath("cube_inward.stl")}).out, "-2.380077e+00\t0.721665\t0.721665\n");
    const std::string out = TempDir() + "/o.stl";
    ASSERT_EQ(::Run(b, {DataPath("cube.stl"), "0.5", "1", IdentityMap(), out}).status, 0);
    EXPECT_EQ(Entries(out), std::vector<int>(12, 14527)) << b;
  }
}

TEST(Geopot, RangeChecks) {
  const std::string out = TempDir() + "/o.stl";
  for (const char* b : kGeo) {
    for (const auto& range : {std::pair{"1", "1"}, {"2", "1"}, {"nan", "1"}}) {
      const RunResult r =
          ::Run(b, {DataPath("cube.stl"), range.first, range.second, IdentityMap(), out});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "bad range of normalized potential.\n");
    }
    EXPECT_EQ(::Run(b, {DataPath("cube.stl"), "-5", "5", IdentityMap(), out}).status, 0);
  }
}

TEST(Colouring, UsageTexts) {
  for (const char* b : kPlumb) {
    for (const auto& args : {std::vector<std::string>{}, {"a", "b"}, {"a", "b", "c", "d"}}) {
      const RunResult r = ::Run(b, args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err,
                "usage : plumbline STL\n        plumbline STL CM_STL STL\n        plumbline STL "
                "min. max. "
                "CM_STL STL\n");
    }
  }
  for (const char* b : kGeo)
    EXPECT_EQ(::Run(b, {}).err,
              "usage : geopot STL\n        geopot STL CM_STL STL\n        geopot STL min. max. "
              "CM_STL STL\n");
}

TEST(Colouring, WriteFailuresAndThreads) {
  for (const char* b : {"plumbline_m", "geopot"}) {
    const RunResult r = ::Run(b, {DataPath("cube.stl"), IdentityMap(), "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "facet data write error.\n");
    EXPECT_EQ(::Run(b, {DataPath("cube.stl"), IdentityMap(), "/nonexistent/dir/o.stl"}).err,
              "STL file not stored.\n");
  }
  for (const char* b : {"plumbline", "geopot"}) {
    const std::string ref = TempDir() + "/ref.stl";
    ASSERT_EQ(
        ::Run(std::string(b) + "_s", {DataPath("cube_binary.stl"), IdentityMap(), ref}).status, 0);
    for (const char* t : {"1", "2", "3", "7", "1000"}) {
      const std::string out = TempDir() + "/o.stl";
      ASSERT_EQ(::Run(std::string(b) + "_m", {DataPath("cube_binary.stl"), IdentityMap(), out}, "",
                      {std::string("THREADS=") + t})
                    .status,
                0);
      EXPECT_EQ(ReadFile(out), ReadFile(ref)) << b << " THREADS=" << t;
    }
  }
}

}  // namespace
