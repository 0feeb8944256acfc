// What no run may do, end to end through the real programs: lose the file it
// was to replace, leave part of a file behind, unlink what it did not
// create, take a read error for the end of its input, need a large stack or
// twice the table's memory, or print a number where the field is finite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/little_endian.h"
#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kColouring = {"plumbline", "plumbline_s", "plumbline_m",
                                             "geopot",    "geopot_s",    "geopot_m"};
const std::vector<std::string> kTabled = {"fieldpts_s",  "fieldpts_m",  "surfgrav_s", "surfgrav_m",
                                          "plumbline_s", "plumbline_m", "geopot_s",   "geopot_m"};

// The names in a folder.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Bin(const std::string& program) {
  return std::string(SUITE_BIN_DIR) + "/" + program;
}

// --------------------------------------------------------------- outputs

// `plumbline m.stl map m.stl` whose write fails: the model it was to replace
// is the user's only copy, and it is kept byte for byte. The same run that
// can write replaces it with the coloured model.
TEST(SafeOutput, FailedWriteOverItsOwnInputKeepsTheModel) {
  const std::string dir = TempDir(), original = ReadFile(DataPath("cube_binary.stl"));
  for (const std::string& p : kColouring) {
    const std::string m = dir + "/" + p + ".stl";
    WriteFile(m, original);
    ExpectFailure(::Run(p, {m, BlueMap(), m}, "", {"RLIMIT_FSIZE=300"}), "facet data write error.",
                  p);
    EXPECT_EQ(ReadFile(m), original) << p;
    const RunResult ok = ::Run(p, {m, BlueMap(), m});
    EXPECT_EQ(ok.status, 0) << p << ok.err;
    const std::string coloured = ReadFile(m);
    ASSERT_EQ(coloured.size(), 684u) << p;
    EXPECT_EQ(little_endian::At<uint16_t>(coloured, 84 + 48), 0x801F) << p;  // blue
  }
  EXPECT_EQ(Names(dir).size(), kColouring.size());  // no temporary file left
  // facetpaint's writing form, over its own input.
  const std::string m = dir + "/painted.stl";
  WriteFile(m, original);
  ExpectFailure(::Run("facetpaint", {m, "255", "0", "0", m}, "", {"RLIMIT_FSIZE=300"}),
                "facet data write error.", "facetpaint");
  EXPECT_EQ(ReadFile(m), original);
}

// A symlink as the output: the file it names is replaced (or kept, when the
// write fails); the link itself stays a link.
TEST(SafeOutput, SymlinkKeepsBeingALinkToItsFile) {
  const std::string dir = TempDir(), target = dir + "/target.stl", link = dir + "/link.stl";
  WriteFile(target, "older");
  fs::create_symlink(target, link);
  ExpectFailure(
      ::Run("plumbline", {DataPath("cube.stl"), BlueMap(), link}, "", {"RLIMIT_FSIZE=300"}),
      "facet data write error.", "failing");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "older");
  EXPECT_EQ(::Run("plumbline", {DataPath("cube.stl"), BlueMap(), link}).status, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target).size(), 684u);
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"link.stl", "target.stl"}));
}

// A name for standard output (/dev/stdout, here a link of our own to
// /proc/self/fd/1, so that a faulty build cannot unlink the system's) while
// standard output is a regular file: written directly, and never unlinked,
// whether the write fails or not.
TEST(SafeOutput, StandardOutputByNameIsWrittenInPlace) {
  const std::string dir = TempDir(), out = dir + "/stdout", name = dir + "/dev_stdout";
  fs::create_symlink("/proc/self/fd/1", name);
  WriteFile(out, "");
  const RunResult ok =
      ::Run("plumbline", {DataPath("cube.stl"), BlueMap(), name}, "", {"STDOUT=" + out});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ReadFile(out).size(), 684u);
  WriteFile(out, "");
  ExpectFailure(::Run("plumbline", {DataPath("cube.stl"), BlueMap(), name}, "",
                      {"STDOUT=" + out, "RLIMIT_FSIZE=300"}),
                "facet data write error.", "standard output by name");
  EXPECT_TRUE(fs::is_symlink(name));
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"dev_stdout", "stdout"}));
}

// A new file gets the mode the umask allows; a replaced one keeps its own.
TEST(SafeOutput, ModesOfNewAndReplacedFiles) {
  const std::string dir = TempDir(), fresh = dir + "/fresh.stl", kept = dir + "/kept.stl";
  WriteFile(kept, "older");
  chmod(kept.c_str(), 0640);
  for (const std::string& out : {fresh, kept})
    ASSERT_EQ(::Run("geopot", {DataPath("cube.stl"), BlueMap(), out}).status, 0) << out;
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A signal that ends the program while the new file is being finished (here
// just before it is synced): the older file stands, nothing else is left.
TEST(SafeOutput, SignalWhileWritingLeavesTheOlderFile) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime must come first in the library list";
  const std::string dir = TempDir(), faults = std::string("LD_PRELOAD=") + FAULTS_LIBRARY;
  for (const char* sig : {"2", "15"}) {
    const std::string model = dir + "/model.stl", picture = dir + "/model.png";
    WriteFile(model, "older model");
    WriteFile(picture, "older picture");
    const RunResult r = ::Run("plumbline", {DataPath("cube.stl"), BlueMap(), model}, "",
                              {faults, std::string("RAISE_AT_FSYNC=") + sig});
    EXPECT_EQ(r.status, -1) << sig;  // ended by the signal
    EXPECT_EQ(ReadFile(model), "older model") << sig;
    if (fs::exists(Bin("stlrender"))) {
      EXPECT_EQ(::Run("stlrender", {DataPath("cube.stl"), picture}, "",
                      {faults, std::string("RAISE_AT_FSYNC=") + sig})
                    .status,
                -1);
      EXPECT_EQ(ReadFile(picture), "older picture") << sig;
    }
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"model.png", "model.stl"})) << sig;
  }
}

// A shell's `ulimit -f` without a trap: SIGXFSZ would kill the program
// before any clean-up; the write fails with the program's own message.
TEST(SafeOutput, FileSizeLimitIsAWriteError) {
  const std::string dir = TempDir(), out = dir + "/o.stl", err = dir + "/err";
  WriteFile(out, "older");
  // 1 kB may be written: the message, not the model of 4092 facets.
  const std::string cmd = "ulimit -f 1; '" + Bin("geopot_s") + "' '" +
                          DataPath("models/kleopatra.stl") + "' '" + BlueMap() + "' '" + out +
                          "' 2> '" + err + "' > /dev/null";
  EXPECT_EQ(Shell("sh -c \"" + cmd + "\""), 1);
  EXPECT_EQ(ReadFile(err), "facet data write error.\n");
  EXPECT_EQ(ReadFile(out), "older");
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"err", "o.stl"}));
}

// ---------------------------------------------------------------- inputs

// A file that fails with EIO part way (the process's own memory at address
// 0), or a directory on standard input: a read error, never the end of the
// input, and no output model.
TEST(ReadErrors, AreNotTheEndOfTheInput) {
  const std::string dir = TempDir(), out = dir + "/o.stl", mem = "/proc/self/mem";
  for (const std::string& p : kColouring) {
    ExpectFailure(::Run(p, {DataPath("cube.stl"), mem, out}), "CM_STL file not found.", p);
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "-", out}, "", {"STDIN=" + dir}),
                  "CM_STL file not found.", p + " -");
  }
  ExpectFailure(::Run("tribuild", {mem, out}, "0 0 0 1 0 0 0 1 0\n"), "CM_STL file not found.",
                "tribuild");
  EXPECT_FALSE(fs::exists(out));
  for (const std::string p : {"fieldpts", "fieldpts_s", "fieldpts_m"}) {
    RunResult r = ::Run(p, {DataPath("cube.stl"), mem});
    ExpectFailure(r, "point file not found.", p);
    EXPECT_EQ(r.out, "1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01\n") << p;
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "-"}, "", {"STDIN=" + dir}),
                  "point file not found.", p + " -");
  }
  for (const std::string p : {"globe_ih", "globe_th", "globe_oh"})
    ExpectFailure(::Run(p, {"1"}, "", {"STDIN=" + dir}), "point data read error.", p);
  const RunResult r = ::Run("polygrav_m", {DataPath("cube.vf.txt"), mem});
  ExpectFailure(r, "/proc/self/mem : file not found.", "polygrav_m");
}

// ------------------------------------------------------------ resources

// The kernel keeps its scratch on the heap: every program runs on a 128 kB
// stack (musl's default for threads), worker threads, whose default stack
// follows the limit, included.
TEST(Resources, EveryProgramRunsOnA128kBStack) {
  const std::vector<std::string> small = {"RLIMIT_STACK=131072", "THREADS=2"};
  const std::string model = DataPath("models/kleopatra.stl");
  for (const std::string& p : kTabled) {
    const RunResult r = ::Run(p, {model}, "", small);
    EXPECT_EQ(r.status, 0) << p << r.err;
  }
  for (const std::string p : {"fieldpts_s", "fieldpts_m"}) {
    const RunResult r = ::Run(p, {model, "-"}, "0 0 0\n300 0 0\n", small);
    EXPECT_EQ(r.status, 0) << p << r.err;
  }
  const RunResult r = ::Run("polygrav_m", {DataPath("models/kleopatra.vf.txt")}, "", small);
  EXPECT_EQ(r.status, 0) << r.err;
}

// A closed torus of 327,680 facets as binary STL (16 MB).
std::string Torus(int nu, int nv) {
  std::string s(80, '\0');
  little_endian::Append(&s, static_cast<uint32_t>(2 * nu * nv));
  auto at = [&](int i, int j) {
    const double u = 2 * M_PI * i / nu, v = 2 * M_PI * j / nv;
    return std::vector<float>{static_cast<float>((3 + std::cos(v)) * std::cos(u)),
                              static_cast<float>((3 + std::cos(v)) * std::sin(u)),
                              static_cast<float>(std::sin(v))};
  };
  auto facet = [&](const std::vector<float>& a, const std::vector<float>& b,
                   const std::vector<float>& c) {
    for (int k = 0; k < 3; ++k) little_endian::Append(&s, 0.0f);
    for (const auto* p : {&a, &b, &c})
      for (float x : *p) little_endian::Append(&s, x);
    little_endian::Append(&s, uint16_t{0});
  };
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      const auto a = at(i, j), b = at(i + 1, j), c = at(i + 1, j + 1), d = at(i, j + 1);
      facet(a, b, c);
      facet(a, c, d);
    }
  return s;
}

// The table is built within its stated 320 bytes per facet, reserved once:
// 327,680 facets (105 MB of table, 13 MB of facets) evaluate under a 150 MB
// address-space cap, where a table that grows by doubling and is then
// copied to fit (480 bytes per facet at its peak) does not.
TEST(Resources, TableFitsItsStatedBytesPerFacet) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory rules out an address-space cap";
  const std::string model = TempDir() + "/torus.stl";
  WriteFile(model, Torus(512, 320));
  const RunResult r = ::Run("fieldpts_s", {model, "-"}, "10 0 0\n", {"RLIMIT_AS=150000000"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  // The torus (R = 3, r = 1) holds 2 pi^2 R r^2 = 59.2; the potential outside
  // is near that of its mass at the centre, 59.2/10.
  EXPECT_NEAR(std::stod(first), 2 * M_PI * M_PI * 3, 0.01);
  double x, y, z, U;
  std::istringstream(second) >> x >> y >> z >> U;
  EXPECT_NEAR(U, 2 * M_PI * M_PI * 3 / 10, 0.2);
}

// --------------------------------------------------------------- numbers

// polygrav_m reads numbers as "%lf %lf %lf" does (an exponent letter without
// digits ends the number before it) and THREADS as every threaded program.
TEST(Polygrav, NumbersAndThreadsAsTheSuiteReadsThem) {
  const std::string vf = ReadFile(DataPath("cube.vf.txt"));
  const size_t second_line = vf.find('\n') + 1;
  std::string odd = vf;
  odd.replace(second_line, vf.find('\n', second_line) - second_line, "0e 0 0");
  const std::string dir = TempDir(), model = dir + "/m.vf.txt", points = dir + "/p.txt";
  WriteFile(model, odd);
  WriteFile(points, "0.5e 0.5 0.5\n2 2 2\n");
  RunResult r = ::Run("polygrav_m", {model, points});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) ++count;
  EXPECT_EQ(count, 3);  // the summary and both points
  ExpectFailure(::Run("polygrav_m", {model}, "", {"THREADS=2147483648"}), "bad number of THREADS.",
                "THREADS");
  // Ranges that cannot be written to standard error are a failure.
  EXPECT_EQ(::Run("polygrav_m", {model}, "", {"STDERR=/dev/full"}).status, 1);
}

// A colour range whose width is beyond the largest double maps every value
// of the model to the middle of the table, not to entry 0.
TEST(Colouring, RangeWiderThanTheLargestDouble) {
  const std::string dir = TempDir(), map = dir + "/mid.cm", out = dir + "/o.stl";
  WriteFile(map, "16384 255 0 0\n");
  for (const std::string p : {"geopot", "geopot_s", "geopot_m"}) {
    const RunResult r = ::Run(p, {DataPath("cube.stl"), "-1e308", "1e308", map, out});
    ASSERT_EQ(r.status, 0) << p << r.err;
    const std::string model = ReadFile(out);
    ASSERT_EQ(model.size(), 684u);
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(little_endian::At<uint16_t>(model, 84 + 50 * i + 48), 0xFC00) << p << " " << i;
  }
}

// Real exports whose sliver or zero-area facets have their centroid on a
// neighbour's edge: every value of the surface tools is a number, and the
// three builds agree.
TEST(SurfaceTools, NoNaNAtCentroidsOnANeighboursEdge) {
  for (const char* file :
       {"ascii_nan_normal_lowercase.stl", "binary_normals_opposite_winding_spider.stl"}) {
    const std::string model = DataPath(std::string("corpus/") + file);
    std::vector<std::vector<double>> builds;
    for (const std::string p : {"surfgrav", "surfgrav_s", "surfgrav_m"}) {
      const RunResult r = ::Run(p, {model});
      ASSERT_EQ(r.status, 0) << p << r.err;
      std::vector<double> values;
      std::istringstream in(r.out);
      std::string word;
      while (in >> word) values.push_back(std::strtod(word.c_str(), nullptr));
      for (double v : values) ASSERT_TRUE(std::isfinite(v)) << p << " " << file;
      builds.push_back(values);
    }
    ASSERT_EQ(builds[0].size(), builds[1].size());
    for (size_t i = 0; i < builds[0].size(); ++i) {
      const double scale = std::fabs(builds[0][i]) + 1e-6;
      EXPECT_NEAR(builds[0][i], builds[1][i], 1e-5 * scale) << file << " " << i;
      EXPECT_EQ(builds[1][i], builds[2][i]) << file << " " << i;
    }
    for (const std::string p : {"plumbline", "plumbline_s", "geopot", "geopot_m"}) {
      const RunResult r = ::Run(p, {model});
      ASSERT_EQ(r.status, 0) << p << r.err;
      EXPECT_EQ(r.out.find("nan"), std::string::npos) << p << " " << file << ": " << r.out;
    }
  }
}

}  // namespace
