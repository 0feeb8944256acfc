// One science::Body driven from two threads at once, as the Python module
// drives one Model from two Python threads (each evaluation runs without the
// GIL): the field, the gravity gradient tensor (whose table is made at its
// first use) and the surface products, exact and under a tolerance. Each
// thread must get the bits a lone caller gets, and those agree with the
// rectangular prism's closed form. Labelled threaded, so ThreadSanitizer
// runs it (scripts/sanitize.sh thread).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "science/body.h"
#include "science/surface.h"
#include "tests/support/prism.h"

namespace {

constexpr double kLo[3] = {0, 0, 0}, kHi[3] = {2, 1, 1.5};

// The box [0, 2] x [0, 1] x [0, 1.5], each face cut into n x n squares of two
// triangles (12 n^2 facets), counter-clockwise seen from outside, vertices
// shared across the faces. Coordinates are multiples of 1/(2n): exact.
mesh::Mesh Box(int n) {
  mesh::Mesh m;
  std::map<std::tuple<int, int, int>, uint32_t> index;
  auto vertex = [&](int q[3]) {
    const auto key = std::make_tuple(q[0], q[1], q[2]);
    const auto found = index.find(key);
    if (found != index.end()) return found->second;
    const auto i = static_cast<uint32_t>(m.VertexCount());
    for (int c = 0; c < 3; ++c) m.vertices.push_back(kLo[c] + (kHi[c] - kLo[c]) * q[c] / n);
    index.emplace(key, i);
    return i;
  };
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      // Running axes (ua, va) with ua x va along +axis; swapped on the low
      // side, so that every face's normal points out.
      const int ua = (axis + 1) % 3, va = (axis + 2) % 3;
      auto at = [&](int u, int v) {
        int q[3];
        q[axis] = side ? n : 0;
        q[ua] = side ? u : v;
        q[va] = side ? v : u;
        return vertex(q);
      };
      for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v) {
          const uint32_t a = at(u, v), b = at(u + 1, v), c = at(u + 1, v + 1), d = at(u, v + 1);
          m.faces.insert(m.faces.end(), {a, b, c, a, c, d});
        }
    }
  return m;
}

struct Points {
  std::vector<double> x, y, z;
};

// In the box [-0.5, 2.5] x [-0.5, 1.5] x [-0.5, 2]: a fifth inside the prism,
// the rest outside, never in a face's plane (with probability 1).
Points Scatter(size_t n) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> d(-1, 1);
  Points p;
  for (size_t i = 0; i < n; ++i) {
    p.x.push_back(1 + 1.5 * d(rng));
    p.y.push_back(0.5 + d(rng));
    p.z.push_back(0.75 + 1.25 * d(rng));
  }
  return p;
}

// Everything one caller asks of the body.
struct Results {
  std::vector<double> U, gx, gy, gz, tensor;
  science::Surface surface;
};

void Field(const science::Body& body, const Points& p, double tolerance, Results* r) {
  const size_t n = p.x.size();
  r->U.resize(n), r->gx.resize(n), r->gy.resize(n), r->gz.resize(n);
  EvaluateOptions options;
  options.threads = 2;
  options.tolerance = tolerance;
  body.part(0).Field(n, p.x.data(), p.y.data(), p.z.data(),
                     {r->U.data(), r->gx.data(), r->gy.data(), r->gz.data()}, options);
}

void Tensor(const science::Body& body, const Points& p, Results* r) {
  r->tensor.resize(6 * p.x.size());
  EvaluateOptions options;
  options.threads = 2;
  options.tolerance = 0;
  body.part(0).Gradient(p.x.size(), p.x.data(), p.y.data(), p.z.data(), r->tensor.data(), options);
}

void Surface(const science::Body& body, double tolerance, Results* r) {
  science::SurfaceRequest request;
  request.units.density = 1000;
  request.units.unit = "km";
  request.spin_period = 3;
  request.evaluation.tolerance = tolerance;
  request.evaluation.threads = 2;
  science::SurfaceOf(body, request, &r->surface, nullptr);
}

// Bit for bit (NaN included, though none is expected).
void ExpectSame(const std::vector<double>& a, const std::vector<double>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i)
    ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << what << " " << i;
}

void ExpectSame(const Results& a, const Results& b) {
  ExpectSame(a.U, b.U, "U");
  ExpectSame(a.gx, b.gx, "gx");
  ExpectSame(a.gy, b.gy, "gy");
  ExpectSame(a.gz, b.gz, "gz");
  ExpectSame(a.tensor, b.tensor, "tensor");
  ExpectSame(a.surface.U, b.surface.U, "surface U");
  ExpectSame(a.surface.slopeeff, b.surface.slopeeff, "surface slopeeff");
  ExpectSame({a.surface.U0}, {b.surface.U0}, "U0");
}

bool Inside(const Points& p, size_t i) {
  return p.x[i] > kLo[0] && p.x[i] < kHi[0] && p.y[i] > kLo[1] && p.y[i] < kHi[1] &&
         p.z[i] > kLo[2] && p.z[i] < kHi[2];
}

// Two threads on one body, each asking for everything in its own order
// (field first on one, the tensor first on the other, so that the tensor's
// table is made while the field runs), three rounds each; the results of
// every round against those of a lone caller on a body of its own.
void DriveFromTwoThreads(double tolerance) {
  const mesh::Mesh box = Box(8);
  const Points p = Scatter(400);
  const science::Body lone(box, 2, tolerance);
  Results want;
  Field(lone, p, tolerance, &want);
  Tensor(lone, p, &want);
  Surface(lone, tolerance, &want);

  // The lone caller's values against the closed form: the prism's U and g
  // to rounding of the facet sums, and the tensor's trace, which Poisson's
  // equation fixes at -4 pi inside (G rho = 1) and Laplace's at 0 outside.
  size_t inside = 0;
  for (size_t i = 0; i < p.x.size(); ++i) {
    const double at[3] = {p.x[i], p.y[i], p.z[i]};
    const PrismField f = Prism(kLo, kHi, at);
    const double tol = tolerance > 0 ? 10 * tolerance : 1e-12;
    EXPECT_NEAR(want.U[i], f.U, tol * std::fabs(f.U)) << i;
    const double g = std::sqrt(f.gx * f.gx + f.gy * f.gy + f.gz * f.gz);
    EXPECT_NEAR(want.gx[i], f.gx, tol * g + 1e-13) << i;
    EXPECT_NEAR(want.gy[i], f.gy, tol * g + 1e-13) << i;
    EXPECT_NEAR(want.gz[i], f.gz, tol * g + 1e-13) << i;
    const double* t = &want.tensor[6 * i];
    const double trace = t[0] + t[3] + t[5];
    inside += Inside(p, i);
    EXPECT_NEAR(trace, Inside(p, i) ? -4 * std::numbers::pi : 0, 1e-9) << i;
  }
  EXPECT_GT(inside, 40u);
  EXPECT_LT(inside, 160u);

  const science::Body shared(box, 2, tolerance);
  Results got[2][3];
  std::thread other([&] {
    for (Results& r : got[1]) {
      Tensor(shared, p, &r);
      Surface(shared, tolerance, &r);
      Field(shared, p, tolerance, &r);
    }
  });
  for (Results& r : got[0]) {
    Field(shared, p, tolerance, &r);
    Tensor(shared, p, &r);
    Surface(shared, tolerance, &r);
  }
  other.join();
  for (const auto& thread : got)
    for (const Results& r : thread) ExpectSame(r, want);
}

TEST(BodyThreads, TwoCallersGetTheLoneCallersBits) {
  DriveFromTwoThreads(0);
}

TEST(BodyThreads, TwoCallersUnderAToleranceGetTheLoneCallersBits) {
  DriveFromTwoThreads(1e-9);
}

}  // namespace
