// Bodies of several parts and point masses against values worked out apart
// from the library: concentric spheres against the uniform sphere's closed
// forms and against the sum of their parts evaluated alone; a box with a
// box-shaped void against the prism's closed form of the shell
// (tests/support/prism.h); point masses by hand and a box against its own
// point-mass representation; mass, centre of mass and inertia of boxes by
// hand, principal axes of a rotated composite; the coefficients as the
// mass-weighted sum of the parts'; the same bits for every thread count, a
// tolerance kept where the parts cancel; the refusals; where the parts lie
// (a cavity inside its host or not, parts of positive density that
// overlap).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "common/failure.h"
#include "engine/threads.h"
#include "science/body.h"
#include "science/field.h"
#include "science/harmonics.h"
#include "science/mascons.h"
#include "science/model.h"
#include "science/request.h"
#include "science/summary.h"
#include "science/surface.h"
#include "tests/support/prism.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {
constexpr double kG = science::kG;

mesh::Mesh MeshOf(const Shape& s) {
  mesh::Mesh m;
  m.vertices = s.vertices;
  m.faces = s.faces;
  return m;
}

// The volume of a closed model by the divergence theorem, apart from the
// library: sum of A . (B x C) / 6.
double VolumeOf(const Shape& s) {
  double v = 0;
  for (size_t f = 0; f < s.faces.size(); f += 3) {
    const double* A = &s.vertices[3 * s.faces[f]];
    const double* B = &s.vertices[3 * s.faces[f + 1]];
    const double* C = &s.vertices[3 * s.faces[f + 2]];
    v += (A[0] * (B[1] * C[2] - B[2] * C[1]) + A[1] * (B[2] * C[0] - B[0] * C[2]) +
          A[2] * (B[0] * C[1] - B[1] * C[0])) /
         6;
  }
  return v;
}

struct Field {
  std::vector<double> U, gx, gy, gz, T;
};

Field FieldOf(const science::Body& body, const std::vector<std::array<double, 3>>& p,
              std::optional<double> density = {}, unsigned threads = 2, double tolerance = 0) {
  std::vector<double> x, y, z;
  for (const auto& q : p) x.push_back(q[0]), y.push_back(q[1]), z.push_back(q[2]);
  const size_t n = p.size();
  Field f{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n),
          std::vector<double>(n), std::vector<double>(6 * n)};
  science::FieldRequest r;
  r.units.density = density;
  r.gradient = true;
  r.evaluation.threads = threads;
  if (tolerance > 0) r.evaluation.tolerance = tolerance;
  EXPECT_TRUE(science::FieldOf(body, r, n, x.data(), y.data(), z.data(),
                               {f.U.data(), f.gx.data(), f.gy.data(), f.gz.data(), f.T.data()},
                               nullptr));
  return f;
}

// The core (radius 0.5, +1500 kg/m^3 over the mantle's 2000) in the mantle
// (radius 1), icospheres of 5120 facets, in metres.
std::unique_ptr<science::Body> CoreAndMantle(unsigned threads = 2, double tolerance = 0) {
  auto body = std::make_unique<science::Body>(MeshOf(Icosphere(4, 1)), threads, tolerance);
  body->SetDensity(2000, "density");
  body->AddPart(MeshOf(Icosphere(4, 0.5)), 1500, "core", "core");
  return body;
}

// ------------------------------------------------------------ spheres

// Outside, the field of one sphere of the total mass (the tessellation's
// masses; its multipoles, of degree 6 and up, below 1e-6 at twice the
// radius); inside the core and in the mantle the uniform spheres' closed
// forms superposed, U = 2 pi G rho (a^2 - r^2 / 3) inside a sphere of
// radius a, G M / r outside, to the tessellation's accuracy (taken at the
// radius of the sphere of its volume, within 1e-5);
// in every case the sum of the parts' fields evaluated alone, to rounding;
// the tensor's trace -4 pi G times the density there, the sum of the parts'.
TEST(BodyParts, ConcentricSpheres) {
  const auto body = CoreAndMantle();
  const double V1 = VolumeOf(Icosphere(4, 1)), V2 = VolumeOf(Icosphere(4, 0.5));
  const double M = 2000 * V1 + 1500 * V2;
  const std::vector<std::array<double, 3>> outside = {{2, 0.3, -0.1}, {0, -3, 1}, {4, 4, 4}};
  const Field out = FieldOf(*body, outside);
  for (size_t i = 0; i < outside.size(); ++i) {
    const double r = std::hypot(outside[i][0], outside[i][1], outside[i][2]);
    EXPECT_NEAR(out.U[i], kG * M / r, 1e-6 * kG * M / r) << i;
    EXPECT_NEAR(out.gx[i], -kG * M * outside[i][0] / (r * r * r), 1e-6 * kG * M / (r * r)) << i;
    EXPECT_NEAR(out.T[6 * i] + out.T[6 * i + 3] + out.T[6 * i + 5], 0, 1e-12 * kG * M) << i;
  }
  // The mean radius of a unit icosphere's facets, for the closed forms.
  const double a = std::cbrt(V1 / (4 * std::numbers::pi / 3));
  const std::vector<std::array<double, 3>> inside = {
      {0.1, 0.05, -0.02}, {0, 0.2, 0.1}, {0.7, 0.1, 0}, {-0.2, 0.5, 0.5}};
  const Field in = FieldOf(*body, inside);
  for (size_t i = 0; i < inside.size(); ++i) {
    const double r = std::hypot(inside[i][0], inside[i][1], inside[i][2]);
    const bool core = r < 0.5 * a;
    const double mantle = 2 * std::numbers::pi * kG * 2000 * (a * a - r * r / 3);
    const double U = mantle + (core ? 2 * std::numbers::pi * kG * 1500 * (0.25 * a * a - r * r / 3)
                                    : kG * 1500 * V2 / r);
    EXPECT_NEAR(in.U[i], U, 1e-5 * U) << i;
    const double trace = in.T[6 * i] + in.T[6 * i + 3] + in.T[6 * i + 5];
    const double rho = core ? 3500 : 2000;
    EXPECT_NEAR(trace, -4 * std::numbers::pi * kG * rho, 1e-12 * 4 * std::numbers::pi * kG * rho)
        << i;
  }
  // The sum of the parts alone.
  const science::Body mantle(MeshOf(Icosphere(4, 1)), 2), core(MeshOf(Icosphere(4, 0.5)), 2);
  std::vector<std::array<double, 3>> all = outside;
  all.insert(all.end(), inside.begin(), inside.end());
  const Field both = FieldOf(*body, all), f1 = FieldOf(mantle, all, 2000),
              f2 = FieldOf(core, all, 1500);
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_NEAR(both.U[i], f1.U[i] + f2.U[i], 1e-15 * both.U[i]) << i;
    const double g = std::hypot(f1.gx[i], f1.gy[i], f1.gz[i]) + 1e-3 * kG;
    EXPECT_NEAR(both.gx[i], f1.gx[i] + f2.gx[i], 1e-15 * g) << i;
    EXPECT_NEAR(both.gz[i], f1.gz[i] + f2.gz[i], 1e-15 * g) << i;
    for (int k = 0; k < 6; ++k)
      EXPECT_NEAR(both.T[6 * i + k], f1.T[6 * i + k] + f2.T[6 * i + k], 1e-15 * kG * 3500) << i;
  }
}

// ------------------------------------------------------------ cavity

// A box [0, 4] x [0, 3] x [0, 2] of 2000 kg/m^3 with the void [1, 2.5] x
// [1, 2] x [0.5, 1.5] (a part of -2000): the shell's field is the outer
// prism's closed form less the inner one's, outside, in the shell and in
// the void; the surface's U0 is taken at the shell's centre of mass.
TEST(BodyParts, BoxWithABoxShapedVoid) {
  const double lo[3] = {0, 0, 0}, hi[3] = {4, 3, 2};
  const double vlo[3] = {1, 1, 0.5}, vhi[3] = {2.5, 2, 1.5};
  science::Body body(MeshOf(Box(lo, hi)), 2);
  body.SetDensity(2000, "density");
  body.AddPart(MeshOf(Box(vlo, vhi)), -2000, "void", "void");
  const std::vector<std::array<double, 3>> p = {
      {6, 1.3, 0.7}, {3.3, 0.4, 1.7}, {1.7, 1.6, 1.1}, {0.6, 2.7, 0.2}, {-2, -1, 3.1}};
  const Field f = FieldOf(body, p);
  const double Grho = kG * 2000;
  for (size_t i = 0; i < p.size(); ++i) {
    const PrismField a = Prism(lo, hi, p[i].data()), b = Prism(vlo, vhi, p[i].data());
    const double U = Grho * (a.U - b.U);
    EXPECT_NEAR(f.U[i], U, 1e-12 * U) << i;
    const double scale = Grho * std::hypot(a.gx, a.gy, a.gz);
    EXPECT_NEAR(f.gx[i], Grho * (a.gx - b.gx), 1e-12 * scale) << i;
    EXPECT_NEAR(f.gy[i], Grho * (a.gy - b.gy), 1e-12 * scale) << i;
    EXPECT_NEAR(f.gz[i], Grho * (a.gz - b.gz), 1e-12 * scale) << i;
    // The density at the point: 2000 in the shell, 0 in the void and outside.
    const bool shell = i == 1 || i == 3;
    EXPECT_NEAR(f.T[6 * i] + f.T[6 * i + 3] + f.T[6 * i + 5],
                shell ? -4 * std::numbers::pi * Grho : 0, 1e-11 * Grho)
        << i;
  }
  science::SurfaceRequest r;
  science::Surface s;
  ASSERT_TRUE(science::SurfaceOf(body, r, &s, nullptr));
  // The shell's centre of mass, by hand: (24 (2, 1.5, 1) - 1.5 (1.75, 1.5, 1)) / 22.5.
  const double c[3] = {(48 - 1.5 * 1.75) / 22.5, 1.5, 1};
  const PrismField a = Prism(lo, hi, c), b = Prism(vlo, vhi, c);
  EXPECT_NEAR(s.U0, Grho * (a.U - b.U), 1e-12 * Grho * a.U);
  EXPECT_EQ(s.U.size(), 12u);
}

// ------------------------------------------------------------ point masses

// 1e10 kg at (1, 2, 3) km seen from (4, 6, 3) km: d = (3, 4, 0) km, r = 5 km;
// U = G m / r, g = -G m d / r^3, T = G m (3 d d^T / r^5 - 1 / r^3), by hand;
// and 2e10 kg more at the same place doubles them.
TEST(BodyParts, PointMassesByHand) {
  ThreadTeam team;
  double U = 0, gx = 0, gy = 0, gz = 0, T[6] = {0, 0, 0, 0, 0, 0};
  const double x = 4, y = 6, z = 3;
  science::AddMasconField({{1, 2, 3, 1e10}}, kG, 1000, 1, &x, &y, &z, {&U, &gx, &gy, &gz}, T, team,
                          2);
  const double Gm = kG * 1e10;
  EXPECT_NEAR(U, Gm / 5000, 1e-15 * Gm / 5000);
  EXPECT_NEAR(gx, -Gm * 3000 / 125e9, 1e-15 * Gm / 25e6);
  EXPECT_NEAR(gy, -Gm * 4000 / 125e9, 1e-15 * Gm / 25e6);
  EXPECT_EQ(gz, 0);
  const double k = Gm / 3125e9;  // G m / r^5 in km^2 units: d_i d_j in km^2
  const double want[6] = {k * (27 - 25), k * 36, 0, k * (48 - 25), 0, -25 * k};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(T[i], want[i], 1e-14 * 25 * k) << i;
  science::AddMasconField({{1, 2, 3, 2e10}}, kG, 1000, 1, &x, &y, &z, {&U, &gx, &gy, &gz}, T, team,
                          1);
  EXPECT_NEAR(U, 3 * Gm / 5000, 3e-15 * Gm / 5000);
  EXPECT_NEAR(T[1], 3 * want[1], 3e-14 * want[1]);

  // In a body: the box's field alone plus the point masses'.
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 1};
  science::Body box(MeshOf(Box(lo, hi)), 2), with(MeshOf(Box(lo, hi)), 2);
  with.SetDensity(1000, "density");
  with.AddMascons({{1, 2, 3, 1e10}, {-1, 0, 0, -4e9}}, "");
  const std::vector<std::array<double, 3>> p = {{4, 6, 3}, {1, 0.5, 0.5}};
  const Field f = FieldOf(with, p), alone = FieldOf(box, p, 1000);
  for (size_t i = 0; i < p.size(); ++i) {
    double u = 0;
    for (const auto& q : {std::array<double, 4>{1, 2, 3, 1e10}, {-1, 0, 0, -4e9}})
      u += kG * q[3] / std::hypot(p[i][0] - q[0], p[i][1] - q[1], p[i][2] - q[2]);
    EXPECT_NEAR(f.U[i] - alone.U[i], u, 1e-12 * (std::fabs(u) + alone.U[i])) << i;
  }
}

// A box [-1, 1]^3 at 3000 kg/m^3 less its own point-mass representation
// (4^3 cells of 3000 x 0.125 kg at their centres): the same mass, centre
// and, by the cube's symmetry, no quadrupole in either, so 30 sizes away
// the sum is below 1e-6 of the box's field (degree 4, (1/30)^4). Its total
// mass is 0: the field is given, U/U0 and the coefficients are refused.
TEST(BodyParts, ABoxLessItsOwnPointMasses) {
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  science::Body body(MeshOf(Box(lo, hi)), 2);
  body.SetDensity(3000, "density");
  std::vector<science::Mascon> cells;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k)
        cells.push_back({-0.75 + 0.5 * i, -0.75 + 0.5 * j, -0.75 + 0.5 * k, -3000 * 0.125});
  body.AddMascons(cells, "cells");
  const science::Body alone(MeshOf(Box(lo, hi)), 2);
  const std::vector<std::array<double, 3>> p = {{30, 2, 1}, {-10, 25, 7}};
  const Field f = FieldOf(body, p), box = FieldOf(alone, p, 3000);
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_LT(std::fabs(f.U[i]), 1e-6 * box.U[i]) << i;
    EXPECT_LT(std::hypot(f.gx[i], f.gy[i], f.gz[i]),
              1e-5 * std::hypot(box.gx[i], box.gy[i], box.gz[i]))
        << i;
  }
  science::SurfaceRequest r;
  science::Surface s;
  EXPECT_EQ(Refusal([&] { science::SurfaceOf(body, r, &s, nullptr); }),
            "U/U0 and the spin (about the centre of mass) need a positive total mass: the parts "
            "and point masses add up to 0 kg");
  science::HarmonicsRequest h;
  h.degree = 2;
  EXPECT_EQ(Refusal([&] { science::HarmonicsOf(body, {}, h); }),
            "the coefficients need a positive total mass: the parts and point masses add up to 0 "
            "kg");
}

// ------------------------------------------------------------ mass

// Box A [0, 2] x [0, 1] x [0, 1] at 1000, box B [2, 3] x [0, 1] x [0, 1] at
// 3000 and 500 kg at the origin, in metres: M = 5500 kg, the centre of mass
// the mass-weighted mean, the inertia tensor each box's m/12 (b^2 + c^2, ...)
// about its centre plus m (|d|^2 1 - d d^T) for its centre's (and the point
// mass's) offset d from the centre of mass.
TEST(BodyParts, MassCentreAndInertiaOfBoxes) {
  const double alo[3] = {0, 0, 0}, ahi[3] = {2, 1, 1}, blo[3] = {2, 0, 0}, bhi[3] = {3, 1, 1};
  science::Body body(MeshOf(Box(alo, ahi)), 1);
  body.SetDensity(1000, "density");
  body.AddPart(MeshOf(Box(blo, bhi)), 3000, "B", "B");
  body.AddMascons({{0, 0, 0, 500}}, "");
  science::UnitsRequest r;
  const science::Units u = science::Resolve(r, body);
  const science::Mass m = science::MassOf(body, u);
  EXPECT_NEAR(m.mass, 5500, 1e-12);
  const double c[3] = {(2000 * 1 + 3000 * 2.5) / 5500, (2000 * 0.5 + 3000 * 0.5) / 5500,
                       (2000 * 0.5 + 3000 * 0.5) / 5500};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(m.centre[k], c[k], 1e-14) << k;
  struct Piece {
    double m, centre[3], side[3];
  };
  const Piece pieces[3] = {
      {2000, {1, 0.5, 0.5}, {2, 1, 1}}, {3000, {2.5, 0.5, 0.5}, {1, 1, 1}}, {500, {0, 0, 0}, {}}};
  double I[3][3] = {};
  for (const Piece& p : pieces) {
    const double d[3] = {p.centre[0] - c[0], p.centre[1] - c[1], p.centre[2] - c[2]};
    const double d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double s2[3] = {p.side[0] * p.side[0], p.side[1] * p.side[1], p.side[2] * p.side[2]};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        I[i][j] += p.m * ((i == j ? d2 : 0) - d[i] * d[j]);
        if (i == j) I[i][j] += p.m / 12 * (s2[0] + s2[1] + s2[2] - s2[i]);
      }
  }
  const science::Inertia in = science::InertiaOf(body, u);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(in.tensor[i][j], I[i][j], 1e-11) << i << j;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(in.centre[k], c[k], 1e-14) << k;
  // The summary's mass and GM are the body's, its volume and area the
  // first part's.
  science::SurfaceRequest sr;
  science::Surface s;
  ASSERT_TRUE(science::SurfaceOf(body, sr, &s, nullptr));
  const science::Summary sum = science::Summarise(body, sr, s);
  EXPECT_NEAR(sum.mass, 5500, 1e-12);
  EXPECT_NEAR(sum.gm, kG * 5500, 1e-12 * kG * 5500);
  EXPECT_NEAR(sum.volume, 2, 1e-15);
  EXPECT_NEAR(sum.area, 10, 1e-14);
  EXPECT_NEAR(sum.inertia.tensor[0][1], I[0][1], 1e-11);
}

// A box of sides 4, 2, 1 at 2000 with a concentric void of sides 2, 1, 0.5
// at a contrast of -1000, both turned by R and moved: the principal axes are
// R's columns, the moments those of the two boxes' closed forms.
TEST(BodyParts, PrincipalAxesOfARotatedComposite) {
  const double lo[3] = {-2, -1, -0.5}, hi[3] = {2, 1, 0.5};
  const double vlo[3] = {-1, -0.5, -0.25}, vhi[3] = {1, 0.5, 0.25};
  const Rotation R = RotationAbout({1, -2, 0.5}, 1.1);
  const std::array<double, 3> offset = {50, -20, 10};
  science::Body body(MeshOf(Box(lo, hi, R, offset)), 1);
  body.SetDensity(2000, "density");
  body.AddPart(MeshOf(Box(vlo, vhi, R, offset)), -1000, "void", "void");
  const science::Inertia in = science::InertiaOf(body, science::Resolve({}, body));
  const double M1 = 2000 * 8, M2 = -1000 * 1;
  const double want[3] = {M1 / 12 * (4 + 1) + M2 / 12 * (1 + 0.25),
                          M1 / 12 * (16 + 1) + M2 / 12 * (4 + 0.25),
                          M1 / 12 * (16 + 4) + M2 / 12 * (4 + 1)};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(in.moments[i], want[i], 1e-9 * want[2]) << i;
    double along = 0;
    for (int k = 0; k < 3; ++k) along += in.axes[i][k] * R[k][i];
    EXPECT_NEAR(std::fabs(along), 1, 1e-9) << i;
  }
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(in.centre[k], offset[k], 1e-11) << k;
}

// ------------------------------------------------------------ harmonics

// Linear in the parts: M C = M1 C1 + M2 C2 + m Q for a box, a moved box at
// another density and a point mass, about one origin and one reference
// radius; Q the point mass's own coefficients by the closed forms of
// degree 2: (r/R0)^n Pbar_nm(sin phi) (cos, sin)(m lambda) / (2n + 1).
TEST(BodyParts, HarmonicsLinearInTheParts) {
  const double alo[3] = {-1, -0.5, -0.25}, ahi[3] = {1, 0.5, 0.25};
  const double blo[3] = {0.5, 0.2, 0.1}, bhi[3] = {1.5, 0.7, 0.6};
  const double q[4] = {0.3, -0.4, 0.5, 700};
  science::Body body(MeshOf(Box(alo, ahi)), 2);
  body.SetDensity(1000, "density");
  body.AddPart(MeshOf(Box(blo, bhi)), 2500, "B", "B");
  body.AddMascons({{q[0], q[1], q[2], q[3]}}, "");
  science::HarmonicsRequest hr;
  hr.degree = 2;
  hr.reference_radius = 2;
  hr.threads = 2;
  const science::Harmonics h = science::HarmonicsOf(body, {}, hr);
  science::UnitsRequest u1, u2;
  u1.density = 1000, u2.density = 2500;
  const science::Body a(MeshOf(Box(alo, ahi)), 1), b(MeshOf(Box(blo, bhi)), 1);
  const science::Harmonics ha = science::HarmonicsOf(a, u1, hr),
                           hb = science::HarmonicsOf(b, u2, hr);
  const double Ma = 1000 * 1.0, Mb = 2500 * 0.25, M = Ma + Mb + q[3];
  EXPECT_NEAR(h.GM(), kG * M, 1e-14 * kG * M);
  const double r = std::hypot(q[0], q[1], q[2]), t = q[2] / r, cp = std::hypot(q[0], q[1]) / r;
  const double lambda = std::atan2(q[1], q[0]), s = r / 2;
  const double P[3][3] = {{1, 0, 0},
                          {std::sqrt(3.0) * t, std::sqrt(3.0) * cp, 0},
                          {std::sqrt(5.0) * (3 * t * t - 1) / 2, std::sqrt(15.0) * t * cp,
                           std::sqrt(15.0) / 2 * cp * cp}};
  for (int n = 0; n <= 2; ++n)
    for (int m = 0; m <= n; ++m) {
      const double Q = std::pow(s, n) * P[n][m] / (2 * n + 1);
      const double C =
          (Ma * ha.Cnm(n, m) + Mb * hb.Cnm(n, m) + q[3] * Q * std::cos(m * lambda)) / M;
      const double S =
          (Ma * ha.Snm(n, m) + Mb * hb.Snm(n, m) + q[3] * Q * std::sin(m * lambda)) / M;
      EXPECT_NEAR(h.Cnm(n, m), C, 1e-15) << n << m;
      EXPECT_NEAR(h.Snm(n, m), S, 1e-15) << n << m;
    }
  // Degree 1 is the centre of mass over sqrt(3) R0.
  const science::Mass mass = science::MassOf(body, science::Resolve({}, body));
  EXPECT_NEAR(h.Cnm(1, 0), mass.centre[2] / (std::sqrt(3.0) * 2), 1e-15);
  EXPECT_NEAR(h.Cnm(1, 1), mass.centre[0] / (std::sqrt(3.0) * 2), 1e-15);
  EXPECT_NEAR(h.Snm(1, 1), mass.centre[1] / (std::sqrt(3.0) * 2), 1e-15);
  // About the centre of mass degree 1 vanishes.
  hr.origin = science::HarmonicOrigin::kCentreOfMass;
  const science::Harmonics hc = science::HarmonicsOf(body, {}, hr);
  EXPECT_NEAR(hc.Cnm(1, 0), 0, 1e-15);
  EXPECT_NEAR(hc.Snm(1, 1), 0, 1e-15);
  // The header lists the parts.
  const std::string text = science::HarmonicsText(h, science::HarmonicsFormat::kTsv);
  EXPECT_NE(text.find("# part 2: B, density 2500 kg/m^3, 12 facets, mass 62"), std::string::npos)
      << text;
}

// ------------------------------------------------------------ threads, tolerance

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Field, tensor and surface of a core, a mantle, a void and point masses,
// exact and under a tolerance, on 1, 2 and 3 threads: the same bits.
TEST(BodyParts, SameBitsForEveryThreadCount) {
  std::vector<std::array<double, 3>> p;
  for (int i = 0; i < 300; ++i)
    p.push_back({std::sin(i * 1.3) * 1.5, std::cos(i * 0.7) * 1.5, std::sin(i * 0.31) * 1.5});
  for (double tolerance : {0.0, 1e-6}) {
    Field f[3];
    science::Surface s[3];
    for (unsigned threads = 1; threads <= 3; ++threads) {
      auto body = CoreAndMantle(threads, tolerance);
      const double lo[3] = {0.6, -0.1, -0.1}, hi[3] = {0.7, 0.1, 0.1};
      body->AddPart(MeshOf(Box(lo, hi)), -2000, "void", "void");
      body->AddMascons({{0.2, 0.3, 0.1, 1e3}, {-3, 0, 0, 2e4}}, "");
      f[threads - 1] = FieldOf(*body, p, {}, threads, tolerance);
      science::SurfaceRequest r;
      r.evaluation.threads = threads;
      if (tolerance > 0) r.evaluation.tolerance = tolerance;
      r.spin_period = 2;
      ASSERT_TRUE(science::SurfaceOf(*body, r, &s[threads - 1], nullptr));
    }
    for (int k = 1; k < 3; ++k) {
      EXPECT_TRUE(SameBits(f[0].U, f[k].U)) << tolerance << " " << k;
      EXPECT_TRUE(SameBits(f[0].gx, f[k].gx)) << tolerance << " " << k;
      EXPECT_TRUE(SameBits(f[0].T, f[k].T)) << tolerance << " " << k;
      EXPECT_TRUE(SameBits(s[0].U, s[k].U)) << tolerance << " " << k;
      EXPECT_TRUE(SameBits(s[0].slopeeff, s[k].slopeeff)) << tolerance << " " << k;
      EXPECT_EQ(s[0].U0, s[k].U0);
    }
  }
}

// A thin shell (radius 1 at 2000 less radius 0.97 at -2000): the parts'
// fields are 15 times the shell's, so their own tolerance would not hold
// for the sum; the body's tolerance of 1e-4 is kept against the exact sum,
// of its largest |U| and |g| over the call.
TEST(BodyParts, ToleranceKeptWhereThePartsCancel) {
  std::vector<std::array<double, 3>> p;
  for (int i = 0; i < 2000; ++i) {
    const double r = 0.2 + 3.0 * i / 2000;
    p.push_back(
        {r * std::sin(i * 1.3), r * std::cos(i * 1.3) * std::sin(i * 0.5), r * std::cos(i * 0.5)});
  }
  auto make = [](double tolerance) {
    auto body = std::make_unique<science::Body>(MeshOf(Icosphere(4, 1)), 2, tolerance);
    body->SetDensity(2000, "density");
    body->AddPart(MeshOf(Icosphere(4, 0.97)), -2000, "inner", "inner");
    return body;
  };
  const Field exact = FieldOf(*make(0), p), rough = FieldOf(*make(1e-4), p, {}, 2, 1e-4);
  double U = 0, g = 0, dU = 0, dg = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    U = std::max(U, std::fabs(exact.U[i]));
    g = std::max(g, std::hypot(exact.gx[i], exact.gy[i], exact.gz[i]));
    dU = std::max(dU, std::fabs(rough.U[i] - exact.U[i]));
    dg = std::max(dg, std::hypot(rough.gx[i] - exact.gx[i], rough.gy[i] - exact.gy[i],
                                 rough.gz[i] - exact.gz[i]));
  }
  EXPECT_LE(dU, 1e-4 * U);
  EXPECT_LE(dg, 1e-4 * g);
}

// ------------------------------------------------------------ refusals

TEST(BodyParts, Refusals) {
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  science::Body body(MeshOf(Box(lo, hi)), 1);
  EXPECT_EQ(Refusal([&] { body.AddPart(MeshOf(Box(lo, hi)), 0, "b", "--add b:0"); }),
            "--add b:0: density 0 is not a finite non-zero number (kg/m^3; negative for a cavity "
            "or a lighter core)");
  EXPECT_EQ(Refusal([&] { body.AddPart(MeshOf(Box(lo, hi)), NAN, "b", "parts[1]"); }),
            "parts[1]: density nan is not a finite non-zero number (kg/m^3; negative for a "
            "cavity or a lighter core)");
  EXPECT_EQ(Refusal([&] { body.SetDensity(-1, "parts[0]"); }),
            "parts[0]: density -1 is not a positive number (kg/m^3): the first part is the "
            "body's outer shape");
  body.AddMascons({{2, 2, 2, 10}}, "");
  // A body of parts without its densities.
  EXPECT_EQ(Refusal([&] { science::Resolve({}, body); }),
            "density is needed for a body of several parts or point masses (the first part's; "
            "the others carry theirs)");
  body.SetDensity(1000, "density");
  science::UnitsRequest mass;
  mass.mass = 5;
  EXPECT_EQ(Refusal([&] { science::Resolve(mass, body); }),
            "mass: the body's parts carry their densities (a mass or GM is for one homogeneous "
            "model)");
  science::UnitsRequest other;
  other.density = 999;
  EXPECT_EQ(Refusal([&] { science::Resolve(other, body); }),
            "density: 999 is not the first part's density, 1000");
  // G alone is the body's to take.
  science::UnitsRequest G;
  G.G = 6.7e-11;
  EXPECT_EQ(science::Resolve(G, body).density, 1000);

  // The program's part and its file of point masses.
  EXPECT_EQ(science::PartOf("a:b.stl:-1.5e3").first, "a:b.stl");
  EXPECT_EQ(science::PartOf("a:b.stl:-1.5e3").second, -1500);
  EXPECT_EQ(Refusal([] { science::PartOf("core.stl"); }),
            "add: \"core.stl\" is not PART:DENSITY (a model file and its density in kg/m^3)");
  EXPECT_EQ(Refusal([] { science::PartOf("core.stl:1e3x"); }),
            "add core.stl:1e3x: the density \"1e3x\" is not a number");
  EXPECT_EQ(Refusal([] { science::PartOf("core.stl:nan"); }),
            "add core.stl:nan: density nan is not a finite non-zero number (kg/m^3; negative for "
            "a cavity or a lighter core)");
  science::BodyRequest br{"m.stl", {"core.stl:1500"}, ""};
  science::UnitsRequest none;
  EXPECT_EQ(Refusal([&] { science::Validate(br, none); }),
            "add needs density (the model's, kg/m^3; each part carries its own)");
  br = {"m.stl", {}, "m.txt"};
  EXPECT_EQ(Refusal([&] { science::Validate(br, mass); }),
            "mass is for one homogeneous model: with mascons give density (the model's; each part "
            "carries its own)");

  const std::string dir = TempDir();
  WriteFile(dir + "/m.txt", "# x y z mass\n1, 2, 3, 4\n\n5 6 7 8 # a comment\n1 2 3 nan\n");
  EXPECT_EQ(Refusal([&] { science::ReadMascons(dir + "/m.txt"); }),
            dir + "/m.txt:5: expected four finite numbers x y z mass, found \"1 2 3 nan\"");
  WriteFile(dir + "/m.txt", "1 2 3\n");
  EXPECT_EQ(Refusal([&] { science::ReadMascons(dir + "/m.txt"); }),
            dir + "/m.txt:1: expected four finite numbers x y z mass, found \"1 2 3\"");
  WriteFile(dir + "/m.txt", "# none\n");
  EXPECT_EQ(Refusal([&] { science::ReadMascons(dir + "/m.txt"); }),
            dir + "/m.txt: no point mass (lines of x y z mass)");
  WriteFile(dir + "/m.txt", "1, 2, 3, 4\n5 6 7 -8\n");
  const auto read = science::ReadMascons(dir + "/m.txt", 2);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].x, 10);
  EXPECT_EQ(read[1].mass, -8);
  EXPECT_EQ(Refusal([&] { science::ReadMascons(dir + "/none.txt"); }),
            dir + "/none.txt: cannot be opened");
  const double rows[8] = {0, 0, 0, 1, 0, INFINITY, 0, 1};
  EXPECT_EQ(Refusal([&] { science::MasconsFromRows(rows, 2, "mascons"); }),
            "mascons: row 1 (0, inf, 0, 1) is not four finite numbers x y z mass");
}

// Where the parts lie against each other: a part of negative density must
// be inside the parts of positive density (a cavity in its host, touching
// its surface or not, or across two hosts that touch), else it is refused
// naming a point of it outside them; a billionth of the size beyond is
// rounding. Parts of positive density that overlap are told, those that
// touch are not. Masses by hand: the unit cube at 1000 kg/m^3 less the
// cavity's volume times 1000.
TEST(BodyParts, CavitiesInsideTheirHostsAndOverlaps) {
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  // A body of the unit cube at 1000 and the box [a, b] at `density`.
  const auto body = [&](std::array<double, 3> a, std::array<double, 3> b, double density) {
    auto made = std::make_unique<science::Body>(MeshOf(Box(lo, hi)), 1);
    made->SetDensity(1000, "density");
    made->SetUnit("m");
    made->AddPart(MeshOf(Box(a.data(), b.data())), density, "box", "box");
    return made;
  };
  science::Units si;
  si.density = 1000;
  const auto mass = [&](const science::Body& b) { return science::MassOf(b, si).mass; };
  const std::string outside =
      "box: part 2, of density -1000 kg/m^3, reaches outside the parts of positive density (a "
      "negative mass in empty space): its vertex at ";
  // Strictly inside, and on the floor of the cube (the plane z = 0 shared).
  auto b = body({0.25, 0.25, 0.25}, {0.5, 0.5, 0.5}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
  EXPECT_EQ(mass(*b), 1000 - 15.625);
  b = body({0.25, 0.25, 0}, {0.75, 0.75, 0.5}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
  EXPECT_EQ(mass(*b), 875);
  EXPECT_TRUE(b->Placed().overlaps.empty());
  // 1e-13 below the floor is rounding; 1e-3 is not.
  b = body({0.25, 0.25, -1e-13}, {0.75, 0.75, 0.5}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
  b = body({0.25, 0.25, -1e-3}, {0.75, 0.75, 0.5}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }).substr(0, outside.size() + 5),
            outside + "0.25 ");
  EXPECT_NE(Refusal([&] { science::RequireFit(*b); }).find(" -0.001 m lies outside them"),
            std::string::npos);
  // Poking out through the side x = 1: one of its corners at x = 1.25.
  b = body({0.75, 0.25, 0.25}, {1.25, 0.75, 0.75}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }).substr(0, outside.size() + 5),
            outside + "1.25 ");
  // The same refusal of the kind that --no-check (check=False) passes by.
  try {
    science::RequireFit(*b);
  } catch (const Failure& e) {
    EXPECT_EQ(e.kind(), Failure::Kind::kMisplaced);
  }
  // All of it outside, beside the cube: its vertex on the cube's face is
  // on it, the others not.
  b = body({1, 0, 0}, {2, 1, 1}, -1000);
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }).substr(0, outside.size() + 2),
            outside + "2 ");

  // A cavity across two cubes side by side is inside them, though inside
  // neither; the cubes touch and do not overlap.
  const double lo2[3] = {1, 0, 0}, hi2[3] = {2, 1, 1};
  b = body({0.5, 0.25, 0.25}, {1.5, 0.75, 0.75}, -1000);
  b->AddPart(MeshOf(Box(lo2, hi2)), 1000, "beside", "beside");
  EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
  EXPECT_EQ(mass(*b), 2000 - 250);
  EXPECT_TRUE(b->Placed().overlaps.empty());

  // Parts of positive density that overlap: a core, the cube twice, and a
  // box through its side.
  const std::string core =
      " overlaps part 1 (arrays), both of positive density: their densities "
      "add where they overlap (1000 + 500 = 1500 kg/m^3)";
  for (const auto& [a, z] : {std::pair<std::array<double, 3>, std::array<double, 3>>{
                                 {0.25, 0.25, 0.25}, {0.5, 0.5, 0.5}},
                             {{0, 0, 0}, {1, 1, 1}},
                             {{0.75, 0.25, 0.25}, {1.25, 0.75, 0.75}}}) {
    b = body(a, z, 500);
    EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
    ASSERT_EQ(b->Placed().overlaps.size(), 1u);
    EXPECT_EQ(b->Placed().overlaps[0], "box: part 2" + core);
  }
  // Touching the cube's side from outside, or at one edge: no overlap.
  for (const auto& [a, z] :
       {std::pair<std::array<double, 3>, std::array<double, 3>>{{1, 0.25, 0.25}, {1.5, 0.75, 0.75}},
        {{1, 1, 0}, {2, 2, 1}}}) {
    b = body(a, z, 500);
    EXPECT_EQ(Refusal([&] { science::RequireFit(*b); }), "(accepted)");
    EXPECT_TRUE(b->Placed().overlaps.empty());
  }
}

// Moved, scaled and turned models, and what they refuse.
TEST(BodyParts, PlacedModels) {
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 2, 3};
  const mesh::Mesh m = MeshOf(Box(lo, hi));
  const mesh::Mesh moved = science::Translated(m, {1, -2, 0.5});
  EXPECT_EQ(moved.vertices[3 * 7], 2);
  EXPECT_EQ(moved.vertices[3 * 7 + 1], 0);
  const mesh::Mesh big = science::Scaled(m, 2);
  EXPECT_EQ(big.vertices[3 * 7 + 2], 6);
  const Rotation R = RotationAbout({0, 0, 1}, std::numbers::pi / 2);
  const mesh::Mesh turned = science::Rotated(m, R);
  EXPECT_NEAR(turned.vertices[3 * 7], -2, 1e-15);
  EXPECT_NEAR(turned.vertices[3 * 7 + 1], 1, 1e-15);
  EXPECT_EQ(Refusal([&] { science::Scaled(m, -1); }),
            "factor: a positive number (a negative one would turn the model inside out)");
  EXPECT_EQ(Refusal([&] {
              science::Translated(m, {0, NAN, 0});
            }),
            "offset: three finite numbers x, y, z");
  const std::array<std::array<double, 3>, 3> mirror = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  EXPECT_EQ(Refusal([&] { science::Rotated(m, mirror); }),
            "matrix: not a rotation (a 3 x 3 orthogonal matrix of determinant +1)");
  const std::array<std::array<double, 3>, 3> shear = {{{1, 0.1, 0}, {0, 1, 0}, {0, 0, 1}}};
  EXPECT_EQ(Refusal([&] { science::Rotated(m, shear); }),
            "matrix: not a rotation (a 3 x 3 orthogonal matrix of determinant +1)");
}

// A body of parts given as models and as files: a file read at the units'
// scale, a model as it is; each part of its density and name, the files
// they came from kept in order, the unit and scale carried. The surface's
// file is the body's only when it was read from one. Densities are refused
// under each part's quantity.
TEST(BodyParts, OfModelsAndFiles) {
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  science::UnitsRequest units;
  units.unit = "km", units.scale = 2;
  science::Evaluation one;
  one.threads = 1;
  const std::string cube = DataPath("cube.vf.txt");
  auto body = science::BodyOf({{cube, {}, 1000, "add[0]", {{"model", cube}}},
                               {"box", MeshOf(Box(lo, hi)), -500, "add[1]", {{"add", "box.stl"}}}},
                              units, one);
  ASSERT_EQ(body->PartCount(), 2u);
  EXPECT_EQ(body->name(), cube);
  EXPECT_EQ(body->File(), cube);
  EXPECT_EQ(body->unit(), "km");
  EXPECT_EQ(body->scale(), 2);
  EXPECT_EQ(body->part(0).density(), 1000);
  EXPECT_NEAR(body->Volume(), 8, 1e-12);  // the unit cube at twice its size
  EXPECT_EQ(body->part(1).name(), "box");
  EXPECT_EQ(body->part(1).density(), -500);
  EXPECT_NEAR(body->part(1).Volume(), 1, 1e-12);
  EXPECT_EQ(body->sources(), (science::FileList{{"model", cube}, {"add", "box.stl"}}));
  // One model of arrays: the units' density, no file.
  auto alone = science::BodyOf({{"", MeshOf(Box(lo, hi)), {}, "", {}}}, {}, one);
  EXPECT_TRUE(alone->Homogeneous());
  EXPECT_EQ(alone->part(0).density(), 0);
  EXPECT_EQ(alone->File(), "");
  EXPECT_EQ(alone->unit(), "m");
  EXPECT_EQ(Refusal([&] {
              science::BodyOf({{"", MeshOf(Box(lo, hi)), -1, "add[0]", {}}}, {}, one);
            }),
            "add[0]: density -1 is not a positive number (kg/m^3): the first part is the body's "
            "outer shape");
  EXPECT_EQ(Refusal([&] {
              science::BodyOf({{"", MeshOf(Box(lo, hi)), 1000, "add[0]", {}},
                               {"", MeshOf(Box(lo, hi)), 0, "add[1]", {}}},
                              {}, one);
            }),
            "add[1]: density 0 is not a finite non-zero number (kg/m^3; negative for a cavity or a "
            "lighter core)");
}

}  // namespace
