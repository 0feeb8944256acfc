// plumbline and geopot in their three builds: the unit cube's values worked
// out by hand, the colour entries they give, the forms, checks and messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "common/read.h"
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

TEST(Plumbline, Form2SpreadsTheModelsOwnRange) {
  for (const char* b : kPlumb) {
    const std::string out = TempDir() + "/o.stl";
    ASSERT_EQ(::Run(b, {DataPath("cube.stl"), IdentityMap(), out}).status, 0);
    const auto e = Entries(out);
    // Values equal up to rounding: the smallest facet gets 0 and the largest
    // 32767, or every facet 0 when all twelve are exactly equal.
    const int lo = *std::min_element(e.begin(), e.end()),
              hi = *std::max_element(e.begin(), e.end());
    EXPECT_EQ(lo, 0);
    EXPECT_TRUE(hi == 32767 || hi == 0);
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
