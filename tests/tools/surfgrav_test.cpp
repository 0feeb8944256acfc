// surfgrav in its three builds on the unit cube.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/run.h"

namespace {

const char* kBuilds[] = {"surfgrav", "surfgrav_s", "surfgrav_m"};

// The facet (0,0,0), (0,1,0), (1,1,0) on the face z = 0: the values worked
// out for it, and the other facets' values agree in U and in magnitudes.
TEST(Surfgrav, UnitCube) {
  for (const char* build : kBuilds) {
    const RunResult r = ::Run(build, {DataPath("cube.stl")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01");
    const auto c = Numbers(lines[1]);
    EXPECT_NEAR(c[0], 2.380077, 5e-7);
    for (int k = 1; k < 4; ++k) EXPECT_NEAR(c[k], 0, 1e-14);
    bool found = false;
    for (size_t i = 2; i < lines.size(); ++i) {
      const auto v = Numbers(lines[i]);
      ASSERT_EQ(v.size(), 13u);
      EXPECT_NEAR(v[9], 1.717618, 5e-7);
      double mags[3] = {std::fabs(v[10]), std::fabs(v[11]), std::fabs(v[12])};
      std::sort(mags, mags + 3);
      EXPECT_NEAR(mags[0], 0.4458031, 5e-8);
      EXPECT_NEAR(mags[1], 0.4458031, 5e-8);
      EXPECT_NEAR(mags[2], 2.455935, 5e-7);
      const std::vector<double> facet(v.begin(), v.begin() + 9);
      if (facet == std::vector<double>{0, 0, 0, 0, 1, 0, 1, 1, 0}) {
        found = true;
        EXPECT_NEAR(v[10], 0.4458031, 5e-8);
        EXPECT_NEAR(v[11], -0.4458031, 5e-8);
        EXPECT_NEAR(v[12], 2.455935, 5e-7);
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(Surfgrav, InwardCubeFlipsEverySign) {
  for (const char* build : kBuilds) {
    const auto out = Lines(::Run(build, {DataPath("cube.stl")}).out);
    const auto in = Lines(::Run(build, {DataPath("cube_inward.stl")}).out);
    ASSERT_EQ(in.size(), out.size());
    EXPECT_EQ(in[0], "-1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01");
    for (size_t i = 2; i < in.size(); ++i) {
      const auto a = Numbers(out[i]), b = Numbers(in[i]);
      for (int k = 9; k < 13; ++k) EXPECT_NEAR(b[k], -a[k], 1e-12);
    }
  }
}

TEST(Surfgrav, BuildsAgreeAndThreadsDoNotMatter) {
  const std::string model = DataPath("cube_binary.stl");
  const std::string tabled = ::Run("surfgrav_s", {model}).out;
  for (const char* t : {"1", "2", "3", "7", "1000"})
    EXPECT_EQ(::Run("surfgrav_m", {model}, "", {std::string("THREADS=") + t}).out, tabled);
  EXPECT_EQ(::Run("surfgrav_m", {model}, "", {"THREADS"}).out, tabled);
  const auto direct = Lines(::Run("surfgrav", {model}).out), table = Lines(tabled);
  ASSERT_EQ(direct.size(), table.size());
  for (size_t i = 0; i < direct.size(); ++i) {
    const auto a = Numbers(direct[i]), b = Numbers(table[i]);
    for (size_t k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], 1e-6 * std::fabs(a[k]) + 1e-12);
  }
}

TEST(Surfgrav, Messages) {
  for (const char* build : kBuilds) {
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
      const RunResult r = ::Run(build, args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "usage : surfgrav STL\n");
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(::Run("surfgrav_m", {DataPath("cube.stl")}, "", {"THREADS=0"}).err,
            "bad number of THREADS.\n");
}

}  // namespace
