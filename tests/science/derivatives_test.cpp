// The field's derivatives with respect to the shape, the densities and the
// point masses against central differences (Richardson-extrapolated) of
// the closed form written out again in long double
// (tests/support/reference_field.h): for the cube, a thin plate, a needle,
// Eros and a body of parts with a point mass, at points inside, outside and
// near the faces; the three products against each other; the potential's
// limit on a face; the refusals.
#include "science/derivatives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"
#include "engine/layer.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/harmonics.h"
#include "science/mascons.h"
#include "tests/support/reference_field.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

using Point = std::array<double, 3>;

mesh::Mesh MeshOf(const Shape& s) {
  mesh::Mesh m;
  m.vertices = s.vertices;
  m.faces = s.faces;
  return m;
}

mesh::Mesh BoxMesh(double a, double b, double c, Point offset = {0, 0, 0}) {
  const double lo[3] = {-a / 2, -b / 2, -c / 2}, hi[3] = {a / 2, b / 2, c / 2};
  return MeshOf(Box(lo, hi, kIdentity, offset));
}

// The corners of the facets around vertex v (nine doubles each), with v's
// coordinate `axis` moved by `step`: the facets a move of v changes.
std::vector<double> Ring(const mesh::Mesh& m, size_t v, int axis, double step) {
  std::vector<double> v9;
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    bool around = false;
    for (int k = 0; k < 3; ++k) around |= m.faces[3 * f + k] == v;
    if (!around) continue;
    for (int k = 0; k < 3; ++k) {
      const size_t c = m.faces[3 * f + k];
      for (int a = 0; a < 3; ++a)
        v9.push_back(m.vertices[3 * c + a] + (c == v && a == axis ? step : 0));
    }
  }
  return v9;
}

// The ten outputs U, g, T (xx, xy, xz, yy, yz, zz) of the closed form.
using Outputs = std::array<long double, 10>;
Outputs ReferenceAt(const std::vector<double>& v9, const Point& p) {
  const reference::Field f = reference::At(v9, p[0], p[1], p[2]);
  Outputs o{f.U, f.g[0], f.g[1], f.g[2]};
  reference::TensorAt(v9, p[0], p[1], p[2], &o[4]);
  return o;
}

// d(U, g, T)/d(vertex v's coordinate axis) at p, G rho = 1, by central
// differences of steps h and 2h combined to cancel the h^2 term.
Outputs Difference(const mesh::Mesh& m, size_t v, int axis, const Point& p, double h) {
  const auto at = [&](double step) { return ReferenceAt(Ring(m, v, axis, step), p); };
  const auto p1 = at(h), m1 = at(-h), p2 = at(2 * h), m2 = at(-2 * h);
  Outputs d;
  for (int q = 0; q < 10; ++q)
    d[q] = (8 * (p1[q] - m1[q]) - (p2[q] - m2[q])) / (12 * static_cast<long double>(h));
  return d;
}

science::Points PointsOf(const std::vector<Point>& p, std::vector<double>* xyz) {
  xyz->clear();
  for (int a = 0; a < 3; ++a)
    for (const Point& q : p) xyz->push_back(q[a]);
  const size_t n = p.size();
  return {n, xyz->data(), xyz->data() + n, xyz->data() + 2 * n};
}

science::FieldRequest Exact(bool tensor = false) {
  science::FieldRequest r;
  r.gradient = tensor;
  r.evaluation.threads = 2;
  return r;
}

// Which of U, g and T output o is.
int Kind(int o) {
  return o == 0 ? 0 : o < 4 ? 1 : 2;
}

// Every vertex coordinate's column of the Jacobian of a homogeneous model
// (G rho = 1) against the differences at each point, within `tolerance`
// of the largest derivative of U (of g) at the point.
void ExpectShapeDerivatives(const mesh::Mesh& m, const std::vector<Point>& points, double h,
                            double tolerance) {
  science::Body body(m, 2);
  std::vector<double> xyz;
  const science::Points p = PointsOf(points, &xyz);
  const std::vector<double> J = science::FieldJacobian(body, Exact(true), p);
  const size_t cols = science::LayoutOf(body).count;
  for (size_t j = 0; j < points.size(); ++j) {
    double largest[3] = {0, 0, 0};
    for (size_t c = 0; c < m.vertices.size(); ++c)
      for (int q = 0; q < 10; ++q)
        largest[Kind(q)] = std::max(largest[Kind(q)], std::fabs(J[(10 * j + q) * cols + c]));
    double worst[3] = {0, 0, 0};
    for (size_t v = 0; v < m.VertexCount(); ++v)
      for (int a = 0; a < 3; ++a) {
        const auto d = Difference(m, v, a, points[j], h);
        for (int q = 0; q < 10; ++q)
          worst[Kind(q)] = std::max(worst[Kind(q)],
                                    double(std::fabs(J[(10 * j + q) * cols + 3 * v + a] - d[q])));
      }
    for (int k = 0; k < 3; ++k)
      EXPECT_LE(worst[k], tolerance * largest[k]) << "U, g, T (" << k << ") at point " << j;
  }
}

TEST(Derivatives, ShapeAgainstDifferencesOfTheClosedForm) {
  const mesh::Mesh cube = mesh::ReadModel(DataPath("cube.stl"));
  // The unit cube [0, 1]^3: inside, outside, 1e-3 of the side off a face
  // on either side, on an edge's line beyond its corner, far.
  ExpectShapeDerivatives(cube,
                         {{0.6, 0.55, 0.3},
                          {1.8, 0.4, 0.7},
                          {0.3, 0.6, 1.001},
                          {0.3, 0.6, 0.999},
                          {1, 1, 1.4},
                          {7, -5, 3}},
                         1e-5, 1e-9);
  // A plate 1 x 1 x 0.01 and a needle 0.01 x 0.01 x 1, inside and close by.
  ExpectShapeDerivatives(BoxMesh(1, 1, 0.01),
                         {{0.1, 0.2, 0.001}, {0.3, -0.1, 0.007}, {0.6, 0.1, 0}}, 1e-6, 1e-9);
  ExpectShapeDerivatives(BoxMesh(0.01, 0.01, 1),
                         {{0.001, 0.002, 0.3}, {0.008, 0, 0.1}, {0, 0, 0.6}}, 1e-6, 1e-9);
}

TEST(Derivatives, ErosAgainstDifferencesOfTheClosedForm) {
  const mesh::Mesh eros = mesh::ReadModel(DataPath("models/eros1708_km.vf.txt"));
  // Inside, outside, near the surface (km).
  ExpectShapeDerivatives(eros, {{1, 0.5, 0.3}, {20, 10, 5}, {0, 0, 30}}, 1e-5, 1e-9);
}

// A box mantle of 2000 kg/m^3, a lighter core (a contrast of -700) off its
// centre and a point mass, in metres: each part's vertex columns are G rho
// times its own differences, each density column G times its field, the
// point mass's columns the differences of G m / r and its gradient.
TEST(Derivatives, BodyOfPartsAndAPointMass) {
  const double G = science::kG;
  const mesh::Mesh mantle = BoxMesh(2, 2, 2), core = BoxMesh(0.6, 0.5, 0.4, {0.2, -0.1, 0.1});
  science::Body body(mantle, 2);
  body.SetDensity(2000, "density");
  body.AddPart(core, -700, "core", "core");
  const science::Mascon q{-0.4, 0.3, -0.2, 3e9};
  body.AddMascons({q}, "");
  const std::vector<Point> points = {{0.1, 0.2, 0.05}, {0.3, -0.1, 0.31}, {2.5, 1, -0.7}};
  std::vector<double> xyz;
  const science::Points p = PointsOf(points, &xyz);
  const science::ParameterLayout layout = science::LayoutOf(body);
  ASSERT_EQ(layout.count, 3 * 8 * 2 + 2 + 4);
  const std::vector<double> J = science::FieldJacobian(body, Exact(true), p);
  const size_t cols = layout.count;
  const mesh::Mesh* parts[2] = {&mantle, &core};
  const double density[2] = {2000, -700};
  // The sizes of U's, g's and T's derivatives by a vertex.
  const double size[3] = {G * 2000, G * 2000, G * 2000};
  for (size_t j = 0; j < points.size(); ++j) {
    const auto row = [&](int o) { return &J[(10 * j + o) * cols]; };
    for (int i = 0; i < 2; ++i) {
      const mesh::Mesh& m = *parts[i];
      for (size_t v = 0; v < m.VertexCount(); ++v)
        for (int a = 0; a < 3; ++a) {
          const auto d = Difference(m, v, a, points[j], 1e-5);
          for (int o = 0; o < 10; ++o)
            EXPECT_NEAR(row(o)[layout.vertices[i] + 3 * v + a], G * density[i] * double(d[o]),
                        1e-9 * size[Kind(o)])
                << "part " << i << " vertex " << v << " axis " << a << " output " << o;
        }
      const Outputs f = ReferenceAt(m.FaceCorners(), points[j]);
      for (int o = 0; o < 10; ++o)
        EXPECT_NEAR(row(o)[layout.density + i], G * double(f[o]), 1e-13 * G) << o;
    }
    // The point mass: U = G m / r, g = -G m d / r^3, T = G m (3 d d^T / r^5
    // - I / r^3), d = p - q.
    const auto field = [&](long double m, long double x, long double y, long double z) {
      const long double d[3] = {points[j][0] - x, points[j][1] - y, points[j][2] - z};
      const long double r = sqrtl(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), r3 = r * r * r;
      Outputs o{G * m / r, -G * m * d[0] / r3, -G * m * d[1] / r3, -G * m * d[2] / r3};
      const int pair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
      for (int c = 0; c < 6; ++c)
        o[4 + c] =
            G * m *
            (3 * d[pair[c][0]] * d[pair[c][1]] / (r3 * r * r) - (pair[c][0] == pair[c][1]) / r3);
      return o;
    };
    const auto per_kg = field(1, q.x, q.y, q.z);
    for (int o = 0; o < 10; ++o) {
      EXPECT_NEAR(row(o)[layout.masses], double(per_kg[o]), 1e-14 * std::fabs(double(per_kg[o])));
      for (int a = 0; a < 3; ++a) {
        const long double h = 1e-7;
        long double at[3] = {q.x, q.y, q.z};
        at[a] += h;
        const auto plus = field(q.mass, at[0], at[1], at[2]);
        at[a] -= 2 * h;
        const auto minus = field(q.mass, at[0], at[1], at[2]);
        const double d = double((plus[o] - minus[o]) / (2 * h));
        EXPECT_NEAR(row(o)[layout.positions + a], d, 1e-8 * std::fabs(d) + 1e-20) << o << " " << a;
      }
    }
  }
  // The products are the Jacobian's: w^T J and J t.
  const size_t n = points.size();
  std::vector<double> w(10 * n), t(cols);
  for (size_t k = 0; k < w.size(); ++k) w[k] = std::sin(double(k)) * (k % 10 == 0 ? 1 : 1e3);
  std::vector<double> wU(n), wg(3 * n), wT(6 * n);
  for (size_t j = 0; j < n; ++j) {
    wU[j] = w[10 * j];
    for (int a = 0; a < 3; ++a) wg[3 * j + a] = w[10 * j + 1 + a];
    for (int c = 0; c < 6; ++c) wT[6 * j + c] = w[10 * j + 4 + c];
  }
  for (size_t c = 0; c < cols; ++c) t[c] = std::cos(double(c));
  const std::vector<double> vjp =
      science::FieldVjp(body, Exact(), p, {wU.data(), wg.data(), wT.data()});
  for (size_t c = 0; c < cols; ++c) {
    double expect = 0, scale = 0;
    for (size_t r = 0; r < 10 * n; ++r)
      expect += w[r] * J[r * cols + c], scale += std::fabs(w[r] * J[r * cols + c]);
    EXPECT_NEAR(vjp[c], expect, 1e-13 * scale) << "column " << c;
  }
  std::vector<double> dU(n), dg(3 * n), dT(6 * n);
  science::FieldJvp(body, Exact(true), p, t, dU.data(), dg.data(), dT.data());
  for (size_t j = 0; j < n; ++j)
    for (int o = 0; o < 10; ++o) {
      double expect = 0, scale = 0;
      for (size_t c = 0; c < cols; ++c)
        expect += J[(10 * j + o) * cols + c] * t[c],
            scale += std::fabs(J[(10 * j + o) * cols + c] * t[c]);
      EXPECT_NEAR(o == 0  ? dU[j]
                  : o < 4 ? dg[3 * j + o - 1]
                          : dT[6 * j + o - 4],
                  expect, 1e-13 * scale);
    }
}

// On a face the potential's derivatives are the limit (the differences of
// the closed form there, and the derivatives just inside and outside); the
// attraction's are refused, naming the point; so are a point mass's
// position, a tolerance and a Jacobian too large.
TEST(Derivatives, OnTheSurfaceAndRefusals) {
  const mesh::Mesh cube = mesh::ReadModel(DataPath("cube.stl"));
  science::Body body(cube, 2);
  std::vector<double> xyz;
  const science::Points on = PointsOf({{0.1, 0.2, 1}}, &xyz);
  const double one = 1;
  const std::vector<double> at = science::FieldVjp(body, Exact(), on, {&one, nullptr});
  std::vector<double> near[2];
  for (int side = 0; side < 2; ++side) {
    std::vector<double> w;
    near[side] = science::FieldVjp(
        body, Exact(), PointsOf({{0.1, 0.2, side ? 1 + 1e-9 : 1 - 1e-9}}, &w), {&one, nullptr});
  }
  double largest = 0;
  for (double d : at) largest = std::max(largest, std::fabs(d));
  for (size_t v = 0; v < cube.VertexCount(); ++v)
    for (int a = 0; a < 3; ++a) {
      // U is once differentiable as the face moves through the point, not
      // twice: the differences' error is of the order of the step.
      const auto d = Difference(cube, v, a, {0.1, 0.2, 1}, 1e-8);
      EXPECT_NEAR(at[3 * v + a], double(d[0]), 1e-7 * largest) << v << " " << a;
      for (int side = 0; side < 2; ++side)
        EXPECT_NEAR(at[3 * v + a], near[side][3 * v + a], 1e-7 * largest);
    }
  const double wg[3] = {0, 0, 1};
  EXPECT_EQ(Refusal([&] {
              science::FieldVjp(body, Exact(), on, {nullptr, wg});
            }),
            "points: row 0 (0.1, 0.2, 1) lies on the surface of the body, where the "
            "attraction's derivatives with respect to the shape do not exist (they jump across "
            "it; the potential's exist)");
  // On an edge and at a corner, for the full Jacobian.
  for (const Point& q : {Point{1, 0.1, 1}, Point{0, 0, 1}}) {
    std::vector<double> w;
    EXPECT_NE(Refusal([&] {
                science::FieldJacobian(body, Exact(), PointsOf({{0, 0, 2}, q}, &w));
              }).find("row 1 ("),
              std::string::npos);
  }
  science::Body heavy(cube, 2);
  heavy.SetDensity(1000, "density");
  heavy.AddMascons({{2, 0, 0, 1e6}}, "");
  std::vector<double> w;
  EXPECT_EQ(
      Refusal([&] {
        science::FieldVjp(heavy, Exact(), PointsOf({{2, 0, 0}}, &w), {&one, nullptr});
      }),
      "points: row 0 (2, 0, 0) is a point mass's position, where its field has no derivative");
  science::FieldRequest r = Exact();
  r.evaluation.tolerance = 1e-6;
  EXPECT_EQ(Refusal([&] {
              science::FieldVjp(body, r, on, {&one, nullptr});
            }),
            "tolerance: derivatives are exact (no tolerance)");
  EXPECT_NE(
      Refusal([&] { science::FieldJacobian(body, Exact(), on, 10); }).find("more than 10 values"),
      std::string::npos);
}

// The body's coefficients and GM (a flat vector: C at Index(n, m), then S,
// then GM), as the library gives them.
std::vector<double> Coefficients(const science::Body& body, const science::UnitsRequest& units,
                                 const science::HarmonicsRequest& r) {
  const science::Harmonics h = science::HarmonicsOf(body, units, r);
  std::vector<double> c;
  for (int pass = 0; pass < 2; ++pass)
    for (int n = 0; n <= r.degree; ++n)
      for (int m = 0; m <= n; ++m) c.push_back(pass ? h.Snm(n, m) : h.Cnm(n, m));
  c.push_back(h.GM());
  return c;
}

// A body of a mantle, a core and a point mass from its parameters (LayoutOf's
// order).
std::unique_ptr<science::Body> BodyFrom(const mesh::Mesh& mantle, const mesh::Mesh& core,
                                        const std::vector<double>& p) {
  mesh::Mesh a = mantle, b = core;
  std::copy(p.begin(), p.begin() + ptrdiff_t(a.vertices.size()), a.vertices.begin());
  std::copy(p.begin() + ptrdiff_t(a.vertices.size()),
            p.begin() + ptrdiff_t(a.vertices.size() + b.vertices.size()), b.vertices.begin());
  const size_t d = a.vertices.size() + b.vertices.size();
  auto body = std::make_unique<science::Body>(a, 1);
  body->SetDensity(p[d], "density");
  body->AddPart(b, p[d + 1], "core", "core");
  body->AddMascons({{p[d + 2], p[d + 3], p[d + 4], p[d + 5]}}, "");
  return body;
}

// Every column of the coefficients' Jacobian against central differences
// of the library's exact coefficients: a body of parts and a point mass
// (every parameter), Eros at its density (some vertices and the density).
TEST(Derivatives, HarmonicsAgainstDifferencesOfTheExactCoefficients) {
  const mesh::Mesh mantle = BoxMesh(2, 1.6, 1.2, {0.1, 0.05, -0.1}),
                   core = BoxMesh(0.6, 0.5, 0.4, {0.2, -0.1, 0.1});
  std::vector<double> p(mantle.vertices);
  p.insert(p.end(), core.vertices.begin(), core.vertices.end());
  p.insert(p.end(), {2000, -700, -0.4, 0.3, -0.2, 3e8});
  science::HarmonicsRequest r;
  r.degree = 6;
  r.reference_radius = 1.5;
  const science::UnitsRequest units;  // the body's densities
  const auto body = BodyFrom(mantle, core, p);
  const science::HarmonicsJacobian J = science::HarmonicsJacobianOf(*body, units, r);
  ASSERT_EQ(J.columns, p.size());
  ASSERT_EQ(J.rows(), 2 * 28 + 1u);
  for (size_t c = 0; c < p.size(); ++c) {
    const double h = c < mantle.vertices.size() + core.vertices.size() ? 1e-6
                     : c == p.size() - 1                               ? 1e2
                     : c >= p.size() - 4                               ? 1e-6
                                                                       : 1e-2;
    std::vector<double> plus = p, minus = p;
    plus[c] += h, minus[c] -= h;
    const auto a = Coefficients(*BodyFrom(mantle, core, plus), units, r);
    const auto b = Coefficients(*BodyFrom(mantle, core, minus), units, r);
    for (size_t k = 0; k < J.rows(); ++k) {
      const double d = (a[k] - b[k]) / (2 * h), got = J.by_column[J.rows() * c + k];
      // GM's differences lose the digits of the point mass's share.
      const double scale = k + 1 == J.rows() ? 1e-15 * std::fabs(a[k]) / h : 1e-9;
      EXPECT_NEAR(got, d, scale + 1e-7 * std::fabs(d)) << "column " << c << " row " << k;
    }
  }
  // Eros in km at 2670 kg/m^3, degree 8, R0 = 16 km.
  const mesh::Mesh eros = mesh::ReadModel(DataPath("models/eros1708_km.vf.txt"));
  science::UnitsRequest km;
  km.density = 2670, km.unit = "km";
  r.degree = 8;
  r.reference_radius = 16;
  science::Body model(eros, 2);
  const science::HarmonicsJacobian E = science::HarmonicsJacobianOf(model, km, r);
  for (const size_t v : {0, 100, 500, 855})
    for (int axis = 0; axis < 3; ++axis) {
      mesh::Mesh plus = eros, minus = eros;
      const double h = 1e-5;
      plus.vertices[3 * v + size_t(axis)] += h, minus.vertices[3 * v + size_t(axis)] -= h;
      const auto a = Coefficients(science::Body(plus, 1), km, r);
      const auto b = Coefficients(science::Body(minus, 1), km, r);
      for (size_t k = 0; k < E.rows(); ++k) {
        const double d = (a[k] - b[k]) / (2 * h), got = E.by_column[E.rows() * (3 * v + axis) + k];
        EXPECT_NEAR(got, d, 1e-9 + 1e-6 * std::fabs(d)) << "vertex " << v << " row " << k;
      }
    }
  // The density moves GM alone (the coefficients of a homogeneous body do
  // not depend on it): GM / density.
  const double* column = &E.by_column[E.rows() * (3 * eros.VertexCount())];
  for (size_t k = 0; k + 1 < E.rows(); ++k) EXPECT_NEAR(column[k], 0, 1e-18);
  EXPECT_NEAR(column[E.rows() - 1], E.value.GM() / 2670, 1e-12 * E.value.GM() / 2670);
  r.origin = science::HarmonicOrigin::kCentreOfMass;
  EXPECT_NE(Refusal([&] { science::HarmonicsJacobianOf(model, km, r); }).find("origin: "),
            std::string::npos);
}

// The products and the coefficients' Jacobian are the same bits on one
// thread and on several.
TEST(Derivatives, SameBitsForEveryThreadCount) {
  const mesh::Mesh eros = mesh::ReadModel(DataPath("models/eros1708_km.vf.txt"));
  std::vector<double> xyz;
  const science::Points p = PointsOf({{20, 3, 1}, {1, 0.5, 0.2}, {-9, 4, 6}}, &xyz);
  const double wU[3] = {1, -2, 3}, wg[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<double> vjp[2], J[2], H[2];
  for (unsigned threads : {1u, 2u}) {
    science::Body body(eros, threads);
    science::FieldRequest r = Exact(true);
    r.evaluation.threads = threads;
    vjp[threads - 1] = science::FieldVjp(body, r, p, {wU, wg});
    J[threads - 1] = science::FieldJacobian(body, r, p);
    science::HarmonicsRequest h;
    h.degree = 6;
    h.threads = threads;
    H[threads - 1] = science::HarmonicsJacobianOf(body, {}, h).by_column;
  }
  EXPECT_EQ(vjp[0], vjp[1]);
  EXPECT_EQ(J[0], J[1]);
  EXPECT_EQ(H[0], H[1]);
}

// Far from a facet its moments keep their digits: S_k, grad S_k and the
// second derivatives of one triangle from 2 to 10^5 of its sizes away
// against a Gauss product rule of 24 x 24 points in long double (exact to
// far below double's rounding there, the integrand being smooth).
// Far from a facet the moments are those of a Gauss rule of 24 a side in
// long double to a few ulps of their largest: for a triangle and a sliver,
// at 2 to 10^5 sizes and just beyond each distance from which a smaller
// rule serves.
TEST(Derivatives, FarFromAFacetTheMomentsKeepTheirDigits) {
  using L = long double;
  const int q = 24;
  L x[q], w[q];
  for (int i = 0; i < q; ++i) {
    L t = cosl(3.14159265358979323846L * (i + 0.75L) / (q + 0.5L)), dp = 1;
    for (int it = 0; it < 100; ++it) {
      L p0 = 1, p1 = t;
      for (int j = 2; j <= q; ++j) {
        const L p2 = ((2 * j - 1) * t * p1 - (j - 1) * p0) / j;
        p0 = p1, p1 = p2;
      }
      dp = q * (t * p1 - p0) / (t * t - 1);
      const L step = p1 / dp;
      t -= step;
      if (fabsl(step) < 1e-19L) break;
    }
    x[i] = (1 - t) / 2, w[i] = 1 / ((1 - t * t) * dp * dp);
  }
  // Each with the direction of p from its centre: the sliver's is the
  // worst of 300 random slivers and directions for the rule of 5 a side at
  // 16 sizes (5e-14 of its largest).
  const double triangles[2][12] = {
      {0.1, 0.2, 0.05, 1.1, 0.3, 0.1, 0.3, 1.2, -0.1, 0.6, -0.5, 0.62},
      {-0.29366185387860122, 0.75887759405929422, -0.54800826266472857, -0.90721672959643007,
       0.014643688232656826, -0.40060814019115831, -0.31052613361267101, 0.74132403826130622,
       -0.53616669219123647, -0.67502534930602509, -0.72010155746232873, 0.16060673938103345}};
  for (const double* P : triangles) {
    L e1[3], e2[3];
    for (int a = 0; a < 3; ++a) e1[a] = L(P[3 + a]) - P[a], e2[a] = L(P[6 + a]) - P[a];
    const L c[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                    e1[0] * e2[1] - e1[1] * e2[0]};
    const L area2 = sqrtl(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    double size = 0, centre[3];
    for (int k = 0; k < 3; ++k) {
      const int b = (k + 1) % 3;
      size = std::max(size, std::hypot(P[3 * b] - P[3 * k], P[3 * b + 1] - P[3 * k + 1],
                                       P[3 * b + 2] - P[3 * k + 2]));
      centre[k] = (P[k] + P[3 + k] + P[6 + k]) / 3;
    }
    for (const double beyond :
         {1.01, 1.51, 2.01, 3.01, 4.01, 6.01, 12.01, 16.01, 32.01, 256.01, 1e3, 1e4, 1e5}) {
      const double D = (beyond + 1) * size, *u = P + 9;
      const double norm = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
      const double p[3] = {centre[0] + D * u[0] / norm, centre[1] + D * u[1] / norm,
                           centre[2] + D * u[2] / norm};
      L S[3] = {}, g[3][3] = {}, H[3][3][3] = {};
      for (int a = 0; a < q; ++a)
        for (int b = 0; b < q; ++b) {
          const L s = x[a], t = x[b] * (1 - s), ww = area2 * w[a] * w[b] * (1 - s);
          const L lambda[3] = {1 - s - t, s, t};
          L d[3], r2 = 0;
          for (int k = 0; k < 3; ++k) d[k] = P[k] + s * e1[k] + t * e2[k] - p[k], r2 += d[k] * d[k];
          const L r = sqrtl(r2);
          for (int k = 0; k < 3; ++k) {
            S[k] += ww * lambda[k] / r;
            for (int i = 0; i < 3; ++i) {
              g[k][i] += ww * lambda[k] * d[i] / (r2 * r);
              for (int j = 0; j < 3; ++j)
                H[k][i][j] +=
                    ww * lambda[k] * (3 * d[i] * d[j] / (r2 * r2 * r) - (i == j) / (r2 * r));
            }
          }
        }
      double largest[3] = {0, 0, 0};
      for (int k = 0; k < 3; ++k) {
        largest[0] = std::max(largest[0], double(fabsl(S[k])));
        for (int i = 0; i < 3; ++i) {
          largest[1] = std::max(largest[1], double(fabsl(g[k][i])));
          for (int j = 0; j < 3; ++j) largest[2] = std::max(largest[2], double(fabsl(H[k][i][j])));
        }
      }
      layer::Moments M;
      layer::Linear(P, p, 2, &M);
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(M.S[k], double(S[k]), 4e-15 * largest[0]) << beyond;
        for (int i = 0; i < 3; ++i) {
          EXPECT_NEAR(M.grad[k][i], double(g[k][i]), 4e-15 * largest[1]) << beyond;
          for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(M.hessian[k][i][j], double(H[k][i][j]), 4e-15 * largest[2]) << beyond;
        }
      }
    }
  }
}

// The sums over many points, both ways (weights on the points' outputs,
// densities on the facet's corners), far points summed with the facet's
// nodes in blocks of eight and near ones by the closed forms, are those of
// the moments point by point: points from a tenth of the facet's size to
// 10^5 sizes away, not a whole number of blocks, on U, g and T.
TEST(Derivatives, SumsOverManyPointsAreThePointByPointSums) {
  const double P[9] = {0.1, 0.2, 0.05, 1.1, 0.3, 0.1, 0.3, 1.2, -0.1};
  layer::Triangle t;
  layer::Prepare(P, &t);
  const size_t n = 61;
  std::vector<double> x(n), y(n), z(n), a(n), b(3 * n), c(6 * n);
  for (size_t j = 0; j < n; ++j) {
    const double D = 0.1 * std::pow(10.0, 6.0 * double(j * 37 % n) / double(n));
    x[j] = 0.5 + D * std::cos(double(j)), y[j] = 0.4 + D * std::sin(double(j));
    z[j] = (j % 2 ? 1 : -1) * D * 0.7;
    a[j] = std::sin(3.0 * double(j));
    for (int k = 0; k < 3; ++k) b[3 * j + k] = std::cos(double(5 * j + k));
    for (int k = 0; k < 6; ++k) c[6 * j + k] = std::sin(double(7 * j + k));
  }
  const double f[3] = {2, -3, 5};
  const int pair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
  for (const bool tensor : {false, true}) {
    const layer::Adjoint adjoint(n, x.data(), y.data(), z.data(), a.data(), b.data(),
                                 tensor ? c.data() : nullptr);
    double sum[3];
    size_t on_facet = n;
    adjoint.Sums(t, f, sum, &on_facet);
    EXPECT_EQ(on_facet, n);
    for (int k = 0; k < 3; ++k) {
      double expect = 0, scale = 0;
      for (size_t j = 0; j < n; ++j) {
        layer::Moments M;
        const double p[3] = {x[j], y[j], z[j]};
        layer::Linear(t, p, 2, &M);
        double terms[10] = {f[0] * a[j] * M.S[k]};
        for (int i = 0; i < 3; ++i) terms[1 + i] = f[1] * b[3 * j + i] * M.grad[k][i];
        for (int o = 0; o < 6 && tensor; ++o)
          terms[4 + o] = f[2] * c[6 * j + o] * M.hessian[k][pair[o][0]][pair[o][1]];
        for (const double v : terms) expect += v, scale += std::fabs(v);
      }
      EXPECT_NEAR(sum[k], expect, 1e-14 * scale) << "corner " << k << (tensor ? " with T" : "");
    }
  }
  // The other way: at the points, the layer of corner densities sigma.
  const double sigma[3] = {0.3, -1.2, 2.0};
  const layer::Forward forward(n, x.data(), y.data(), z.data(), true);
  std::vector<double> U(n), g(3 * n), T(6 * n);
  size_t none = n;
  for (size_t group = 0; group < forward.Groups(); ++group)
    forward.Add(group, {t}, sigma, f, U.data(), g.data(), T.data(), &none);
  EXPECT_EQ(none, n);
  for (size_t j = 0; j < n; ++j) {
    layer::Moments M;
    const double p[3] = {x[j], y[j], z[j]};
    layer::Linear(t, p, 2, &M);
    double expect[10] = {}, scale[10] = {};
    for (int k = 0; k < 3; ++k) {
      double terms[10] = {f[0] * sigma[k] * M.S[k]};
      for (int i = 0; i < 3; ++i) terms[1 + i] = f[1] * sigma[k] * M.grad[k][i];
      for (int o = 0; o < 6; ++o)
        terms[4 + o] = f[2] * sigma[k] * M.hessian[k][pair[o][0]][pair[o][1]];
      for (int o = 0; o < 10; ++o) expect[o] += terms[o], scale[o] += std::fabs(terms[o]);
    }
    const double got[10] = {U[j],         g[3 * j],     g[3 * j + 1], g[3 * j + 2], T[6 * j],
                            T[6 * j + 1], T[6 * j + 2], T[6 * j + 3], T[6 * j + 4], T[6 * j + 5]};
    for (int o = 0; o < 10; ++o)
      EXPECT_NEAR(got[o], expect[o], 1e-14 * scale[o]) << "output " << o << " at point " << j;
  }
  // A point on the facet weighing on g is told, by its index; one that
  // weighs on U alone is not (the potential's derivatives are the limit).
  x[40] = P[0] + 0.3 * (P[3] - P[0]) + 0.3 * (P[6] - P[0]);
  y[40] = P[1] + 0.3 * (P[4] - P[1]) + 0.3 * (P[7] - P[1]);
  z[40] = P[2] + 0.3 * (P[5] - P[2]) + 0.3 * (P[8] - P[2]);
  for (const bool on_g : {true, false}) {
    const layer::Adjoint adjoint(n, x.data(), y.data(), z.data(), a.data(),
                                 on_g ? b.data() : nullptr, nullptr);
    double sum[3];
    size_t on_facet = n;
    adjoint.Sums(t, f, sum, &on_facet);
    EXPECT_EQ(on_facet, on_g ? 40 : n);
  }
}

}  // namespace
