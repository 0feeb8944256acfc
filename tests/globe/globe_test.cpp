// The globe programs as run: the volume line, the field lines, the approach
// to the exact sphere, rotation, the command line and its messages, and the
// reading of points from standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/run.h"

namespace {

// Splits a line at its TABs.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    f.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return f;
    start = tab + 1;
  }
}

// "%lf" of a value that is 0 to rounding: "0.000000" or "-0.000000".
void ExpectZero(const std::string& field) {
  EXPECT_TRUE(field == "0.000000" || field == "-0.000000") << field;
}

// Runs a globe program; expects success and returns its lines as fields.
std::vector<std::vector<std::string>> Globe(const std::string& solid,
                                            const std::vector<std::string>& args,
                                            const std::string& input = "") {
  const RunResult r = Run("globe_" + solid, args, input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::vector<std::string>> lines;
  for (const std::string& l : Lines(r.out)) lines.push_back(Fields(l));
  return lines;
}

TEST(GlobeVolume, ListedVolumesAndCentroidAtTheOrigin) {
  struct Case {
    const char* solid;
    std::vector<std::string> volumes;  // levels 0, 1, ...
  } cases[] = {
      {"ih", {"2.536151", "3.658712", "4.047045", "4.152741"}},
      {"th", {"0.513200", "1.821367", "3.274470"}},
      {"oh", {"1.333333", "2.942809", "3.817730"}},
  };
  for (const Case& c : cases)
    for (size_t level = 0; level < c.volumes.size(); ++level) {
      SCOPED_TRACE(testing::Message() << c.solid << " level " << level);
      const auto lines = Globe(c.solid, {std::to_string(level)});
      ASSERT_EQ(lines.size(), 1u);  // no input: the volume line only
      ASSERT_EQ(lines[0].size(), 4u);
      EXPECT_EQ(lines[0][0], c.volumes[level]);
      for (int k = 1; k < 4; ++k) ExpectZero(lines[0][k]);
    }
  // No arguments: level 0.
  EXPECT_EQ(Globe("ih", {})[0][0], "2.536151");
}

TEST(GlobeField, IcosahedronLevelsZeroAndTwo) {
  auto lines = Globe("ih", {}, "0 0 0\n0 0 2\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1][0] + " " + lines[1][1] + " " + lines[1][2], "0 0 0");
  EXPECT_EQ(lines[1][3], "4.487338");
  for (int k = 4; k < 7; ++k) ExpectZero(lines[1][k]);
  EXPECT_EQ(lines[2][3], "1.267958");
  ExpectZero(lines[2][4]);
  ExpectZero(lines[2][5]);
  EXPECT_EQ(lines[2][6], "-0.633630");

  lines = Globe("ih", {"2"}, "0 0 0\n0 0 2\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][0], "4.047045");
  EXPECT_EQ(lines[1][3], "6.140566");
  EXPECT_EQ(lines[2][3], "2.023516");
  EXPECT_EQ(lines[2][6], "-1.011739");
}

TEST(GlobeField, TetrahedronUnrotatedAndAllAnglesZero) {
  auto lines = Globe("th", {"0"}, "0 0 2\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0][0], "0.513200");
  EXPECT_EQ(lines[1][3], "0.257941");
  ExpectZero(lines[1][4]);
  ExpectZero(lines[1][5]);
  EXPECT_EQ(lines[1][6], "-0.131098");

  // All angles 0: the apex moves from (0, 0, 1) to (-1, 0, 0), so the field
  // at -2 0 0 is the unrotated field at 0 0 2 with gz turned into -gx.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"0", "0", "0", "0"}, std::vector<std::string>{"0", "0", "0"}}) {
    SCOPED_TRACE(args.size());
    lines = Globe("th", args, "-2 0 0\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0][0], "0.513200");
    EXPECT_EQ(lines[1][0], "-2");
    EXPECT_EQ(lines[1][3], "0.257941");
    EXPECT_EQ(lines[1][4], "0.131098");
    ExpectZero(lines[1][5]);
    ExpectZero(lines[1][6]);
  }
}

TEST(GlobeField, PointPrintedWithSixSignificantDigits) {
  const auto lines = Globe("th", {}, "0.1234567 1e-7 12345678\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1][0], "0.123457");
  EXPECT_EQ(lines[1][1], "1e-07");
  EXPECT_EQ(lines[1][2], "1.23457e+07");
  EXPECT_EQ(lines[1].size(), 7u);
}

TEST(GlobeField, FiniteOnVerticesAndEdges) {
  // The guarded facet formula: a base vertex, and the edge point between
  // vertices 0 and 1 of the tetrahedron, which is a vertex of level 1.
  const auto lines = Globe("th", {"1"},
                           "0 0 1\n"
                           "-0.408248290463863 -0.2357022603955158 -0.3333333333333333\n");
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 1; i < 3; ++i)
    for (int k = 3; k < 7; ++k) EXPECT_TRUE(std::isfinite(std::stod(lines[i][k]))) << i << k;
}

// |value - exact| at each level, from one run per level.
struct Errors {
  std::vector<double> volume, centre, inside, far_u, far_g;
};

Errors SphereErrors(const std::string& solid, int levels) {
  // Inside the exact ball U = 2 pi (1 - r^2/3) and g = -(4 pi / 3) p; outside
  // U = V/r and g = -V p / r^3, V = 4 pi / 3.
  const double V = 4 * std::numbers::pi / 3;
  const double p[3] = {0.3, -0.2, 0.4}, r2 = 0.29;
  Errors e;
  for (int level = 0; level <= levels; ++level) {
    const auto lines = Globe(solid, {std::to_string(level)}, "0 0 0\n0.3 -0.2 0.4\n0 0 2\n");
    if (lines.size() != 4u) {
      ADD_FAILURE() << solid << " level " << level << ": " << lines.size() << " lines";
      return e;
    }
    auto num = [&](int line, int field) { return std::stod(lines[line][field]); };
    e.volume.push_back(std::fabs(num(0, 0) - V));
    e.centre.push_back(std::fabs(num(1, 3) - 2 * std::numbers::pi));
    double inside = std::fabs(num(2, 3) - 2 * std::numbers::pi * (1 - r2 / 3));
    for (int k = 0; k < 3; ++k) inside = std::fmax(inside, std::fabs(num(2, 4 + k) + V * p[k]));
    e.inside.push_back(inside);
    e.far_u.push_back(std::fabs(num(3, 3) - V / 2));
    e.far_g.push_back(std::fabs(num(3, 6) + V / 4));
  }
  return e;
}

void ExpectShrinking(const std::vector<double>& e, const char* what) {
  for (size_t level = 1; level < e.size(); ++level)
    EXPECT_LT(e[level], e[level - 1]) << what << " at level " << level;
}

TEST(GlobeSphere, ErrorAgainstTheExactSphereShrinksLevelByLevel) {
  for (const char* solid : {"ih", "th", "oh"}) {
    SCOPED_TRACE(solid);
    const int levels = 5;
    const Errors e = SphereErrors(solid, levels);
    ASSERT_EQ(e.volume.size(), size_t{levels + 1});
    ExpectShrinking(e.volume, "volume");
    ExpectShrinking(e.centre, "U at the centre");
    ExpectShrinking(e.inside, "field inside");
    ExpectShrinking(e.far_u, "U at distance 2");
    ExpectShrinking(e.far_g, "gz at distance 2");
    // The deficit falls by about four per level (the area of a leaf); at
    // level 5 the volume is within 0.5 % of 4 pi / 3.
    EXPECT_LT(e.volume[levels], 0.005 * 4 * std::numbers::pi / 3);
    EXPECT_LT(e.volume[levels], e.volume[levels - 1] / 3);
  }
}

TEST(GlobeRotation, VolumeAndCentroidUnchangedAtArbitraryAngles) {
  for (const char* solid : {"ih", "th", "oh"}) {
    SCOPED_TRACE(solid);
    const std::string level2 = Globe(solid, {"2"})[0][0];
    for (const std::vector<std::string>& angles :
         {std::vector<std::string>{"37.5", "-12.25", "101"},
          std::vector<std::string>{"-170", "89", "-45"}}) {
      auto lines = Globe(solid, {"2", angles[0], angles[1], angles[2]}, "0 0 0\n");
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0][0], level2);
      for (int k = 1; k < 4; ++k) ExpectZero(lines[0][k]);
      for (int k = 4; k < 7; ++k) ExpectZero(lines[1][k]);  // centre of a symmetric solid
    }
  }
  // Latitude -90 keeps the solid standing on its first face: the unrotated
  // field at 0 0 2, up to the turn rot about the z axis.
  const auto lines = Globe("th", {"0", "0", "-90", "0"}, "0 0 2\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1][3], "0.257941");
  EXPECT_EQ(lines[1][6], "-0.131098");
}

TEST(GlobeCommandLine, MessagesEndWithStatusOne) {
  const std::string usage = "usage : globe {level} {lon lat rot}\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-1"}, "bad recursion level\n"},
      {{"-1", "10", "20", "30"}, "bad recursion level\n"},
      {{"-99999999999"}, "bad recursion level\n"},
      // Levels that could never finish; the deepest would overflow the stack.
      {{"61"}, "bad recursion level\n"},
      {{"100000"}, "bad recursion level\n"},
      {{"99999999999"}, "bad recursion level\n"},
      {{"1", "2"}, usage},
      {{"1", "2", "3", "4", "5"}, usage},
      {{"1", "2", "3", "4", "5", "6"}, usage},
  };
  for (const char* solid : {"globe_ih", "globe_th", "globe_oh"})
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << solid << " " << c.args.size() << " " << c.args[0]);
      const RunResult r = ::Run(solid, c.args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, c.message);
    }
}

TEST(GlobeCommandLine, FailedWriteIsNotSuccess) {
  // Standard output on a full disk: the volume line already fails.
  const RunResult r = ::Run("globe_ih", {}, "", {"STDOUT=/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "standard output write error.\n");
}

TEST(GlobeCommandLine, LevelReadLikeAtoi) {
  EXPECT_EQ(Globe("ih", {"abc"})[0][0], "2.536151");  // not a number: level 0
  EXPECT_EQ(Globe("ih", {"2abc"})[0][0], "4.047045");
  EXPECT_EQ(Globe("ih", {" +1"})[0][0], "3.658712");
  // Angles that are not numbers count as 0.
  const auto lines = Globe("th", {"x", "y", "z"}, "-2 0 0\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1][4], "0.131098");
}

TEST(GlobeInput, FreeFormatAndEndOfPoints) {
  // Numbers separated by any white space, line breaks included.
  auto lines = Globe("ih", {}, "0\n0\t0   0\n0\n\n2");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1][3], "4.487338");
  EXPECT_EQ(lines[2][3], "1.267958");
  // Only two numbers: the volume line only.
  lines = Globe("ih", {}, "0 0\n");
  EXPECT_EQ(lines.size(), 1u);
  // A partly read point is dropped; a token that is not a number ends the input.
  EXPECT_EQ(Globe("ih", {}, "0 0 2\n1 2\n").size(), 2u);
  EXPECT_EQ(Globe("ih", {}, "0 0 2\nx 0 0 0\n").size(), 2u);
  EXPECT_EQ(Globe("ih", {}, "0 0 2\n0 0 y\n0 0 0\n").size(), 2u);
}

// Reads from `fd` up to and including the next newline.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    // A guard against a program that waits for input before answering: fail
    // instead of hanging (not a measurement).
    if (poll(&p, 1, 20000) <= 0) return line + "<no answer>";
    if (read(fd, &c, 1) != 1) return line + "<end>";
    line += c;
    if (c == '\n') return line;
  }
}

TEST(GlobeInput, AnswersThroughAPipeAtOnce) {
  // The volume line comes before any input, and each point's line as soon as
  // the point is complete, while the input stays open.
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const std::string path = std::string(SUITE_BIN_DIR) + "/globe_ih";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  EXPECT_EQ(ReadLine(out[0]), "2.536151\t0.000000\t0.000000\t-0.000000\n");
  ASSERT_EQ(write(in[1], "0 0 2\n", 6), 6);
  EXPECT_EQ(ReadLine(out[0]).substr(0, 15), "0\t0\t2\t1.267958\t");
  ASSERT_EQ(write(in[1], "0 0\n0\n", 6), 6);
  EXPECT_EQ(ReadLine(out[0]).substr(0, 15), "0\t0\t0\t4.487338\t");
  close(in[1]);
  EXPECT_EQ(ReadLine(out[0]), "<end>");
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
