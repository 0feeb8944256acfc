// The Stokes coefficients of polyhedra against values worked out apart from
// the library: the box's closed forms, the icosphere's symmetry and its
// tessellation bound, the series summed here with the test's own Legendre
// functions against the closed-form field (the prism's formula, the
// engine), a tensor-product Gauss quadrature of the volume integrals, the
// NEAR values of Eros; threads, degree 200, the files read back, the
// refusals.
#include "science/harmonics.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/print.h"
#include "globe/base.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/shape_harmonics.h"
#include "tests/support/asteroid.h"
#include "tests/support/gauss.h"
#include "tests/support/prism.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"

namespace {

using science::Harmonics;
using science::HarmonicsRequest;

// A model from facets (nine coordinates each), exactly equal corners welded.
mesh::Mesh Weld(const std::vector<double>& corners) {
  mesh::Mesh m;
  std::map<std::array<double, 3>, uint32_t> index;
  for (size_t i = 0; i < corners.size(); i += 3) {
    const std::array<double, 3> p{corners[i], corners[i + 1], corners[i + 2]};
    auto [it, added] = index.emplace(p, static_cast<uint32_t>(m.VertexCount()));
    if (added) m.vertices.insert(m.vertices.end(), p.begin(), p.end());
    m.faces.push_back(it->second);
  }
  return m;
}

// The box [c - s/2, c + s/2], outward.
mesh::Mesh Box(std::array<double, 3> s, std::array<double, 3> c) {
  auto corner = [&](int i) {
    return std::array<double, 3>{c[0] + (i & 1 ? 0.5 : -0.5) * s[0],
                                 c[1] + (i & 2 ? 0.5 : -0.5) * s[1],
                                 c[2] + (i & 4 ? 0.5 : -0.5) * s[2]};
  };
  // Each side as a quad of corner numbers, counter-clockwise seen from outside.
  const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                           {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  std::vector<double> v;
  for (const auto& q : quads)
    for (int t : {0, 1, 2, 0, 2, 3})
      for (double x : corner(q[t])) v.push_back(x);
  return Weld(v);
}

// The icosahedron of the globe programs, each face divided into k^2
// triangles on its barycentric grid, projected onto the unit sphere: the
// icosahedron's symmetry holds to rounding. An edge's points are computed
// from its two ends alike in both faces (x + 0 = x and sums commute), so
// shared corners are equal to the bit.
mesh::Mesh Icosphere(int k) {
  const Trigon* t = nullptr;
  const int faces = Polyhedron(t);
  std::vector<double> v;
  for (int f = 0; f < faces; ++f) {
    auto point = [&](int i, int j) {
      std::array<double, 3> p;
      for (int c = 0; c < 3; ++c)
        p[c] = (double(k - i - j) * t[f].corner[0][c] + double(i) * t[f].corner[1][c]) +
               double(j) * t[f].corner[2][c];
      const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
      for (double& c : p) c /= r;
      return p;
    };
    auto add = [&](std::array<double, 3> a, std::array<double, 3> b, std::array<double, 3> c) {
      for (const auto& p : {a, b, c}) v.insert(v.end(), p.begin(), p.end());
    };
    for (int i = 0; i < k; ++i)
      for (int j = 0; i + j < k; ++j) {
        add(point(i, j), point(i + 1, j), point(i, j + 1));
        if (i + j + 1 < k) add(point(i + 1, j), point(i + 1, j + 1), point(i, j + 1));
      }
  }
  return Weld(v);
}

mesh::Mesh Asteroid(int n) {
  std::vector<double> v;
  for (const Facet& f : models::Asteroid(n)) v.insert(v.end(), f.v, f.v + 9);
  return Weld(v);
}

// Fully normalised associated Legendre functions without the Condon-Shortley
// phase at t = sin(latitude), P[n][m], by the standard recursions in n.
struct Legendre {
  int N;
  std::vector<double> v;
  double* operator[](int n) { return &v[size_t(n) * size_t(N + 1)]; }
};
Legendre Pbar(int N, double t) {
  const double u = std::sqrt(1 - t * t);
  Legendre P{N, std::vector<double>(size_t(N + 1) * size_t(N + 1), 0.0)};
  P[0][0] = 1;
  for (int m = 1; m <= N; ++m)
    P[m][m] = u * std::sqrt((2.0 * m + 1) / (m == 1 ? 1 : 2.0 * m)) * P[m - 1][m - 1];
  for (int m = 0; m < N; ++m) {
    P[m + 1][m] = std::sqrt(2.0 * m + 3) * t * P[m][m];
    for (int n = m + 2; n <= N; ++n) {
      const double a = std::sqrt((2.0 * n - 1) * (2.0 * n + 1) / ((n - m) * double(n + m)));
      const double b = std::sqrt((2.0 * n + 1) * (n + m - 1) * double(n - m - 1) /
                                 ((n - m) * double(n + m) * (2.0 * n - 3)));
      P[n][m] = a * t * P[n - 1][m] - b * P[n - 2][m];
    }
  }
  return P;
}

// The series' potential at p (model units, G rho = 1 when GM is the volume).
double SeriesU(const Harmonics& h, std::array<double, 3> p) {
  const double x = p[0] - h.origin[0], y = p[1] - h.origin[1], z = p[2] - h.origin[2];
  const double r = std::sqrt(x * x + y * y + z * z), lon = std::atan2(y, x);
  auto P = Pbar(h.degree, z / r);
  double sum = 0;
  for (int n = h.degree; n >= 0; --n) {
    double ring = 0;
    for (int m = 0; m <= n; ++m)
      ring += P[n][m] * (h.Cnm(n, m) * std::cos(m * lon) + h.Snm(n, m) * std::sin(m * lon));
    sum += std::pow(h.reference_radius / r, n) * ring;
  }
  return h.GM() / r * sum;
}

// Points spread over the sphere of radius r about c.
std::vector<std::array<double, 3>> Sphere(size_t n, double r, std::array<double, 3> c = {}) {
  std::vector<std::array<double, 3>> p;
  for (size_t i = 0; i < n; ++i) {
    const double z = 1 - (2 * double(i) + 1) / double(n), phi = 2.399963229728653 * double(i);
    const double s = std::sqrt(1 - z * z);
    p.push_back({c[0] + r * s * std::cos(phi), c[1] + r * s * std::sin(phi), c[2] + r * z});
  }
  return p;
}

Harmonics Coefficients(const mesh::Mesh& m, int degree, std::optional<double> R0 = {},
                       science::HarmonicOrigin origin = science::HarmonicOrigin::kModel,
                       unsigned threads = 2, science::Units units = {}) {
  HarmonicsRequest r;
  r.degree = degree;
  r.reference_radius = R0;
  r.origin = origin;
  r.threads = threads;
  r.model = "model";
  return science::HarmonicsOf(m, units, r);
}

mesh::Mesh ErosKm() {
  return mesh::ReadModel(DataPath("models/eros1708_km.vf.txt"));
}

// ------------------------------------------------------------ closed forms

// A box of sides a, b, c centred at the origin: C20 and C22 from its second
// moments (x^2 averages a^2/12); every odd degree, every odd order and every
// S vanish by its mirror symmetries. Moved by d, degree 1 holds d / (sqrt(3) R0).
TEST(Harmonics, BoxClosedForms) {
  const double a = 3, b = 2, c = 1.2, R0 = 2;
  const Harmonics h = Coefficients(Box({a, b, c}, {0, 0, 0}), 8, R0);
  EXPECT_EQ(h.Cnm(0, 0), 1);
  EXPECT_NEAR(h.Cnm(2, 0), (2 * c * c - a * a - b * b) / (24 * std::sqrt(5.0) * R0 * R0), 1e-16);
  EXPECT_NEAR(h.Cnm(2, 2), 3 * std::sqrt(5.0 / 12) * (a * a - b * b) / (60 * R0 * R0), 1e-16);
  for (int n = 0; n <= 8; ++n)
    for (int m = 0; m <= n; ++m) {
      EXPECT_NEAR(h.Snm(n, m), 0, 1e-16) << n << " " << m;
      if (n % 2 || m % 2) {
        EXPECT_NEAR(h.Cnm(n, m), 0, 1e-16) << n << " " << m;
      }
    }
  EXPECT_DOUBLE_EQ(h.GM(), a * b * c);  // G rho = 1: the volume

  const std::array<double, 3> d{0.3, -0.2, 0.5};
  const Harmonics moved = Coefficients(Box({a, b, c}, d), 2, R0);
  EXPECT_NEAR(moved.Cnm(1, 0), d[2] / R0 / std::sqrt(3.0), 1e-16);
  EXPECT_NEAR(moved.Cnm(1, 1), d[0] / R0 / std::sqrt(3.0), 1e-16);
  EXPECT_NEAR(moved.Snm(1, 1), d[1] / R0 / std::sqrt(3.0), 1e-16);
  // About its centre of mass the moved box is the centred one.
  const Harmonics about =
      Coefficients(Box({a, b, c}, d), 2, R0, science::HarmonicOrigin::kCentreOfMass);
  EXPECT_NEAR(about.Cnm(1, 0), 0, 1e-15);
  EXPECT_NEAR(about.Cnm(2, 2), h.Cnm(2, 2), 1e-15);
  EXPECT_NEAR(about.origin[0], d[0], 1e-15);
}

// Without a reference radius, the Brillouin radius: the box's half diagonal.
// The series at three times it against the prism's closed form (1/3^9 of
// the truncation, far below the tolerance).
TEST(Harmonics, BoxSeriesAgainstThePrismFormula) {
  const std::array<double, 3> s{3, 2, 1.2};
  const Harmonics h = Coefficients(Box(s, {0, 0, 0}), 30);
  EXPECT_TRUE(h.brillouin);
  EXPECT_DOUBLE_EQ(h.reference_radius, 0.5 * std::sqrt(9 + 4 + 1.44));
  const double lo[3] = {-1.5, -1, -0.6}, hi[3] = {1.5, 1, 0.6};
  for (const auto& p : Sphere(25, 3 * h.reference_radius)) {
    const double want = Prism(lo, hi, p.data()).U;
    EXPECT_NEAR(SeriesU(h, p), want, 1e-13 * want);
  }
}

// A sphere tessellated with the icosahedron's symmetry: C00 = 1, degrees 1
// to 5 vanish (no harmonic below degree 6 is invariant under that group),
// and every other coefficient is bounded by the tessellation: the body is
// the unit ball less a shell of depth at most delta (the sagitta of the
// flattest facet), whence |C_nm| <= 3 delta / (2n + 1) to first order in delta.
TEST(Harmonics, IcosphereAsTheTessellationPredicts) {
  const mesh::Mesh sphere = Icosphere(12);  // 2880 facets
  double delta = 0;
  for (size_t f = 0; f < sphere.FaceCount(); ++f) {
    const double* A = &sphere.vertices[3 * sphere.faces[3 * f]];
    const double* B = &sphere.vertices[3 * sphere.faces[3 * f + 1]];
    const double* C = &sphere.vertices[3 * sphere.faces[3 * f + 2]];
    const double u[3] = {B[0] - A[0], B[1] - A[1], B[2] - A[2]};
    const double w[3] = {C[0] - A[0], C[1] - A[1], C[2] - A[2]};
    const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2],
                         u[0] * w[1] - u[1] * w[0]};
    const double plane = (n[0] * A[0] + n[1] * A[1] + n[2] * A[2]) /
                         std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    delta = std::max(delta, 1 - plane);
  }
  const Harmonics h = Coefficients(sphere, 16, 1);
  EXPECT_EQ(h.Cnm(0, 0), 1);
  double largest = 0;
  for (int n = 1; n <= 16; ++n)
    for (int m = 0; m <= n; ++m) {
      const double bound = n < 6 ? 1e-15 : 1.1 * 3 * delta / (2 * n + 1);
      EXPECT_LE(std::fabs(h.Cnm(n, m)), bound) << n << " " << m;
      EXPECT_LE(std::fabs(h.Snm(n, m)), bound) << n << " " << m;
      if (n == 6) largest = std::max({largest, std::fabs(h.Cnm(n, m)), std::fabs(h.Snm(n, m))});
    }
  EXPECT_GT(largest, 0.01 * delta);  // degree 6 is the tessellation's, not zero
}

// ------------------------------------------------------------ independent sums

// The normalised Eros (14,744 facets): the series to degree 30 at three
// Brillouin radii against the engine's closed-form field.
TEST(Harmonics, SeriesAgainstTheClosedFormField) {
  const mesh::Mesh m = mesh::ReadModel(DataPath("models/eros.vf.txt"));
  const Harmonics h = Coefficients(m, 30);
  const science::Body body(m, 2);
  for (const auto& p : Sphere(40, 3 * h.reference_radius, {0.1, -0.05, 0.02})) {
    double U = 0;
    body.part(0).Field(1, &p[0], &p[1], &p[2], {&U, nullptr, nullptr, nullptr}, {});
    EXPECT_NEAR(SeriesU(h, p), U, 2e-14 * U);
  }
}

// The coefficients by quadrature: over each tetrahedron (origin, A, B, C)
// the collapsed map p = u (A + v (B - A) + v w (C - B)) of the unit cube,
// Jacobian u^2 v det(A, B, C), turns a polynomial of degree n into one of
// degree n + 2 in u, n + 1 in v and n in w: `points` Gauss points a side
// integrate it exactly while 2 points - 1 >= n + 2.
Harmonics Quadrature(const mesh::Mesh& m, int N, double R0, int points) {
  std::vector<double> x, w;
  Gauss(points, &x, &w);
  const size_t side = size_t(N) + 1;
  std::vector<long double> C(side * side), S(side * side);
  long double volume = 0;
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    const double* A = &m.vertices[3 * m.faces[3 * f]];
    const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* D = &m.vertices[3 * m.faces[3 * f + 2]];
    const double det = A[0] * (B[1] * D[2] - B[2] * D[1]) - A[1] * (B[0] * D[2] - B[2] * D[0]) +
                       A[2] * (B[0] * D[1] - B[1] * D[0]);
    for (int i = 0; i < points; ++i)
      for (int j = 0; j < points; ++j)
        for (int k = 0; k < points; ++k) {
          const double u = x[i], v = x[j], t = x[k];
          const double weight = w[i] * w[j] * w[k] * u * u * v * det;
          double p[3];
          for (int c = 0; c < 3; ++c) p[c] = u * (A[c] + v * (B[c] - A[c]) + v * t * (D[c] - B[c]));
          const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
          const double lon = std::atan2(p[1], p[0]);
          auto P = Pbar(N, p[2] / r);
          volume += weight;
          std::vector<double> c(side), s(side);
          for (size_t q = 0; q < side; ++q)
            c[q] = std::cos(double(q) * lon), s[q] = std::sin(double(q) * lon);
          for (int n = 0; n <= N; ++n) {
            const double radial = std::pow(r / R0, n) * weight;
            for (int q = 0; q <= n; ++q) {
              C[n * side + q] += radial * P[n][q] * c[q];
              S[n * side + q] += radial * P[n][q] * s[q];
            }
          }
        }
  }
  Harmonics h;
  h.degree = N;
  for (int n = 0; n <= N; ++n)
    for (int q = 0; q <= n; ++q) {
      C[n * side + q] /= (2 * n + 1) * volume;
      S[n * side + q] /= (2 * n + 1) * volume;
    }
  h.C.assign(C.begin(), C.end());
  h.S.assign(S.begin(), S.end());
  return h;
}

// Every coefficient within `relative` of the largest of its degree.
void ExpectSame(const Harmonics& got, const Harmonics& want, int N, double relative) {
  for (int n = 0; n <= N; ++n) {
    double scale = 0;
    for (int m = 0; m <= n; ++m)
      scale = std::max({scale, std::fabs(want.Cnm(n, m)), std::fabs(want.Snm(n, m))});
    for (int m = 0; m <= n; ++m) {
      EXPECT_NEAR(got.Cnm(n, m), want.Cnm(n, m), relative * scale) << n << " " << m;
      EXPECT_NEAR(got.Snm(n, m), want.Snm(n, m), relative * scale) << n << " " << m;
    }
  }
}

// A generated asteroid (432 facets, lumpy, about 20 x 14 x 10) to degree 8,
// and one tetrahedron off the origin to degree 40, each coefficient within
// 2e-14 of the largest of its degree (the quadrature's sums are kept in long
// double: in double their rounding alone reached 4e-14).
TEST(Harmonics, GaussQuadratureOfTheVolumeIntegrals) {
  const mesh::Mesh asteroid = Asteroid(6);
  ExpectSame(Coefficients(asteroid, 8, 12), Quadrature(asteroid, 8, 12, 6), 8, 2e-14);

  mesh::Mesh tetra;
  tetra.vertices = {0.2, 0.1, 0.3, 1.0, 0.2, 0.4, 0.3, 0.9, 0.2, 0.4, 0.3, 1.1};
  tetra.faces = {0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3};
  ExpectSame(Coefficients(tetra, 40, 1.2), Quadrature(tetra, 40, 1.2, 22), 40, 2e-14);
}

// Eros in km (the NEAR plate model of 1,708 plates) at 2670 kg/m^3 and
// R0 = 16 km against the NEAR radio-science values (Miller et al. 2002,
// Icarus 155): C20 -0.0525, C22 0.0824, S22 -0.0281 within 3 %, the long
// axis at atan2(S22, C22) / 2 = -9.4 degrees within 1 degree, and GM
// 446,310 m^3/s^2 within 1 % (the plate model's volume is 0.5 % below
// theirs).
TEST(Harmonics, ErosAgainstNear) {
  science::Units units;
  units.density = 2670;
  units.metres = 1000;
  units.unit = "km";
  const Harmonics h = Coefficients(ErosKm(), 4, 16, science::HarmonicOrigin::kModel, 2, units);
  EXPECT_NEAR(h.Cnm(2, 0), -0.0525, 0.03 * 0.0525);
  EXPECT_NEAR(h.Cnm(2, 2), 0.0824, 0.03 * 0.0824);
  EXPECT_NEAR(h.Snm(2, 2), -0.0281, 0.03 * 0.0281);
  EXPECT_NEAR(std::atan2(h.Snm(2, 2), h.Cnm(2, 2)) / 2 * 180 / std::numbers::pi, -9.4, 1);
  EXPECT_NEAR(h.GM(), 446310, 0.01 * 446310);
  EXPECT_DOUBLE_EQ(h.ReferenceRadiusMetres(), 16000);
}

// ------------------------------------------------------------ exactness

// The same bits for 1, 2 and 3 threads, over several rounds of blocks
// (19,200 facets); Eros in km likewise.
TEST(Harmonics, SameBitsForEveryThreadCount) {
  for (const mesh::Mesh& m : {Asteroid(40), ErosKm()}) {
    const Harmonics one = Coefficients(m, 24, {}, science::HarmonicOrigin::kModel, 1);
    for (unsigned threads : {2u, 3u}) {
      const Harmonics more = Coefficients(m, 24, {}, science::HarmonicOrigin::kModel, threads);
      EXPECT_EQ(std::memcmp(one.C.data(), more.C.data(), one.C.size() * sizeof(double)), 0);
      EXPECT_EQ(std::memcmp(one.S.data(), more.S.data(), one.S.size() * sizeof(double)), 0);
    }
  }
}

// The tetrahedra's sums of 1,000 facets of Eros in vectors of every
// instruction set this processor has: the same bits (the kernel keeps eight
// lanes whatever the width of its vectors, and fuses no multiply-add).
TEST(Harmonics, SameBitsOnEveryInstructionSet) {
  const std::vector<double> corners = ErosKm().FaceCorners();
  const double origin[3] = {0.1, 0.2, 0.3};
  std::vector<double> want;
  for (kernel::Simd simd : {kernel::Simd::kBaseline, kernel::Simd::kAvx2, kernel::Simd::kAvx512}) {
    if (!kernel::Supported(simd)) continue;
    science::shape::Integrals sums(30, simd);
    std::vector<double> got(2 * sums.Count());
    sums.Sum(corners.data(), 1000, origin, 1 / 20.0, 2670, got.data());
    if (want.empty()) want = got;
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0)
        << kernel::Name(simd);
  }
}

// Degree 200 about the Brillouin sphere: every coefficient finite and at
// most 1 (the average of |Pbar_nm| / (2n + 1) over the body); degrees up to
// 8 the same bits as a run to degree 8 (a degree's sums do not depend on
// the degrees above it); and the series at 1.1 Brillouin radii, where the
// terms of degree 100 to 200 still weigh, against the closed-form field.
TEST(Harmonics, Degree200WithoutLoss) {
  const mesh::Mesh m = ErosKm();
  const Harmonics high = Coefficients(m, 200), low = Coefficients(m, 8);
  for (int n = 0; n <= 200; ++n)
    for (int q = 0; q <= n; ++q) {
      ASSERT_LE(std::fabs(high.Cnm(n, q)), 1) << n << " " << q;
      ASSERT_LE(std::fabs(high.Snm(n, q)), 1) << n << " " << q;
      if (n <= 8) {
        EXPECT_EQ(high.Cnm(n, q), low.Cnm(n, q));
        EXPECT_EQ(high.Snm(n, q), low.Snm(n, q));
      }
    }
  const science::Body body(m, 2);
  for (const auto& p : Sphere(12, 1.1 * high.reference_radius)) {
    double U = 0;
    body.part(0).Field(1, &p[0], &p[1], &p[2], {&U, nullptr, nullptr, nullptr}, {});
    EXPECT_NEAR(SeriesU(high, p), U, 1e-13 * U);
  }
}

// ------------------------------------------------------------ files

// Fields of the lines of `text` that start with `key` (split at blanks and
// commas).
std::vector<std::vector<std::string>> Records(const std::string& text, const std::string& key) {
  std::vector<std::vector<std::string>> out;
  for (const std::string& line : Lines(text)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string s = line;
    for (char& c : s)
      if (c == ',') c = ' ';
    std::istringstream words(s);
    out.emplace_back();
    for (std::string w; words >> w;) out.back().push_back(w);
  }
  return out;
}

double Number(const std::string& s) {
  return std::strtod(s.c_str(), nullptr);
}

TEST(HarmonicsFiles, ReadBack) {
  science::Units units;
  units.density = 2670;
  units.metres = 1000;
  units.unit = "km";
  const int N = 6;
  const Harmonics h = Coefficients(ErosKm(), N, 16, science::HarmonicOrigin::kModel, 2, units);
  const size_t rows = size_t(N + 1) * (N + 2) / 2;

  // ICGEM: the header's keywords, then "gfc n m C S 0 0", every value to the bit.
  const std::string icgem = science::HarmonicsText(h, science::HarmonicsFormat::kIcgem);
  std::map<std::string, std::string> head;
  for (const std::string& line : Lines(icgem.substr(0, icgem.find("end_of_head")))) {
    std::istringstream words(line);
    std::string k, v;
    if (words >> k >> v) head[k] = v;
  }
  EXPECT_EQ(head["product_type"], "gravity_field");
  EXPECT_EQ(head["modelname"], "model");
  EXPECT_EQ(Number(head["earth_gravity_constant"]), h.GM());
  EXPECT_EQ(Number(head["radius"]), 16000);
  EXPECT_EQ(head["max_degree"], "6");
  EXPECT_EQ(head["errors"], "no");
  EXPECT_EQ(head["norm"], "fully_normalized");
  EXPECT_EQ(head["tide_system"], "unknown");
  const auto gfc = Records(icgem, "gfc ");
  ASSERT_EQ(gfc.size(), rows);
  size_t i = 0;
  for (int n = 0; n <= N; ++n)
    for (int m = 0; m <= n; ++m, ++i) {
      ASSERT_EQ(gfc[i].size(), 7u);
      EXPECT_EQ(gfc[i][1], std::to_string(n));
      EXPECT_EQ(gfc[i][2], std::to_string(m));
      EXPECT_EQ(Number(gfc[i][3]), h.Cnm(n, m));
      EXPECT_EQ(Number(gfc[i][4]), h.Snm(n, m));
      EXPECT_EQ(gfc[i][5] + gfc[i][6], "00");
    }

  // SHADR: R0 km, GM km^3/s^2, 0, degree, order, 1, 0, 0; then records from
  // degree 0, 17 digits each (the same doubles).
  const std::string shadr = science::HarmonicsText(h, science::HarmonicsFormat::kShadr);
  const auto records = Records(shadr, "");
  ASSERT_EQ(records.size(), rows + 1);
  const auto& top = records[0];
  ASSERT_EQ(top.size(), 8u);
  EXPECT_EQ(Number(top[0]), 16);
  EXPECT_EQ(Number(top[1]), h.GM() / 1e9);
  EXPECT_EQ(Number(top[2]), 0);
  EXPECT_EQ(top[3] + " " + top[4] + " " + top[5], "6 6 1");
  EXPECT_EQ(Number(top[6]) + Number(top[7]), 0);
  for (size_t r = 1; r < records.size(); ++r) EXPECT_EQ(records[r].size(), 6u);
  EXPECT_EQ(records[6][0] + records[6][1], "22");  // after (0,0) (1,0) (1,1) (2,0) (2,1)
  EXPECT_EQ(Number(records[6][2]), h.Cnm(2, 2));
  EXPECT_EQ(Number(records[6][3]), h.Snm(2, 2));
  // Fixed-length records of 122 bytes ending in CR LF: the header's 137
  // bytes (E23.16, I5, commas) in two, a coefficient's 107 in one.
  ASSERT_EQ(shadr.size(), (rows + 2) * 122);
  EXPECT_EQ(shadr.find_first_not_of(' ', 137), 242u);
  for (size_t at = 242; at < shadr.size(); at += 122) {
    EXPECT_EQ(shadr.substr(at, 2), "\r\n") << at;
    if (at > 242) {  // 13 spaces after the fields
      EXPECT_EQ(shadr.find_first_not_of(' ', at - 13), at) << at;
      EXPECT_NE(shadr[at - 14], ' ') << at;
    }
  }
  EXPECT_EQ(shadr.find('\n'), 243u);

  // TSV: the convention and the units in '#' lines, then n m C S.
  const std::string tsv = science::HarmonicsText(h, science::HarmonicsFormat::kTsv);
  EXPECT_NE(tsv.find("# convention: 4-pi fully normalised, no Condon-Shortley phase"),
            std::string::npos);
  EXPECT_NE(tsv.find("# reference radius R0: 16 km (16000 m)\n"), std::string::npos);
  EXPECT_NE(tsv.find("# GM: " + ShortestDigits(h.GM()) + " m^3/s^2 (density 2670 kg/m^3"),
            std::string::npos);
  EXPECT_NE(tsv.find("# n\tm\tC\tS\n"), std::string::npos);
  const auto tsv_rows = Records(tsv, "2\t2\t");
  ASSERT_EQ(tsv_rows.size(), 1u);
  EXPECT_EQ(Number(tsv_rows[0][2]), h.Cnm(2, 2));
  EXPECT_EQ(Number(tsv_rows[0][3]), h.Snm(2, 2));

  // NPY: the four fields, then `rows` records of four little-endian doubles.
  const std::string npy = science::HarmonicsText(h, science::HarmonicsFormat::kNpy);
  ASSERT_EQ(npy.substr(1, 5), "NUMPY");
  EXPECT_NE(npy.find("[('n', '<f8'), ('m', '<f8'), ('C', '<f8'), ('S', '<f8'), ]"),
            std::string::npos);
  const size_t data = 10 + (uint8_t(npy[8]) | size_t(uint8_t(npy[9])) << 8);
  ASSERT_EQ(npy.size(), data + rows * 32);
  double record[4];
  std::memcpy(record, npy.data() + data + 5 * 32, 32);  // row 5: (2, 2), on a little-endian host
  EXPECT_EQ(record[0] + record[1], 4);
  EXPECT_EQ(record[2], h.Cnm(2, 2));
}

// ------------------------------------------------------------ files for orbit propagators

// A box 0.3 off the origin in x: about the model's origin its degree-1 term
// C11 is x / (sqrt 3 R0), and a file for a propagator of it is worth a
// warning that names the offset; about the centre of mass, or as a table,
// it is not.
TEST(HarmonicsFiles, TheCentreOfMassForPropagators) {
  using science::HarmonicsFormat;
  EXPECT_EQ(science::DefaultHarmonicOrigin(HarmonicsFormat::kIcgem),
            science::HarmonicOrigin::kCentreOfMass);
  EXPECT_EQ(science::DefaultHarmonicOrigin(HarmonicsFormat::kShadr),
            science::HarmonicOrigin::kCentreOfMass);
  for (auto f : {HarmonicsFormat::kTsv, HarmonicsFormat::kCsv, HarmonicsFormat::kNpy})
    EXPECT_EQ(science::DefaultHarmonicOrigin(f), science::HarmonicOrigin::kModel);
  science::Units units;
  units.density = 1000;
  units.unit = "m";
  const mesh::Mesh box = Box({1, 2, 3}, {0.3, 0, 0});
  const Harmonics off = Coefficients(box, 2, 4, science::HarmonicOrigin::kModel, 1, units);
  EXPECT_NEAR(off.Cnm(1, 1), 0.3 / (std::sqrt(3.0) * 4), 1e-16);
  const std::string warning = science::HarmonicsFileWarning(off, HarmonicsFormat::kShadr);
  EXPECT_EQ(warning.substr(0, 78),
            "format shadr: the expansion is about the model's origin, 0.3 m from the centre");
  EXPECT_NE(warning.find("(C10 0, C11 0.0433, S11 0)"), std::string::npos) << warning;
  EXPECT_NE(warning.find(Quantity("origin") + " centre-of-mass"), std::string::npos);
  EXPECT_EQ(science::HarmonicsFileWarning(off, HarmonicsFormat::kIcgem).substr(0, 13),
            "format icgem:");
  EXPECT_EQ(science::HarmonicsFileWarning(off, HarmonicsFormat::kTsv), "");
  const Harmonics about = Coefficients(box, 2, 4, science::HarmonicOrigin::kCentreOfMass, 1, units);
  EXPECT_EQ(science::HarmonicsFileWarning(about, HarmonicsFormat::kIcgem), "");
  // Centred, degree 1 is zero to rounding: nothing to warn of.
  const Harmonics centred =
      Coefficients(Box({1, 2, 3}, {0, 0, 0}), 2, 4, science::HarmonicOrigin::kModel, 1, units);
  EXPECT_EQ(science::HarmonicsFileWarning(centred, HarmonicsFormat::kIcgem), "");
  EXPECT_EQ(science::HarmonicsFileWarning(
                Coefficients(box, 0, 4, science::HarmonicOrigin::kModel, 1, units),
                HarmonicsFormat::kIcgem),
            "");
}

// A tiny negative coefficient's three-digit exponent keeps its record 122
// bytes long: 16 digits then, in the 23 characters of E23.16.
TEST(HarmonicsFiles, ShadrRecordsStayFixedAtAnyExponent) {
  Harmonics h;
  h.degree = 1;
  h.C = {1, 0, -4.9406564584124654e-324, -1.2345678901234567e-150};
  h.S = {0, 0, 0, 2.5e-200};
  h.units.density = 1000;
  h.reference_radius = 1;
  h.gm = 1;
  const std::string shadr = science::HarmonicsText(h, science::HarmonicsFormat::kShadr);
  ASSERT_EQ(shadr.size(), 5 * 122u);
  const auto records = Records(shadr, "");
  EXPECT_EQ(records[2][2], "-4.940656458412465E-324");
  EXPECT_EQ(Number(records[3][2]), -1.234567890123457e-150);
  EXPECT_EQ(Number(records[3][3]), 2.5e-200);
  for (size_t at = 242; at < shadr.size(); at += 122) EXPECT_EQ(shadr.substr(at, 2), "\r\n");
}

// The SHADR label (read field by field in tests/python): CR LF lines of at
// most 80 characters, the record count of the file; and where it goes.
TEST(HarmonicsFiles, ShadrLabel) {
  science::Units units;
  units.density = 2670;
  units.metres = 1000;
  units.unit = "km";
  const Harmonics h =
      Coefficients(ErosKm(), 4, 16, science::HarmonicOrigin::kCentreOfMass, 1, units);
  const std::string label = science::ShadrLabel(h, "eros.tab");
  for (size_t at = 0, end; at < label.size(); at = end + 2) {
    end = label.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end - at, 80u) << label.substr(at, end - at);
    EXPECT_EQ(label.substr(at, end - at).find('\n'), std::string::npos);
  }
  EXPECT_NE(label.find("\r\nFILE_RECORDS                 = 17\r\n"), std::string::npos);
  EXPECT_EQ(label.substr(label.size() - 5), "END\r\n");

  using science::HarmonicsFiles;
  using science::HarmonicsFormat;
  const science::FileList beside{{"output", "out/eros.tab"}, {"output", "out/eros.lbl"}};
  EXPECT_EQ(HarmonicsFiles("out/eros.tab", HarmonicsFormat::kShadr), beside);
  EXPECT_EQ(HarmonicsFiles("eros", HarmonicsFormat::kShadr)[1].second, "eros.lbl");
  EXPECT_EQ(HarmonicsFiles("-", HarmonicsFormat::kShadr).size(), 1u);
  EXPECT_EQ(HarmonicsFiles("eros.tab", HarmonicsFormat::kIcgem).size(), 1u);
  EXPECT_EQ(Refusal([&] { HarmonicsFiles("eros.lbl", HarmonicsFormat::kShadr); }),
            "output: eros.lbl: a SHADR file's label is written beside it as NAME.lbl: name the "
            "file NAME.tab");
  EXPECT_EQ(Refusal([&] { HarmonicsFiles("a\"b.tab", HarmonicsFormat::kShadr, "path"); }),
            "path: a\"b.tab: the name of a SHADR file is quoted in its label: printable ASCII "
            "but '\"'");
}

// ------------------------------------------------------------ refusals

TEST(Harmonics, RefusesBadInput) {
  const mesh::Mesh box = Box({1, 2, 3}, {0, 0, 0});
  EXPECT_EQ(Refusal([&] { Coefficients(box, -1); }), "degree: -1 is not a degree from 0 to 1000");
  EXPECT_EQ(Refusal([&] { Coefficients(box, 1001); }),
            "degree: 1001 is not a degree from 0 to 1000");
  EXPECT_EQ(Refusal([&] { Coefficients(box, 4, -1); }), "reference_radius: not a positive number");
  EXPECT_EQ(Refusal([&] { Coefficients(box, 4, NAN); }), "reference_radius: not a positive number");
  // (1.87 / 1e-3)^200 overflows.
  EXPECT_EQ(Refusal([&] { Coefficients(box, 200, 1e-3); }).substr(0, 60),
            "reference_radius: 0.001 is so far inside the Brillouin spher");
  mesh::Mesh open = box;
  open.faces.resize(open.faces.size() - 3);
  EXPECT_EQ(Refusal([&] { Coefficients(open, 4); }),
            "model: unfit for the field formulas: not closed: 3 boundary edges");
  const Harmonics h = Coefficients(box, 2);
  EXPECT_EQ(Refusal([&] { science::HarmonicsText(h, science::HarmonicsFormat::kIcgem); }),
            "format icgem needs a density, mass or GM: the file's GM is in SI units");
  EXPECT_EQ(Refusal([&] { science::HarmonicsText(h, science::HarmonicsFormat::kShadr); }),
            "format shadr needs a density, mass or GM: the file's GM is in SI units");
  EXPECT_EQ(Refusal([&] { science::HarmonicsFormatOf("gfc"); }),
            "format: \"gfc\" is not one of tsv, csv, npy, icgem, shadr");
  EXPECT_EQ(Refusal([&] { science::HarmonicOriginOf("centroid"); }),
            "origin: \"centroid\" is not one of model, centre-of-mass");
  mesh::Mesh inward = box;
  for (size_t f = 0; f < inward.faces.size(); f += 3)
    std::swap(inward.faces[f], inward.faces[f + 1]);
  EXPECT_EQ(Refusal([&] { Coefficients(inward, 4); }).substr(0, 52),
            "model: unfit for the field formulas: oriented inward");
  mesh::Mesh bad = box;
  bad.vertices[4] = NAN;
  EXPECT_EQ(Refusal([&] {
              science::PartsHarmonics({{bad.FaceCorners().data(), 12, 1}}, {}, {});
            }),
            "a vertex is not a finite number");
}

// ------------------------------------------------------------ the program

// polyfield harmonics writes the library's bytes; its refusals are one line
// naming the option or the file, status 1.
TEST(HarmonicsProgram, TheLibrarysFilesAndRefusals) {
  const std::string eros = DataPath("models/eros1708_km.vf.txt");
  science::Units units;
  units.density = 2670;
  units.metres = 1000;
  units.unit = "km";
  HarmonicsRequest r;
  r.degree = 10;
  r.reference_radius = 16;
  r.origin = science::HarmonicOrigin::kCentreOfMass;
  r.model = eros;
  const Harmonics h = science::HarmonicsOf(ErosKm(), units, r);
  for (const char* format : {"tsv", "icgem", "shadr"}) {
    const RunResult run =
        ::Run("polyfield",
              {"harmonics", eros, "--degree", "10", "--reference-radius", "16", "--density", "2670",
               "--unit", "km", "--origin", "centre-of-mass", "--format", format, "--threads", "3"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, science::HarmonicsText(h, science::HarmonicsFormatOf(format))) << format;
  }
  // Without --origin, ICGEM and SHADR about the centre of mass, the tables
  // about the model's origin; --origin model with ICGEM, one line of warning.
  r.origin = science::HarmonicOrigin::kModel;
  const Harmonics model = science::HarmonicsOf(ErosKm(), units, r);
  const std::vector<std::string> args{
      "harmonics", eros,        "--degree", "10",     "--reference-radius",
      "16",        "--density", "2670",     "--unit", "km"};
  for (const char* format : {"tsv", "icgem", "shadr"}) {
    auto a = args;
    a.insert(a.end(), {"--format", format});
    const RunResult run = ::Run("polyfield", a);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "") << format;
    const science::HarmonicsFormat f = science::HarmonicsFormatOf(format);
    EXPECT_EQ(run.out, science::HarmonicsText(std::string(format) == "tsv" ? model : h, f))
        << format;
  }
  auto a = args;
  a.insert(a.end(), {"--format", "icgem", "--origin", "model"});
  const RunResult warned = ::Run("polyfield", a);
  EXPECT_EQ(warned.status, 0);
  EXPECT_EQ(warned.out, science::HarmonicsText(model, science::HarmonicsFormat::kIcgem));
  EXPECT_EQ(warned.err.substr(0, 88),
            "polyfield: format icgem: the expansion is about the model's origin, 0.05 km from the "
            "cen");
  EXPECT_EQ(warned.err.find('\n'), warned.err.size() - 1);
  EXPECT_NE(warned.err.find("(--origin centre-of-mass expands about it)\n"), std::string::npos);
  // SHADR into a file: its label beside it.
  const std::string dir = TempDir(), tab = dir + "/eros.tab";
  a = args;
  a.insert(a.end(), {"--format", "shadr", "-o", tab});
  ASSERT_EQ(::Run("polyfield", a).status, 0);
  EXPECT_EQ(ReadFile(tab), science::HarmonicsText(h, science::HarmonicsFormat::kShadr));
  EXPECT_EQ(ReadFile(dir + "/eros.lbl"), science::ShadrLabel(h, "eros.tab"));

  mesh::Mesh open = Box({1, 1, 1}, {0, 0, 0});
  open.faces.resize(open.faces.size() - 3);
  const std::string holed = TempDir() + "/holed.vf.txt";
  mesh::WriteModel(holed, open, mesh::Format::kVf);
  ExpectFailure(::Run("polyfield", {"harmonics", holed, "--degree", "2"}),
                "polyfield: " + holed +
                    ": unfit for the field formulas: not closed: 3 boundary edges (polyfield "
                    "check tells more)",
                "open model");
  ExpectFailure(
      ::Run("polyfield", {"harmonics", eros, "--degree", "2", "--format", "icgem"}),
      "polyfield: --format icgem needs a density, mass or GM: the file's GM is in SI units",
      "icgem without a density");
  ExpectFailure(::Run("polyfield", {"harmonics", eros, "--degree", "5000"}),
                "polyfield: --degree: 5000 is not a degree from 0 to 1000", "degree");
  ExpectFailure(
      ::Run("polyfield", {"harmonics", eros, "--degree", "2", "--reference-radius", "-3"}),
      "polyfield: --reference-radius: not a positive number", "radius");
  EXPECT_EQ(::Run("polyfield", {"harmonics", eros, "--degree", "2", "--tolerance", "1e-6"}).status,
            1);
}

}  // namespace
