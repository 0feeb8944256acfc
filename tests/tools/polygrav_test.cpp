// polygrav_m run as a program on the unit cube and on small hand-made files:
// the listed values, the point sources, the file grammar and every message;
// its face table and evaluator in-process against the asteroid reference
// values.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run.h"

// The unit itself, for the in-process checks of its evaluator; its main is
// renamed out of the way.
#define main polygrav_main
#include "tools/polygrav_m.cpp"
#undef main

namespace {

RunResult Polygrav(const std::vector<std::string>& args, const std::string& input = "",
                   std::vector<std::string> env = {}) {
  env.insert(env.begin(), "THREADS");  // the test's own environment does not count
  return ::Run("polygrav_m", args, input, env);
}

std::string Cube() {
  return DataPath("cube.vf.txt");
}

std::string Temp(const std::string& name, const std::string& data) {
  const std::string path = TempDir() + "/" + name;
  WriteFile(path, data);
  return path;
}

// The cube file's vertex lines and face lines.
struct CubeLines {
  std::vector<std::string> vertices, faces;
  CubeLines() {
    const auto lines = Lines(ReadFile(Cube()));
    vertices.assign(lines.begin() + 1, lines.begin() + 9);
    faces.assign(lines.begin() + 9, lines.end());
  }
  std::string Body() const {
    std::string s;
    for (const auto& l : vertices) s += l + "\n";
    for (const auto& l : faces) s += l + "\n";
    return s;
  }
};

void ExpectNear(const std::vector<double>& got, const std::vector<double>& want, double tol,
                const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t k = 0; k < want.size(); ++k)
    EXPECT_NEAR(got[k], want[k], tol) << what << " column " << k;
}

const char* kSummary = "1.000000\t0.500000\t0.500000\t0.500000\t2.380077\t";

// Points of the cube with values worked out independently (7 digits).
const char* kKnownPoints =
    "0.5 0.5 0.5\n"
    "0 0 0\n"
    "0.5 0 0\n"
    "0.5 0.5 1\n"
    "10.5 0.5 0.5\n";
const double kKnownValues[5][4] = {{2.380077, 0, 0, 0},
                                   {1.190039, 0.9693881, 0.9693881, 0.9693881},
                                   {1.427260, 0, 1.551694, 1.551694},
                                   {1.792810, 0, 0, -2.596897},
                                   {0.09999985, -0.009999927, 0, 0}};

// ---------------------------------------------------------------------------
// The unit cube

TEST(PolygravCube, VerticesSummaryAndRanges) {
  const RunResult r = Polygrav({Cube()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0].rfind(kSummary, 0), 0u) << lines[0];
  ExpectNear(Numbers(lines[0]), {1, 0.5, 0.5, 0.5, 2.380077, 0, 0, 0}, 1e-6, "summary");
  // Each vertex: U = 1.190039, every component 0.969388 pointing into the cube.
  const CubeLines cube;
  for (int i = 0; i < 8; ++i) {
    const auto p = Numbers(cube.vertices[i]);
    std::string want = "1.190039";
    for (double c : p) want += c == 0 ? "\t0.969388" : "\t-0.969388";
    EXPECT_EQ(lines[1 + i], want) << "vertex " << i;
  }
  EXPECT_EQ(lines[1], "1.190039\t0.969388\t0.969388\t0.969388");
  EXPECT_EQ(r.err,
            "1.190039\t1.190039\n-0.969388\t0.969388\n-0.969388\t0.969388\n-0.969388\t0.969388\n");
}

// A face centre sits at (2/3, 1/3) of a unit square face: U = 1.717618, the
// normal component 2.455935 into the cube, the two others 0.445803 toward
// the face's middle.
void ExpectFaceCentreLines(const std::vector<std::string>& lines, size_t first) {
  const CubeLines cube;
  ASSERT_EQ(lines.size(), first + 12);
  EXPECT_EQ(lines[first], "1.717618\t-0.445803\t0.445803\t2.455935");
  for (int f = 0; f < 12; ++f) {
    const auto corner = Numbers(cube.faces[f]);
    double c[3] = {0, 0, 0};
    for (double v : corner) {
      const auto p = Numbers(cube.vertices[static_cast<size_t>(v)]);
      for (int k = 0; k < 3; ++k) c[k] += p[k];
    }
    for (double& ck : c) ck /= 3;
    std::vector<double> want{1.717618};
    for (double ck : c) {
      const bool onPlane = ck == 0 || ck == 1;
      want.push_back((onPlane ? 2.455935 : 0.445803) * (ck < 0.5 ? 1 : -1));
    }
    ExpectNear(Numbers(lines[first + f]), want, 1e-6, "face " + std::to_string(f));
  }
}

TEST(PolygravCube, TwoHyphensGiveFaceCentres) {
  for (const char* arg : {"--", "--x"}) {
    const RunResult r = Polygrav({Cube(), arg});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    EXPECT_EQ(lines[0].rfind(kSummary, 0), 0u);
    ExpectFaceCentreLines(lines, 1);
    EXPECT_EQ(r.err.substr(0, 18), "1.717618\t1.717618\n");
  }
}

TEST(PolygravCube, ThreeHyphensPutOneEmptyLinePerVertexFirst) {
  const std::string two = Polygrav({Cube(), "--"}).out;
  for (const char* arg : {"---", "----"}) {
    const RunResult r = Polygrav({Cube(), arg});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u + 8 + 12);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(lines[i], "") << i;
    ExpectFaceCentreLines(lines, 9);
    // Summary, V empty lines and F results match the file's 1 + V + F lines.
    const size_t eol = two.find('\n') + 1;
    EXPECT_EQ(r.out, two.substr(0, eol) + std::string(8, '\n') + two.substr(eol));
  }
}

TEST(PolygravCube, ModelAndPointsFromStandardInput) {
  const std::string model = ReadFile(Cube());
  const RunResult r = Polygrav({"-", "-"}, model + kKnownPoints);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u);
  for (int i = 0; i < 5; ++i)
    ExpectNear(Numbers(lines[1 + i]),
               {kKnownValues[i][0], kKnownValues[i][1], kKnownValues[i][2], kKnownValues[i][3]},
               1e-6, "point " + std::to_string(i));
  // The model alone from standard input reads exactly as from the file.
  EXPECT_EQ(Polygrav({"-x"}, model).out, Polygrav({Cube()}).out);
  // Lines after the last face of a model file are never read.
  EXPECT_EQ(Polygrav({Temp("m.vf.txt", model + "junk\n1 2\n")}).out, Polygrav({Cube()}).out);
}

// ---------------------------------------------------------------------------
// Point files

TEST(PolygravPoints, FiveThousandPointsFromAFile) {
  std::string points;
  for (int i = 0; i < 1000; ++i) points += kKnownPoints;
  const RunResult r = Polygrav({Cube(), Temp("p.txt", points)});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5001u);
  for (size_t j = 0; j < 5000; ++j) {
    const double* w = kKnownValues[j % 5];
    ExpectNear(Numbers(lines[1 + j]), {w[0], w[1], w[2], w[3]}, 1e-6, "point " + std::to_string(j));
    if (HasFailure()) break;
  }
  const auto ranges = Lines(r.err);
  ASSERT_EQ(ranges.size(), 4u);
  ExpectNear(Numbers(ranges[0]), {0.1, 2.380077}, 1e-6, "U");
  ExpectNear(Numbers(ranges[1]), {-0.01, 0.969388}, 1e-6, "gx");
  ExpectNear(Numbers(ranges[2]), {0, 1.551694}, 1e-6, "gy");
  ExpectNear(Numbers(ranges[3]), {-2.596897, 1.551694}, 1e-6, "gz");
}

TEST(PolygravPoints, TheListEndsAtTheFirstLineThatIsNotAPoint) {
  const std::string centre = "2.380077\t";
  // A last line without newline is dropped; so is everything after a line
  // that does not start with three numbers, or one too long for the buffer.
  const std::string longLine = "0 0 0" + std::string(2042, ' ') + "\n";  // 2047 characters
  const std::string okLine = "0 0 0" + std::string(2041, ' ') + "\n";    // 2046 characters
  struct Case {
    std::string points;
    size_t count;
  } cases[] = {{"0.5 0.5 0.5\n0 0 0", 1},
               {"0.5 0.5 0.5\n1 2\n0 0 0\n", 1},
               {"0.5 0.5 0.5 trailing text\n0.5 0.5 0.5\n", 2},
               {"0.5 0.5 0.5\n" + longLine + "0 0 0\n", 1},
               {"0.5 0.5 0.5\n" + okLine, 2}};
  for (const Case& c : cases) {
    const RunResult r = Polygrav({Cube(), Temp("p.txt", c.points)});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1 + c.count) << c.points.substr(0, 40);
    EXPECT_EQ(lines[1].rfind(centre, 0), 0u);
  }
}

// ---------------------------------------------------------------------------
// Threads

TEST(PolygravThreads, OutputIsTheSameForEveryThreadCount) {
  std::string points;
  for (int i = 0; i < 1000; ++i) points += kKnownPoints;
  const std::string path = Temp("p.txt", points);
  const RunResult one = Polygrav({Cube(), path});
  ASSERT_EQ(one.status, 0);
  for (const char* m : {"1", "2", "3", "1000", "2abc"}) {
    const RunResult r = Polygrav({Cube(), path}, "", {"THREADS=" + std::string(m)});
    EXPECT_EQ(r.status, 0) << m;
    EXPECT_EQ(r.out, one.out) << m;
    EXPECT_EQ(r.err, one.err) << m;
  }
  // More threads than points: three threads asked for two points.
  const RunResult two = Polygrav({Cube(), "-"}, "0 0 0\n0.5 0 0\n");
  const RunResult three = Polygrav({Cube(), "-"}, "0 0 0\n0.5 0 0\n", {"THREADS=3"});
  EXPECT_EQ(three.status, 0);
  EXPECT_EQ(three.out, two.out);
  EXPECT_EQ(three.err, two.err);
}

TEST(PolygravThreads, BadValuesAreRejectedBeforeTheModelIsOpened) {
  for (const char* m : {"0", "-3", "", "letters"}) {
    const RunResult r = Polygrav({"/no/such/model"}, "", {"THREADS=" + std::string(m)});
    EXPECT_EQ(r.status, 1) << m;
    EXPECT_EQ(r.err, "bad number of THREADS.\n") << m;
    EXPECT_EQ(r.out, "");
  }
}

TEST(PolygravThreads, AHandleTableTooLargeForMemoryIsAnAllocationError) {
  // 2^31 - 1 handle slots need 16 GiB; with 512 MB of address space the
  // reservation fails and nothing else is touched. Beyond the range of M the
  // value saturates.
  if (kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
  for (const char* m : {"2147483647", "99999999999"}) {
    const RunResult r =
        Polygrav({Cube()}, "", {"THREADS=" + std::string(m), "RLIMIT_AS=536870912"});
    EXPECT_EQ(r.status, 1) << m;
    EXPECT_EQ(r.err, "memory allocation error.\n") << m;
    EXPECT_EQ(r.out.rfind(kSummary, 0), 0u);
  }
}

// ---------------------------------------------------------------------------
// The vertex/face grammar and the messages

struct Failure {
  int status;
  std::string out, err;
};

Failure Fails(const std::vector<std::string>& args, const std::string& input = "",
              const std::vector<std::string>& env = {}) {
  const RunResult r = Polygrav(args, input, env);
  return {r.status, r.out, r.err};
}

std::string ModelError(const std::string& model, const std::vector<std::string>& env = {}) {
  const RunResult r = Polygrav({Temp("m.vf.txt", model)}, "", env);
  if (r.status == 0) return "";  // read as a model
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << model.substr(0, 60);
  return r.err;
}

TEST(PolygravMessages, CommandLineAndFiles) {
  const std::string usage = "usage : polygrav_m vf.txt {point.txt}\n";
  EXPECT_EQ(Fails({}).err, usage);
  EXPECT_EQ(Fails({Cube(), "-", "x"}).err, usage);
  EXPECT_EQ(Fails({}).status, 1);
  const Failure model = Fails({"/no/such/model.vf.txt"});
  EXPECT_EQ(model.status, 1);
  EXPECT_EQ(model.err, "/no/such/model.vf.txt : file not found.\n");
  // A missing point file is found missing after the summary line is out.
  const Failure points = Fails({Cube(), "/no/such/points.txt"});
  EXPECT_EQ(points.status, 1);
  EXPECT_EQ(points.err, "/no/such/points.txt : file not found.\n");
  EXPECT_EQ(points.out.rfind(kSummary, 0), 0u);
  EXPECT_EQ(Lines(points.out).size(), 1u);
  // Through one shared stream the message stays whole after the summary line.
  const std::string command =
      std::string(SUITE_BIN_DIR) + "/polygrav_m " + Cube() + " /no/such/points.txt 2>&1";
  FILE* shared = popen(command.c_str(), "r");
  ASSERT_TRUE(shared);
  std::string both;
  for (int c; (c = std::fgetc(shared)) != EOF;) both += static_cast<char>(c);
  EXPECT_EQ(pclose(shared) >> 8, 1);
  EXPECT_EQ(Lines(both)[1], "/no/such/points.txt : file not found.");
  const Failure none = Fails({Cube(), Temp("p.txt", "x y z\n0 0 0\n")});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "no point data.\n");
  EXPECT_EQ(Lines(none.out).size(), 1u);
  EXPECT_EQ(Fails({Cube(), "-"}).err, "no point data.\n");
  // A full disk is not success.
  const RunResult full = ::Run("polygrav_m", {Cube()}, "", {"STDOUT=/dev/full"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "standard output write error.\n");
}

TEST(PolygravMessages, HeaderLine) {
  const CubeLines cube;
  for (const std::string& header :
       {std::string(""), std::string("8 12"), std::string("8\n"), std::string("8 0\n"),
        std::string("0 12\n"), std::string("eight twelve\n"), std::string("-1 12\n"),
        std::string("8 -12\n")})
    EXPECT_EQ(ModelError(header + (header.empty() || header.back() != '\n' ? "" : cube.Body())),
              "bad data number.\n")
        << header;
  EXPECT_EQ(ModelError("8 12 extra words\n" + cube.Body()), "");
}

TEST(PolygravMessages, CountsBeyondThirtyTwoBitsDoNotWrap) {
  const CubeLines cube;
  // 2^32 + 8 and 2^32 + 12 would read as 8 and 12 through a 32-bit "%lu".
  EXPECT_EQ(ModelError("4294967304 12\n" + cube.Body()), "bad data number.\n");
  EXPECT_EQ(ModelError("8 4294967308\n" + cube.Body()), "bad data number.\n");
  EXPECT_EQ(ModelError("4294967296 12\n" + cube.Body()), "bad data number.\n");
  EXPECT_EQ(ModelError("18446744073709551624 12\n" + cube.Body()), "bad data number.\n");
  EXPECT_EQ(ModelError("4294967295 1\n0 0 0\n"), "data read error.\n");  // the largest count fits
  // A vertex number 2^32 + 1 would read as 1.
  std::string body;
  for (const auto& l : cube.vertices) body += l + "\n";
  std::string faces;
  for (size_t f = 0; f < 11; ++f) faces += cube.faces[f] + "\n";
  EXPECT_EQ(ModelError("8 12\n" + body + faces + "3 4294967297 7\n"), "data read error.\n");
  EXPECT_EQ(ModelError("8 12\n" + body + faces + "3 -4 7\n"), "data read error.\n");
  EXPECT_EQ(ModelError("8 12\n" + body + faces + "3 +4 7\n"), "");
}

TEST(PolygravMessages, HeaderCountsAreClaimsNotAllocations) {
  // A two-line file claiming four billion vertices (96 GB of coordinates)
  // runs within 256 MB of address space and fails on its missing lines.
  std::vector<std::string> small;
  if (!kSanitized) small.push_back("RLIMIT_AS=268435456");
  EXPECT_EQ(ModelError("4000000000 1\n0 0 0\n", small), "data read error.\n");
  // Four billion faces claimed, twelve given.
  const CubeLines cube;
  EXPECT_EQ(ModelError("8 4000000000\n" + cube.Body(), small), "data read error.\n");
  // Both claims large, from standard input.
  EXPECT_EQ(Fails({"-"}, "4294967295 4294967295\n1 2 3\n", small).err, "data read error.\n");
}

TEST(PolygravMessages, VertexAndFaceLines) {
  const CubeLines cube;
  std::string vertices;
  for (const auto& l : cube.vertices) vertices += l + "\n";
  std::string faces11;
  for (size_t f = 0; f < 11; ++f) faces11 += cube.faces[f] + "\n";
  const std::string last = cube.faces[11];
  const std::string seven = "8 12\n" + vertices.substr(0, vertices.rfind("0 1 1\n"));
  const std::string cases[] = {
      "8 12\n0 0 0\n",                                     // vertex lines missing
      seven + "0 1\n" + faces11 + last + "\n",             // two numbers
      seven + "0 1 one\n" + faces11 + last + "\n",         // not a number
      "8 12\n" + vertices + faces11,                       // face line missing
      "8 12\n" + vertices + faces11 + last,                // last face line without newline
      "8 12\n" + vertices + faces11 + "3 4\n",             // two vertex numbers
      "8 12\n" + vertices + faces11 + "3 4 8\n",           // vertex number equal to V
      "8 12\n" + vertices + faces11 + "a b c\n",           // not numbers
      "8 12\n" + vertices.substr(0, vertices.size() - 1),  // last vertex without newline
  };
  for (const std::string& c : cases) EXPECT_EQ(ModelError(c), "data read error.\n") << c;
  // Lines up to 2046 characters and their newline fit the line buffer.
  const std::string fits = "0 1 1" + std::string(2041, ' ') + "\n";
  const std::string tooLong = "0 1 1" + std::string(2042, ' ') + "\n";
  EXPECT_EQ(ModelError(seven + fits + faces11 + last + "\n"), "");
  EXPECT_EQ(ModelError(seven + tooLong + faces11 + last + "\n"), "data read error.\n");
}

TEST(PolygravMessages, MemoryAndThreadFailures) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime must come first in the library list";
  const std::string faults = std::string("LD_PRELOAD=") + FAULTS_LIBRARY;
  std::string points;
  for (int i = 0; i < 1000; ++i) points += kKnownPoints;
  const std::string path = Temp("p.txt", points);
  // The point arrays grow 8 -> 2056 -> 4104 entries: the third block of
  // 32832 bytes is refused.
  Failure f = Fails({Cube(), path}, "", {faults, "FAIL_REALLOC_ABOVE=30000"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "memory re-allocation error.\n");
  EXPECT_EQ(Lines(f.out).size(), 1u);
  EXPECT_EQ(Fails({Cube(), path}, "", {faults, "FAIL_REALLOC_ABOVE=50000"}).status, 0);
  // A model of 3000 vertices: the vertex arrays cannot grow past 1024 entries.
  std::string model = "3000 1\n";
  for (int i = 0; i < 3000; ++i) model += std::to_string(i) + " 0 " + std::to_string(i % 2) + "\n";
  model += "0 1 2\n";
  f = Fails({Temp("m.vf.txt", model)}, "", {faults, "FAIL_REALLOC_ABOVE=10000"});
  EXPECT_EQ(f.err, "memory allocation error.\n");
  EXPECT_EQ(f.out, "");
  f = Fails({Cube()}, "", {faults, "FAIL_THREAD_START=0", "THREADS=2"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "multi-threading initialization error.\n");
  // Threads beyond the number of points are never started: two points need
  // one worker besides the main thread, three need two.
  EXPECT_EQ(Fails({Cube(), "-"}, "0 0 0\n1 1 1\n", {faults, "FAIL_THREAD_START=1", "THREADS=1000"})
                .status,
            0);
  EXPECT_EQ(
      Fails({Cube(), "-"}, "0 0 0\n1 1 1\n1 0 0\n", {faults, "FAIL_THREAD_START=1", "THREADS=1000"})
          .err,
      "multi-threading initialization error.\n");
  f = Fails({Cube()}, "", {faults, "FAIL_THREAD_JOIN=1", "THREADS=2"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "multi-threading termination error.\n");
  EXPECT_EQ(Lines(f.out).size(), 1u);  // no result line before the join
  // With one thread nothing is started or joined.
  EXPECT_EQ(Fails({Cube()}, "", {faults, "FAIL_THREAD_START=0", "FAIL_THREAD_JOIN=1"}).status, 0);
}

// ---------------------------------------------------------------------------
// Faces of zero area

TEST(PolygravModel, ZeroAreaFacesAddNothing) {
  // The cube with a ninth vertex in the middle of edge 0-1, a face along that
  // edge (collinear corners) and a face of one repeated corner.
  const CubeLines cube;
  std::string model = "9 14\n";
  for (const auto& l : cube.vertices) model += l + "\n";
  model += "0.5 0 0\n";
  for (const auto& l : cube.faces) model += l + "\n";
  model += "0 8 1\n3 3 3\n";
  const std::string path = Temp("m.vf.txt", model);
  const RunResult r = Polygrav({path});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  const auto plain = Lines(Polygrav({Cube()}).out);
  ASSERT_EQ(lines.size(), 10u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(lines[i], plain[i]) << i;
  ExpectNear(Numbers(lines[9]), {1.427260, 0, 1.551694, 1.551694}, 1e-6, "mid-edge vertex");
  const auto centres = Lines(Polygrav({path, "--"}).out);
  ASSERT_EQ(centres.size(), 15u);
  ExpectNear(Numbers(centres[13]), {1.427260, 0, 1.551694, 1.551694}, 1e-6, "collinear face");
  EXPECT_EQ(centres[14], "1.190039\t0.969388\t-0.969388\t0.969388");
}

// ---------------------------------------------------------------------------
// The same field as the STL tools, and the asteroid reference values

// Lines "U gx gy gz" of polygrav_m and "x y z U gx gy gz" of fieldpts_s on
// the same model agree to single-precision rounding of the STL vertices.
void ExpectSameFieldAsStl(const std::string& vf, const std::string& stl, const std::string& points,
                          double rel) {
  const RunResult ours = Polygrav({vf, Temp("p.txt", points)});
  const RunResult theirs = ::Run("fieldpts_s", {stl, "-"}, points);
  ASSERT_EQ(ours.status, 0) << ours.err;
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  const auto a = Lines(ours.out), b = Lines(theirs.out);
  ASSERT_EQ(a.size(), b.size());
  for (size_t j = 1; j < a.size(); ++j) {
    const auto u = Numbers(a[j]), v = Numbers(b[j]);
    ASSERT_EQ(u.size(), 4u);
    ASSERT_EQ(v.size(), 7u);
    const double g = std::hypot(u[1], u[2], u[3]);
    EXPECT_NEAR(u[0], v[3], rel * std::fabs(u[0]) + 1e-6) << j;
    for (int k = 1; k < 4; ++k) EXPECT_NEAR(u[k], v[3 + k], rel * g + 1e-6) << j << " " << k;
  }
}

TEST(PolygravModel, SameFieldAsTheStlToolOnTheSameModel) {
  ExpectSameFieldAsStl(Cube(), DataPath("cube.stl"), kKnownPoints, 1e-6);
  const std::string dir = DataPath("models/");
  ExpectSameFieldAsStl(dir + "kleopatra.vf.txt", dir + "kleopatra.stl",
                       "0 0 0\n150 0 0\n0 60 0\n0 0 60\n300 300 300\n1e4 -2e4 3e4\n", 2e-6);
}

struct Reference {
  double p[3], U, g[3];
  double tol = 1e-11;  // relative, of U and of |g|
};

// Independent high-precision values for the asteroid models. Near the body
// the sums keep all but the last few digits; far away (Eros at (200,400,600),
// some 1500 diameters off) the faces' terms cancel to a field 1e-6 of their
// size and about nine digits remain, which the rewritten logarithm and
// solid-angle numerator keep (their textbook forms lose two more).
const Reference kKleopatra[] = {
    {{0, 0, 0}, 14357.9368258501, {-9.81731493033626, -3.82909014331737, -3.59925801424948}},
    {{150, 0, 0}, 5717.32293568759, {-53.9078020151191, 0.527156917140845, 0.132147472353141}},
    {{0, 60, 0}, 8371.62643868957, {0.273478528769095, -75.9552021968156, -1.41407852101316}},
    {{0, 0, 60}, 8426.26016445375, {-2.96563187916572, -1.88037787684057, -79.6480552243801}},
    {{300, 300, 300}, 1363.61223533803, {-1.46896448301106, -1.53449841115826, -1.53873879569661}},
};
const Reference kEros[] = {
    {{0, 0, 0}, 0.920978839560223, {-0.0135262116113141, -0.219422025648454, -0.0507229528468715}},
    {{1, 0, 0}, 0.347659111362533, {-0.497400579753022, 0.0585780905635831, 0.00659791100926933}},
    {{0, 0.5, 0},
     0.465790551646213,
     {-0.0188741354337215, -0.622607904384610, -0.00694026193051116}},
    {{0, 0, 0.5},
     0.479468928633777,
     {-0.00670975855514277, -0.0372838270444175, -0.692257951475981}},
    {{2, 2, 2},
     0.0840974689174720,
     {-0.0136714653402920, -0.0141763491562430, -0.0141924884690350}},
    {{200, 400, 600},
     3.89306812287085e-4,
     {-1.39038022716204e-7, -2.78076251068910e-7, -4.17114383288876e-7},
     3e-9},
};

std::string ModelPath(const char* name) {
  return DataPath("models/") + name + ".vf.txt";
}

TEST(PolygravModel, KleopatraFromTheProgramToThePrintedDigits) {
  const std::string vf = ModelPath("kleopatra");
  std::string points;
  for (const Reference& r : kKleopatra)
    points +=
        std::to_string(r.p[0]) + " " + std::to_string(r.p[1]) + " " + std::to_string(r.p[2]) + "\n";
  const RunResult r = Polygrav({vf, Temp("p.txt", points)}, "", {"THREADS=2"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u);
  // Volume and centroid as listed with the model.
  const auto summary = Numbers(lines[0]);
  ASSERT_EQ(summary.size(), 8u);
  EXPECT_NEAR(summary[0], 708868.12335, 5.01e-6);
  ExpectNear({summary[1], summary[2], summary[3]}, {0.303522, 0.0160116, -0.630731}, 1e-6,
             "centroid");
  for (size_t j = 0; j < 5; ++j) {
    const Reference& ref = kKleopatra[j];
    const auto v = Numbers(lines[1 + j]);
    ASSERT_EQ(v.size(), 4u);
    // "%lf" keeps six decimals: agreement to the last one, or 1e-9 relative.
    EXPECT_NEAR(v[0], ref.U, 5.01e-7 + 1e-9 * ref.U) << j;
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(v[1 + k], ref.g[k], 5.01e-7) << j << " " << k;
  }
}

// The unit's own table (SetUpSI), fed from the model file, as the suite's
// facets and table entries for the scalar table form.
struct Table {
  std::vector<double> corners;  // nine a face
  std::vector<SIEntry> si;
};
Table LoadTable(const std::string& path) {
  std::ifstream in(path);
  size_t V = 0, Fc = 0;
  in >> V >> Fc;
  std::vector<double> v(3 * V);
  for (double& c : v) in >> c;
  Table t;
  for (size_t f = 0; f < Fc; ++f) {
    size_t a, b, c;
    in >> a >> b >> c;
    FaceEntry e;
    SetUpSI(v[3 * a], v[3 * a + 1], v[3 * a + 2], v[3 * b], v[3 * b + 1], v[3 * b + 2], v[3 * c],
            v[3 * c + 1], v[3 * c + 2], &e);
    t.corners.insert(t.corners.end(), &e.Ax, &e.Ax + 9);
    t.si.push_back({e.nx, e.ny, e.nz, e.il1, e.m1x, e.m1y, e.m1z, e.il2, e.m2x, e.m2y, e.m2z, e.il3,
                    e.m3x, e.m3y, e.m3z});
  }
  return in ? t : Table{};
}

void ExpectReference(const char* name, const Reference* refs, size_t count) {
  const std::string path = ModelPath(name);
  const Table faces = LoadTable(path);
  ASSERT_FALSE(faces.si.empty());
  const Facets facets(static_cast<uint32_t>(faces.si.size()), faces.corners.data());
  for (size_t j = 0; j < count; ++j) {
    const Reference& ref = refs[j];
    double U, g[3];
    CalculateSIReference<TableGuard::kRelative>(facets, faces.si.data(), ref.p[0], ref.p[1],
                                                ref.p[2], &U, &g[0], &g[1], &g[2]);
    EXPECT_NEAR(U, ref.U, ref.tol * std::fabs(ref.U)) << name << " point " << j;
    const double gn = std::hypot(ref.g[0], ref.g[1], ref.g[2]);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(g[k], ref.g[k], ref.tol * gn) << name << " point " << j << " " << k;
  }
}

TEST(PolygravEvaluator, KleopatraReferenceValues) {
  ExpectReference("kleopatra", kKleopatra, std::size(kKleopatra));
}

TEST(PolygravEvaluator, ErosReferenceValuesNearAndFar) {
  ExpectReference("eros", kEros, std::size(kEros));
}

TEST(PolygravEvaluator, CubeTableEntryAndGuard) {
  // The face (0,0,1), (1,0,1), (1,1,1): n = (0,0,1), edges of length 1, 1, sqrt 2.
  FaceEntry e;
  SetUpSI(0, 0, 1, 1, 0, 1, 1, 1, 1, &e);
  const double s = 1 / std::sqrt(2.0);
  const double want[24] = {0, 0, 1,  1, 0, 1, 1, 1, 1, 0,  0, 1,
                           1, 0, -1, 0, 1, 1, 0, 0, s, -s, s, 0};
  const double* got = &e.Ax;
  for (int k = 0; k < 24; ++k) EXPECT_NEAR(got[k], want[k], 1e-15) << k;
  // A zero-area face: vertices kept, nothing else.
  SetUpSI(0, 0, 0, 1, 1, 1, 2, 2, 2, &e);
  EXPECT_EQ(e.Cx, 2);
  EXPECT_EQ(e.nx, 0);
  EXPECT_EQ(e.il1, 0);
}

}  // namespace
