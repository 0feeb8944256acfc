// fieldpts in its three builds, run as programs on the unit cube: the listed
// values to the printed digits, the point file rules, the messages.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/run.h"

namespace {

const char* kBuilds[] = {"fieldpts", "fieldpts_s", "fieldpts_m"};

const char* kPoints =
    "0.5 0.5 0.5\n"
    "0 0 0\n"
    "0.5 0 0\n"
    "0.5 0.5 1\n"
    "10.5 0.5 0.5\n";

TEST(Fieldpts, UnitCubeValuesInEveryBuildAndFileKind) {
  // Values worked out for the unit cube (7 digits); exact "%le" lines where
  // every digit is determined, the attraction zeros only to rounding.
  for (const char* build : kBuilds)
    for (const char* model : {"cube.stl", "cube_binary.stl", "cube_zero_normals.stl"}) {
      const RunResult r = ::Run(build, {DataPath(model), "-"}, kPoints);
      ASSERT_EQ(r.status, 0) << build << r.err;
      const auto lines = Lines(r.out);
      ASSERT_EQ(lines.size(), 6u);
      EXPECT_EQ(lines[0], "1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01");
      const double want[5][4] = {{2.380077, 0, 0, 0},
                                 {1.190039, 0.9693881, 0.9693881, 0.9693881},
                                 {1.427260, 0, 1.551694, 1.551694},
                                 {1.792810, 0, 0, -2.596897},
                                 {0.09999985, -0.009999927, 0, 0}};
      for (int i = 0; i < 5; ++i) {
        const auto v = Numbers(lines[1 + i]);
        ASSERT_EQ(v.size(), 7u);
        for (int k = 0; k < 4; ++k)
          EXPECT_NEAR(v[3 + k], want[i][k], 5e-7 * std::fabs(want[i][k]) + 1e-12)
              << build << " " << model << " point " << i;
      }
      EXPECT_TRUE(lines[1].rfind("5.000000e-01\t5.000000e-01\t5.000000e-01\t2.380077e+00\t", 0) ==
                  0);
    }
}

TEST(Fieldpts, InwardCubeFlipsSigns) {
  for (const char* build : kBuilds) {
    const auto lines = Lines(::Run(build, {DataPath("cube_inward.stl"), "-"}, "0.5 0.5 0.5\n").out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "-1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01");
    EXPECT_EQ(Numbers(lines[1])[3], -2.380077);
  }
}

TEST(Fieldpts, NearEdgeGuardsDifferBetweenBuilds) {
  const std::string p = "0.5 -1.4142135623730951e-05 -1.4142135623730951e-05\n";
  const char* want[] = {"1.551670e+00", "1.551364e+00", "1.551364e+00"};
  for (int b = 0; b < 3; ++b) {
    const auto lines = Lines(::Run(kBuilds[b], {DataPath("cube.stl"), "-"}, p).out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(std::string("\t") + want[b] + "\t" + want[b]), std::string::npos)
        << kBuilds[b] << ": " << lines[1];
  }
}

TEST(Fieldpts, CentroidModeHasThirteenColumns) {
  std::string reference;
  for (const char* build : kBuilds) {
    const RunResult r = ::Run(build, {DataPath("cube.stl")});
    ASSERT_EQ(r.status, 0);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 13u);
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto v = Numbers(lines[i]);
      ASSERT_EQ(v.size(), 13u);
      EXPECT_NEAR(v[9], 1.717618, 5e-7);  // every facet centroid of the cube
    }
    if (reference.empty()) {
      reference = r.out;
      continue;
    }
    // The three builds: the same volume line and vertices, the same field to
    // the printed digits' rounding.
    const auto want = Lines(reference);
    EXPECT_EQ(lines[0], want[0]) << build;
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto v = Numbers(lines[i]), w = Numbers(want[i]);
      for (size_t k = 0; k < 9; ++k) EXPECT_EQ(v[k], w[k]) << build << " line " << i;
      for (size_t k = 9; k < 13; ++k)
        EXPECT_NEAR(v[k], w[k], 1e-6 * std::fabs(w[k]) + 1e-12) << build << " line " << i;
    }
  }
}

TEST(Fieldpts, PointFileRules) {
  for (const char* build : kBuilds) {
    // A blank line ends the list; text after three numbers is ignored.
    auto lines =
        Lines(::Run(build, {DataPath("cube.stl"), "-"}, "0.5 0.5 0.5 extra\n\n0 0 0\n").out);
    EXPECT_EQ(lines.size(), 2u) << build;
    // No parsable line: the volume line alone.
    lines = Lines(::Run(build, {DataPath("cube.stl"), "-"}, "x y z\n").out);
    EXPECT_EQ(lines.size(), 1u);
    // Any argument beginning with "-" is standard input.
    lines = Lines(::Run(build, {DataPath("cube.stl"), "-whatever"}, "0.5 0.5 0.5").out);
    EXPECT_EQ(lines.size(), 2u);
    // A line over 1023 characters is taken in pieces: the first piece holds
    // the point, the rest (blanks) does not parse and ends the list.
    lines = Lines(::Run(build, {DataPath("cube.stl"), "-"},
                        "0.5 0.5 0.5" + std::string(2000, ' ') + "\n0 0 0\n")
                      .out);
    EXPECT_EQ(lines.size(), 2u);
    // A named file.
    const std::string path = TempDir() + "/points.txt";
    WriteFile(path, kPoints);
    lines = Lines(::Run(build, {DataPath("cube.stl"), path}).out);
    EXPECT_EQ(lines.size(), 6u);
  }
}

TEST(Fieldpts, Messages) {
  for (const char* build : kBuilds) {
    RunResult r = ::Run(build, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage : fieldpts STL {point}\n");
    EXPECT_EQ(r.out, "");
    r = ::Run(build, {"a", "b", "c"});
    EXPECT_EQ(r.err, "usage : fieldpts STL {point}\n");
    r = ::Run(build, {"/nonexistent.stl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "STL file not found.\n");
    // The volume line comes before the point file is opened.
    r = ::Run(build, {DataPath("cube.stl"), "/nonexistent/points"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "point file not found.\n");
    EXPECT_EQ(Lines(r.out).size(), 1u);
  }
  // A full disk is not success.
  for (const char* build : kBuilds) {
    const RunResult r = ::Run(build, {DataPath("cube.stl")}, "", {"STDOUT=/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "standard output write error.\n");
  }
  // THREADS is checked before the model is opened.
  for (const char* v : {"0", "-1", "", "abc"}) {
    const RunResult r =
        ::Run("fieldpts_m", {"/nonexistent.stl"}, "", {std::string("THREADS=") + v});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bad number of THREADS.\n") << v;
  }
}

// Every message of the reader, as the programs print it.
TEST(Fieldpts, ReaderMessages) {
  const std::string dir = TempDir();
  auto message = [&](const std::string& data, const std::vector<std::string>& env = {}) {
    WriteFile(dir + "/m.stl", data);
    const RunResult r = ::Run("fieldpts", {dir + "/m.stl", "-"}, "", env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    return r.err;
  };
  std::string header(80, '\0');
  EXPECT_EQ(message("solid x\nendsolid x\n"), "facet data read error.\n");
  EXPECT_EQ(message("solid x" + std::string(100, ' ') + "\nendsolid x\n"), "no facet.\n");
  EXPECT_EQ(message("solid x" + std::string(100, ' ') + "\nfacet normal 0 0 1 outer loop\n"),
            "ASCII facet data read error.\n");
  EXPECT_EQ(message(header + std::string("\x05\0\0\0", 4) + std::string(200, '\0')),
            "binary facet data read error.\n");
  // A million facets present, with too little address space for their array.
  std::string big = header + std::string("\x40\x42\x0f\0", 4);
  big.resize(84 + 50 * 1000000, '\0');
  if (!kSanitized) {
    EXPECT_EQ(message(big, {"RLIMIT_AS=25000000"}), "facet memory allocation error.\n");
  }
}

TEST(Fieldpts, ThreadedOutputIsTheSameForEveryThreadCount) {
  std::string many;
  for (int i = 0; i < 50; ++i)
    many += std::to_string(i * 0.1 - 2) + " 0.3 " + std::to_string(i * 0.05) + "\n";
  for (const auto& args : {std::vector<std::string>{DataPath("cube.stl"), "-"},
                           std::vector<std::string>{DataPath("cube.stl")}}) {
    const std::string ref = ::Run("fieldpts_m", args, many, {"THREADS"}).out;
    EXPECT_EQ(ref, ::Run("fieldpts_s", args, many).out);
    for (const char* t : {"1", "2", "3", "7", "1000", "2147483647"})
      EXPECT_EQ(::Run("fieldpts_m", args, many, {std::string("THREADS=") + t}).out, ref) << t;
  }
}

}  // namespace
