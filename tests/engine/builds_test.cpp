// The field engines as the commands use them: far from the unit cube every
// build agrees with the closed forms of a point mass; the threaded engine
// gives the tabled engine's bits for every THREADS; the tabled and direct
// builds agree to rounding; fieldpts_s answers each point before it reads
// the next.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/read.h"
#include "engine/chooser.h"
#include "engine/direct.h"
#include "engine/kernel.h"
#include "engine/terms.h"
#include "tests/support/run.h"

namespace {

struct Mesh {
  uint32_t n = 0;
  Facet* f = nullptr;
  explicit Mesh(const std::string& path) { ReadFacet(path.c_str(), &n, &f); }
  ~Mesh() { std::free(f); }
  FacetView View() const { return FacetView::Of(n, f); }
};

struct Points {
  std::vector<double> x, y, z;
  size_t size() const { return x.size(); }
};

struct Results {
  std::vector<double> U, gx, gy, gz;
  explicit Results(size_t n) : U(n), gx(n), gy(n), gz(n) {}
  FieldOut Out() { return {U.data(), gx.data(), gy.data(), gz.data()}; }
  bool operator==(const Results& o) const {
    auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
      return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    };
    return same(U, o.U) && same(gx, o.gx) && same(gy, o.gy) && same(gz, o.gz);
  }
};

// Evaluates as a command does: in chunks of the engine's batch.
Results Evaluate(FieldEngine& engine, const Points& p) {
  Results r(p.size());
  const size_t batch = engine.Batch();
  for (size_t first = 0; first < p.size(); first += batch) {
    const size_t count = std::min(batch, p.size() - first);
    FieldOut out = r.Out();
    out.U += first, out.gx += first, out.gy += first, out.gz += first;
    engine.Evaluate(count, p.x.data() + first, p.y.data() + first, p.z.data() + first, out);
  }
  return r;
}

struct ThreadsEnv {  // sets THREADS for the engine's Start, restores it after
  explicit ThreadsEnv(const char* value) { setenv("THREADS", value, 1); }
  ~ThreadsEnv() { unsetenv("THREADS"); }
};

// ---- far field -----------------------------------------------------------

// Attraction error allowed at a distance of 10^k cube sizes, relative. The
// cube's quadrupole and octupole vanish: a point mass at its centroid differs
// from it by the degree-4 term, about 6e-10 at 10^2 sizes and 1e-4 times
// less at each further decade. Beyond, what remains is rounding, which the
// cancellation between facets magnifies about as r^2 (seen: 8.4e-10 at
// 10^3, 6.2e-8 at 10^4, 9.5e-6 at 10^5).
double Tolerance(int k) {
  switch (k) {
    case 2:
      return 1e-9;
    case 3:
      return 1e-9;
    case 4:
      return 1e-7;
    default:
      return 2e-5;
  }
}

void ExpectPointMass(FieldEngine& engine, const char* name) {
  const Mesh cube(DataPath("cube.stl"));
  engine.Start();
  engine.Load(cube.View());
  std::mt19937_64 rng(5);
  std::normal_distribution<double> gauss;
  for (int k = 2; k <= 5; ++k) {
    Points p;
    for (int i = 0; i < 24; ++i) {
      double d[3] = {gauss(rng), gauss(rng), gauss(rng)};
      const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const double r = std::pow(10.0, k);
      p.x.push_back(0.5 + r * d[0] / len);
      p.y.push_back(0.5 + r * d[1] / len);
      p.z.push_back(0.5 + r * d[2] / len);
    }
    const Results got = Evaluate(engine, p);
    for (size_t i = 0; i < p.size(); ++i) {
      const double dx = p.x[i] - 0.5, dy = p.y[i] - 0.5, dz = p.z[i] - 0.5;
      const double r = std::sqrt(dx * dx + dy * dy + dz * dz), r3 = r * r * r;
      const double ex = -dx / r3, ey = -dy / r3, ez = -dz / r3;  // V = 1
      const double err = std::sqrt(std::pow(got.gx[i] - ex, 2) + std::pow(got.gy[i] - ey, 2) +
                                   std::pow(got.gz[i] - ez, 2)) *
                         r * r;
      EXPECT_LT(err, Tolerance(k)) << name << " at 10^" << k << " sizes, point " << i;
      // The potential keeps its digits better: the cancellation in h S is milder.
      EXPECT_NEAR(got.U[i] * r, 1.0, Tolerance(k)) << name << " at 10^" << k << " sizes";
    }
  }
  engine.Release();
}

TEST(FarField, DirectBuildIsAPointMassFarAway) {
  DirectEngine engine;
  ExpectPointMass(engine, "direct");
}

TEST(FarField, TabledBuildsAreAPointMassFarAway) {
  Chooser guarded(TableGuard::kRelative);
  ExpectPointMass(guarded, "tabled, relative guard");
  Chooser unguarded(TableGuard::kNone);
  ExpectPointMass(unguarded, "tabled, no guard");
}

TEST(FarField, ThreadedBuildIsAPointMassFarAway) {
  ThreadsEnv two("2");
  Chooser engine(TableGuard::kRelative, Chooser::kThreadsSetting);
  ExpectPointMass(engine, "threaded");
}

TEST(FarField, EveryInstructionSetIsAPointMassFarAway) {
  for (kernel::Simd simd : {kernel::Simd::kBaseline, kernel::Simd::kAvx2, kernel::Simd::kAvx512}) {
    if (!kernel::Supported(simd)) continue;
    Chooser engine(TableGuard::kRelative, 1, simd);
    ExpectPointMass(engine, kernel::Name(simd));
  }
}

// ---- threaded = tabled, bit for bit --------------------------------------

Points Around(const FacetView& m, size_t n) {
  terms::VolumeSum v;
  float lo = 1e30f, hi = -1e30f;
  for (uint32_t f = 0; f < m.n; ++f) {
    const float* a = m.V(f);
    v.Add({a[0], a[1], a[2]}, {a[3], a[4], a[5]}, {a[6], a[7], a[8]});
    for (int k = 0; k < 9; ++k) lo = std::min(lo, a[k]), hi = std::max(hi, a[k]);
  }
  std::mt19937_64 rng(6);
  std::uniform_real_distribution<double> u(1.2 * lo, 1.2 * hi);
  Points p;
  for (size_t i = 0; i < n; ++i)
    p.x.push_back(u(rng)), p.y.push_back(u(rng)), p.z.push_back(u(rng));
  const float* a = m.V(3);  // a vertex and an edge point of the model
  p.x.push_back(a[0]), p.y.push_back(a[1]), p.z.push_back(a[2]);
  p.x.push_back((double{a[3]} + a[6]) / 2), p.y.push_back((double{a[4]} + a[7]) / 2);
  p.z.push_back((double{a[5]} + a[8]) / 2);
  return p;
}

TEST(Threaded, GivesTheTabledBitsForEveryThreadCount) {
  const Mesh model(std::string(SOURCE_DIR) + "/examples/kleopatra.stl");
  const Points p = Around(model.View(), 301);
  Chooser tabled(TableGuard::kRelative);
  tabled.Load(model.View());
  const Results want = Evaluate(tabled, p);
  // One point per call, as fieldpts_s reads a point file.
  Results single(p.size());
  for (size_t i = 0; i < p.size(); ++i)
    tabled.Evaluate(1, &p.x[i], &p.y[i], &p.z[i],
                    {&single.U[i], &single.gx[i], &single.gy[i], &single.gz[i]});
  EXPECT_TRUE(single == want);
  tabled.Release();
  for (const char* m : {"1", "2", "3", "7", "400"}) {
    ThreadsEnv env(m);
    Chooser threaded(TableGuard::kRelative, Chooser::kThreadsSetting);
    threaded.Start();
    threaded.Load(model.View());
    EXPECT_TRUE(Evaluate(threaded, p) == want) << "THREADS=" << m;
    threaded.Release();
  }
}

TEST(Threaded, ProgramsPrintTheTabledLinesForEveryThreadCount) {
  const std::string model = std::string(SOURCE_DIR) + "/examples/kleopatra.stl";
  const std::string points = TempDir() + "/points.txt";
  std::string text;
  const Mesh m(model);
  const Points p = Around(m.View(), 40);
  for (size_t i = 0; i < p.size(); ++i)
    text +=
        std::to_string(p.x[i]) + " " + std::to_string(p.y[i]) + " " + std::to_string(p.z[i]) + "\n";
  WriteFile(points, text);
  const RunResult fs = ::Run("fieldpts_s", {model, points});
  const RunResult fc = ::Run("fieldpts_s", {model});
  const RunResult ss = ::Run("surfgrav_s", {model});
  ASSERT_EQ(fs.status, 0) << fs.err;
  EXPECT_EQ(Lines(fs.out).size(), p.size() + 1);
  for (const char* t : {"1", "2", "3"}) {
    const std::vector<std::string> env = {std::string("THREADS=") + t};
    EXPECT_EQ(::Run("fieldpts_m", {model, points}, "", env).out, fs.out) << t;
    EXPECT_EQ(::Run("fieldpts_m", {model}, "", env).out, fc.out) << t;
    EXPECT_EQ(::Run("surfgrav_m", {model}, "", env).out, ss.out) << t;
  }
}

// ---- tabled = direct, to rounding -----------------------------------------

TEST(Tabled, AgreesWithTheDirectBuildAwayFromEdges) {
  const Mesh model(std::string(SOURCE_DIR) + "/examples/kleopatra.stl");
  Points p = Around(model.View(), 50);
  p.x.resize(50), p.y.resize(50), p.z.resize(50);  // off the edges: the guards act alike
  DirectEngine direct;
  direct.Load(model.View());
  Chooser tabled(TableGuard::kRelative);
  tabled.Load(model.View());
  const Results a = Evaluate(direct, p), b = Evaluate(tabled, p);
  for (size_t i = 0; i < p.size(); ++i) {
    // Different forms of the same terms (direct lengths and logarithms against
    // the table's reciprocals): agreement to about 1e-13 of the field's size.
    const double g = std::sqrt(a.gx[i] * a.gx[i] + a.gy[i] * a.gy[i] + a.gz[i] * a.gz[i]);
    EXPECT_NEAR(b.U[i], a.U[i], 1e-12 * std::fabs(a.U[i]));
    EXPECT_NEAR(b.gx[i], a.gx[i], 1e-12 * g);
    EXPECT_NEAR(b.gy[i], a.gy[i], 1e-12 * g);
    EXPECT_NEAR(b.gz[i], a.gz[i], 1e-12 * g);
  }
  tabled.Release();
}

// ---- fieldpts_s answers at once --------------------------------------------

// Reads one line from fd, waiting at most 30 s (a hang guard, not a timing).
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return line + "<no answer>";
    if (read(fd, &c, 1) != 1) return line + "<end>";
    if (c == '\n') return line;
    line += c;
  }
}

TEST(Tabled, FieldptsSAnswersEachPointBeforeReadingTheNext) {
  int to[2], from[2];
  ASSERT_EQ(pipe(to), 0);
  ASSERT_EQ(pipe(from), 0);
  const std::string program = std::string(SUITE_BIN_DIR) + "/fieldpts_s";
  const std::string model = DataPath("cube.stl");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(to[0], 0);
    dup2(from[1], 1);
    close(to[1]), close(from[0]);
    execl(program.c_str(), program.c_str(), model.c_str(), "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to[0]), close(from[1]);
  EXPECT_EQ(ReadLine(from[0]).substr(0, 12), "1.000000e+00");  // volume line
  const char* points[] = {"0.5 0.5 0.5\n", "0 0 0\n", "10.5 0.5 0.5\n"};
  const char* potentials[] = {"2.380077e+00", "1.190039e+00", "9.999985e-02"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(write(to[1], points[i], std::strlen(points[i])), ssize_t(std::strlen(points[i])));
    const std::vector<double> got = Numbers(ReadLine(from[0]));  // the pipe stays open
    ASSERT_EQ(got.size(), 7u) << i;
    EXPECT_EQ(Numbers(std::string(potentials[i]))[0], got[3]) << i;
  }
  close(to[1]);
  EXPECT_EQ(ReadLine(from[0]), "<end>");
  close(from[0]);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The batch programs read every point before they evaluate any, but their
// first line is complete before that: a reader of the pipe gets it while the
// point list is still open.
TEST(Threaded, FirstLineComesBeforeThePointsAreRead) {
  const struct {
    const char* program;
    std::string model, first;
  } cases[] = {{"fieldpts_m", DataPath("cube.stl"), "1.000000e+00"},
               {"polygrav_m", DataPath("cube.vf.txt"), "1.000000"}};
  for (const auto& c : cases) {
    int to[2], from[2];
    ASSERT_EQ(pipe(to), 0);
    ASSERT_EQ(pipe(from), 0);
    const std::string program = std::string(SUITE_BIN_DIR) + "/" + c.program;
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      close(to[1]), close(from[0]);
      execl(program.c_str(), program.c_str(), c.model.c_str(), "-", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to[0]), close(from[1]);
    EXPECT_EQ(ReadLine(from[0]).substr(0, c.first.size()), c.first) << c.program;
    close(to[1]);
    while (ReadLine(from[0]).find('<') == std::string::npos) {
    }
    close(from[0]);
    int status;
    waitpid(pid, &status, 0);
  }
}

}  // namespace
