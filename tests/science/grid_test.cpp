// Grids on a sphere: the cells' latitudes and longitudes and their points by
// hand, the refusals, and the field on them against what a point mass gives:
// far from the unit cube (whose first multipole after the monopole is of
// degree 4, its quadrupole and odd degrees vanishing by symmetry) the
// radial attraction is -GM/r^2 and the departures from the point mass fall
// off as r^-5 (potential) and r^-6 (attraction). A shell above the cube
// lies at 1/2 over the largest component of each direction, plus the
// altitude; above a torus, whose centre lies in its hole, the rays along
// the axis meet nothing and are refused. A body of parts has its grid about
// its centre of mass with its total GM: a box split in two halves of its
// density gives the box's grid, a box with a point mass the sum of their
// closed forms.
#include "science/grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "common/failure.h"
#include "science/model.h"
#include "tests/support/prism.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"
#include "tests/support/torus.h"

namespace {

constexpr double kG = 6.67430e-11;

std::string RefusalOf(const science::GridRequest& r) {
  try {
    science::Validate(r);
  } catch (const Failure& e) {
    EXPECT_EQ(e.kind(), Failure::Kind::kBadValue);
    return e.what();
  }
  return "(accepted)";
}

TEST(Grid, CellCentresNorthFirstLongitudesEastFromTheSeam) {
  const science::Grid g = science::MakeGrid({2, 2, 4, {}}, {1, 2, 3});
  ASSERT_EQ(g.x.size(), 8u);
  const double lat[8] = {45, 45, 45, 45, -45, -45, -45, -45};
  const double lon[8] = {-135, -45, 45, 135, -135, -45, 45, 135};
  const double s = std::sqrt(0.5);  // cos 45 = sin 45
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(g.lat[k], lat[k]) << k;
    EXPECT_EQ(g.lon[k], lon[k]) << k;
    const double sx = k % 4 == 0 || k % 4 == 3 ? -1 : 1, sy = k % 4 < 2 ? -1 : 1;
    EXPECT_NEAR(g.x[k], 1 + 2 * s * s * sx, 1e-15) << k;
    EXPECT_NEAR(g.y[k], 2 + 2 * s * s * sy, 1e-15) << k;
    EXPECT_NEAR(g.z[k], 3 + 2 * s * (k < 4 ? 1 : -1), 1e-15) << k;
  }
  // One cell: the equator's point at longitude 0.
  const science::Grid one = science::MakeGrid({5, 1, 1, {}}, {0, 0, 0});
  EXPECT_EQ(one.lat[0], 0);
  EXPECT_EQ(one.lon[0], 0);
  EXPECT_EQ(one.x[0], 5);
  // Three rows: 60, 0, -60; no point at a pole.
  const science::Grid three = science::MakeGrid({1, 3, 2, {}}, {0, 0, 0});
  EXPECT_EQ(three.lat[0], 60);
  EXPECT_EQ(three.lat[2], 0);
  EXPECT_EQ(three.lat[4], -60);
  EXPECT_EQ(three.lon[1], 90);
}

TEST(Grid, RadiusAndShapeAreRefusedByName) {
  EXPECT_EQ(RefusalOf({0, 2, 2, {}}), "radius: a positive number in the model's unit");
  EXPECT_EQ(RefusalOf({NAN, 2, 2, {}}), "radius: a positive number in the model's unit");
  EXPECT_EQ(RefusalOf({-1, 2, 2, {}}), "radius: a positive number in the model's unit");
  const std::string shape =
      "shape: rows and columns NLAT, NLON, at least 1 each and at most 8388608 points";
  EXPECT_EQ(RefusalOf({1, 0, 2, {}}), shape);
  EXPECT_EQ(RefusalOf({1, 2, 0, {}}), shape);
  EXPECT_EQ(RefusalOf({1, 4096, 2049, {}}), shape);
  EXPECT_EQ(RefusalOf({1, 4096, 2048, {}}), "(accepted)");
  EXPECT_EQ(RefusalOf({1, 2, 2, 3.0}), "radius and altitude are alternatives: give one");
  EXPECT_EQ(RefusalOf({0, 2, 2, -1.0}), "altitude: 0 or a positive number in the model's unit");
  EXPECT_EQ(RefusalOf({0, 2, 2, 0.0}), "(accepted)");
}

// What a face may leave out, and the checks beside the grid's: no gradient
// tensor on a grid, a body of one density.
TEST(Grid, LeftOutGradientAndBodiesOfParts) {
  EXPECT_EQ(Refusal([] { science::GridRequestOf(1.0, {}, {}); }),
            "shape: (nlat, nlon), the grid's rows and columns");
  EXPECT_EQ(Refusal([] {
              science::GridRequestOf({}, std::pair{2u, 3u}, {});
            }),
            "radius or altitude: give one");
  const science::GridRequest r = science::GridRequestOf({}, std::pair{2u, 3u}, 0.5);
  EXPECT_EQ(r.radius, 0);
  EXPECT_EQ(r.nlat, 2u);
  EXPECT_EQ(r.nlon, 3u);
  EXPECT_EQ(r.altitude, 0.5);
  science::FieldRequest field;
  EXPECT_EQ(Refusal([&] { science::Validate(field, r); }), "(accepted)");
  field.gradient = true;
  EXPECT_EQ(Refusal([&] { science::Validate(field, r); }),
            "gradient: at points only (points), not on a grid");
  science::Body body(science::LoadModel(DataPath("cube.stl")), 1);
  field.gradient = false;
  EXPECT_EQ(Refusal([&] { science::Validate(field, r, body); }), "(accepted)");
  body.SetDensity(1000, "density");
  body.AddPart(science::LoadModel(DataPath("cube.stl")), -500, "core", "core");
  // A body of parts carries its densities; its mass must be positive.
  EXPECT_EQ(Refusal([&] { science::Validate(field, r, body); }), "(accepted)");
  body.AddPart(science::LoadModel(DataPath("cube.stl")), -600, "void", "void");
  EXPECT_EQ(Refusal([&] { science::Validate(field, r, body); }),
            "a grid about the centre of mass and its GM need a positive total mass: the parts "
            "and point masses add up to -100 kg");
}

mesh::Mesh BoxMesh(const double lo[3], const double hi[3]) {
  const Shape s = Box(lo, hi);
  mesh::Mesh m;
  m.vertices = s.vertices, m.faces = s.faces;
  return m;
}

science::FieldRequest Si(double density) {
  science::FieldRequest r;
  r.units.density = density;
  r.units.unit = "km";
  r.evaluation.threads = 2;
  return r;
}

TEST(Grid, ABoxSplitInTwoPartsOfItsDensityIsTheBox) {
  // [0, 2] x [0, 1] x [0, 1] whole, and as its halves x < 1 and x > 1.
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 1}, mid_hi[3] = {1, 1, 1}, mid_lo[3] = {1, 0, 0};
  science::Body whole(BoxMesh(lo, hi), 2);
  science::Body halves(BoxMesh(lo, mid_hi), 2);
  halves.SetDensity(2500, "density");
  halves.AddPart(BoxMesh(mid_lo, hi), 2500, "right", "right");
  const science::GridRequest g{7, 5, 8, {}};
  science::Grid a, b;
  science::GridField fa, fb;
  ASSERT_TRUE(science::GridOf(whole, Si(2500), g, &a, &fa, nullptr));
  ASSERT_TRUE(science::GridOf(halves, Si(2500), g, &b, &fb, nullptr));
  // The centre of mass of the whole, (1, 1/2, 1/2), and its GM.
  EXPECT_NEAR(b.centre[0], 1, 1e-15);
  EXPECT_NEAR(b.centre[1], 0.5, 1e-15);
  EXPECT_NEAR(b.centre[2], 0.5, 1e-15);
  EXPECT_NEAR(fb.GM, kG * 2500 * 2e9, 1e-14 * fb.GM);
  EXPECT_NEAR(fa.GM, fb.GM, 1e-14 * fb.GM);
  const double gs = fa.GM / (7e3 * 7e3), us = fa.GM / 7e3;
  for (size_t k = 0; k < a.x.size(); ++k) {
    EXPECT_NEAR(a.x[k], b.x[k], 1e-14) << k;
    EXPECT_NEAR(a.z[k], b.z[k], 1e-14) << k;
    EXPECT_NEAR(fa.U[k], fb.U[k], 1e-13 * us) << k;
    EXPECT_NEAR(fa.gr[k], fb.gr[k], 1e-13 * gs) << k;
    EXPECT_NEAR(fa.dU[k], fb.dU[k], 1e-13 * us) << k;
    EXPECT_NEAR(fa.dgx[k], fb.dgx[k], 1e-13 * gs) << k;
    EXPECT_NEAR(fa.dgz[k], fb.dgz[k], 1e-13 * gs) << k;
  }
  // The departures are the box's own (degree 2: a part in a hundred here),
  // not the point mass missed by a shifted centre.
  EXPECT_GT(std::fabs(fb.dU[0]), 1e-4 * us);
  EXPECT_LT(std::fabs(fb.dU[0]), 3e-2 * us);
}

TEST(Grid, ABoxAndAPointMassAgainstTheirClosedForms) {
  // The cube [-1, 1]^3 km of 2000 kg/m^3 and a point mass of a quarter of
  // its mass at (0.5, 0, 0): the centre of mass at (0.1, 0, 0).
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  const double M = 2000 * 8e9, m = M / 4, q[3] = {0.5, 0, 0};
  science::Body body(BoxMesh(lo, hi), 2);
  body.SetDensity(2000, "density");
  body.AddMascons({{q[0], q[1], q[2], m}}, "");
  for (const std::optional<double> altitude : {std::optional<double>(), std::optional(0.5)}) {
    const science::GridRequest g{altitude ? 0 : 3.0, 4, 6, altitude};
    science::Grid grid;
    science::GridField f;
    ASSERT_TRUE(science::GridOf(body, Si(2000), g, &grid, &f, nullptr));
    EXPECT_NEAR(grid.centre[0], 0.1, 1e-15);
    EXPECT_EQ(grid.centre[1], 0);
    const double GM = kG * (M + m);
    EXPECT_NEAR(f.GM, GM, 1e-15 * GM);
    for (size_t k = 0; k < grid.x.size(); ++k) {
      const double p[3] = {grid.x[k], grid.y[k], grid.z[k]};
      const double c[3] = {p[0] - 0.1, p[1], p[2]};
      const double r = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
      if (altitude) {
        // On the ray from the centre of mass, the altitude above the cube.
        double exit = 1e300;
        for (int a = 0; a < 3; ++a)
          if (c[a] != 0) exit = std::min(exit, ((c[a] > 0 ? 1 : -1) - grid.centre[a]) / (c[a] / r));
        EXPECT_NEAR(r, exit + 0.5, 1e-13) << k;
      } else {
        EXPECT_NEAR(r, 3, 1e-14) << k;
      }
      // The prism's closed form (G rho = 1, km) and the point mass's, SI.
      const PrismField box = Prism(lo, hi, p);
      const double d[3] = {p[0] - q[0], p[1] - q[1], p[2] - q[2]};
      const double rq = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * 1e3;
      const double U = kG * 2000 * 1e6 * box.U + kG * m / rq;
      const double gx = kG * 2000 * 1e3 * box.gx - kG * m * d[0] * 1e3 / (rq * rq * rq);
      const double gz = kG * 2000 * 1e3 * box.gz - kG * m * d[2] * 1e3 / (rq * rq * rq);
      const double rm = r * 1e3;
      EXPECT_NEAR(f.U[k], U, 1e-12 * U) << k;
      EXPECT_NEAR(f.dU[k], U - GM / rm, 1e-12 * U) << k;
      const double gs = GM / (rm * rm);
      EXPECT_NEAR(f.dgx[k], gx + GM * c[0] * 1e3 / (rm * rm * rm), 1e-11 * gs) << k;
      EXPECT_NEAR(f.dgz[k], gz + GM * c[2] * 1e3 / (rm * rm * rm), 1e-11 * gs) << k;
      EXPECT_NEAR(f.gr[k], (gx * c[0] + f.gy[k] * c[1] + gz * c[2]) / r, 1e-11 * gs) << k;
    }
  }
}

TEST(Grid, ShellAboveTheCubeAndRaysThatMeetNothing) {
  const mesh::Mesh cube = science::LoadModel(DataPath("cube.stl"));
  for (const double h : {0.0, 2.0}) {
    science::GridRequest r{0, 30, 60, h};
    const science::Grid g = science::MakeShell(cube, r, {0.5, 0.5, 0.5});
    ASSERT_EQ(g.x.size(), 1800u);
    for (size_t k = 0; k < g.x.size(); ++k) {
      const double lat = g.lat[k] * M_PI / 180, lon = g.lon[k] * M_PI / 180;
      const double u[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon),
                           std::sin(lat)};
      const double s = 0.5 / std::max({std::fabs(u[0]), std::fabs(u[1]), std::fabs(u[2])}) + h;
      EXPECT_NEAR(g.x[k], 0.5 + s * u[0], 1e-14) << k;
      EXPECT_NEAR(g.y[k], 0.5 + s * u[1], 1e-14) << k;
      EXPECT_NEAR(g.z[k], 0.5 + s * u[2], 1e-14) << k;
    }
  }
  // The torus of radii 3 and 1 about the z axis: from its centre the
  // equator's rays leave it at 4, the polar ones never meet it.
  mesh::Mesh torus;
  for (const Facet& f : models::Torus(64, 32))
    for (int k = 0; k < 3; ++k) {
      torus.faces.push_back(static_cast<uint32_t>(torus.vertices.size() / 3));
      torus.vertices.insert(torus.vertices.end(), {f.v[3 * k], f.v[3 * k + 1], f.v[3 * k + 2]});
    }
  try {
    science::MakeShell(torus, {0, 3, 8, 0.0}, {0, 0, 0});
    ADD_FAILURE() << "accepted";
  } catch (const Failure& e) {
    EXPECT_EQ(std::string(e.what()),
              "altitude: the ray from the centre of mass toward latitude 60, longitude -157.5 "
              "meets no facet (is the centre of mass inside the model?)");
  }
  const science::Grid equator = science::MakeShell(torus, {0, 1, 8, 0.5}, {0, 0, 0});
  for (size_t k = 0; k < 8; ++k)
    EXPECT_NEAR(std::hypot(equator.x[k], equator.y[k]), 4.5, 0.01) << k;
}

struct GridRun {
  science::Grid grid;
  science::GridField field;
};

GridRun CubeGrid(double radius, const science::UnitsRequest& units = {}) {
  science::Body body(science::LoadModel(DataPath("cube.stl")), 2);
  science::FieldRequest request;
  request.units = units;
  GridRun r;
  EXPECT_TRUE(science::GridOf(body, request, {radius, 6, 12, {}}, &r.grid, &r.field, nullptr));
  return r;
}

TEST(Grid, FarFromTheCubeThePointMass) {
  // G rho = 1: GM is the volume, 1, and the grid is about (0.5, 0.5, 0.5).
  const GridRun near = CubeGrid(50), far = CubeGrid(100);
  for (size_t k = 0; k < far.grid.x.size(); ++k) {
    const double r = 100;
    EXPECT_NEAR(far.grid.x[k] - 0.5,
                r * std::cos(far.grid.lat[k] * M_PI / 180) * std::cos(far.grid.lon[k] * M_PI / 180),
                1e-12);
    EXPECT_NEAR(far.field.gr[k], -1 / (r * r), 1e-8 / (r * r)) << k;
    EXPECT_NEAR(far.field.U[k], 1 / r, 1e-8 / r) << k;
    // Departures: a part in 1e8 or less of the field; halved in radius they
    // grow by 2^5 and 2^6 (to a few percent: the degree-6 terms).
    const double dg = std::hypot(far.field.dgx[k], far.field.dgy[k], far.field.dgz[k]);
    const double dg_near = std::hypot(near.field.dgx[k], near.field.dgy[k], near.field.dgz[k]);
    EXPECT_LT(std::fabs(far.field.dU[k]), 1e-8 / r) << k;
    EXPECT_LT(dg, 1e-8 / (r * r)) << k;
    EXPECT_GT(dg, 0) << k;
    EXPECT_NEAR(near.field.dU[k] / far.field.dU[k], 32, 1) << k;
    EXPECT_NEAR(dg_near / dg, 64, 2) << k;
  }
}

TEST(Grid, SiUnitsOfTheRadialAttraction) {
  // The cube taken as 1 km on a side, 2000 kg/m^3: GM = G 2000 1e9.
  science::UnitsRequest units;
  units.density = 2000;
  units.unit = std::string("km");
  const GridRun r = CubeGrid(1000, units);
  const double gm = kG * 2000 * 1e9, metres = 1000 * 1000.0;
  for (size_t k = 0; k < r.grid.x.size(); ++k) {
    EXPECT_NEAR(r.field.gr[k], -gm / (metres * metres), 1e-12 * gm / (metres * metres)) << k;
    EXPECT_NEAR(r.field.U[k], gm / metres, 1e-12 * gm / metres) << k;
  }
}

}  // namespace
