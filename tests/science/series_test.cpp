// The series of a set of coefficients summed at points (SeriesAt) against
// the closed forms of a point mass and against the closed-form field of
// Eros far outside its Brillouin sphere; the warnings of a request's units
// (Cautions); the refusals of values given, which the faces tell as bad
// values.
#include "science/series.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/harmonics.h"
#include "science/products.h"
#include "science/request.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"

namespace {

using science::Harmonics;

// A point mass's coefficients: C00 = 1, every other 0, GM in m^3/s^2, the
// lengths in km.
Harmonics PointMass(int degree, double gm, std::array<double, 3> origin) {
  Harmonics h;
  h.degree = degree;
  const size_t side = size_t(degree) + 1;
  h.C.assign(side * side, 0.0);
  h.S.assign(side * side, 0.0);
  h.C[0] = 1;
  h.gm = gm;
  h.reference_radius = 3;
  h.origin = origin;
  h.units.density = 2000;
  h.units.unit = "km";
  h.units.metres = 1000;
  return h;
}

TEST(Series, APointMassInSIUnits) {
  const Harmonics h = PointMass(6, 5e5, {1, -2, 0.5});
  // Off the axis, and on it above and below the origin, where the
  // longitude is none.
  const std::vector<double> p = {4, 3, -2, 1, -2, 7.5, 1, -2, -9.5};
  std::vector<double> U(3), g(9);
  EXPECT_EQ(science::SeriesAt(h, std::nullopt, 3, p.data(), U.data(), g.data()), 0u);
  for (size_t i = 0; i < 3; ++i) {
    double d[3], r2 = 0;
    for (int k = 0; k < 3; ++k) d[k] = (p[3 * i + k] - h.origin[k]) * 1000, r2 += d[k] * d[k];
    const double r = std::sqrt(r2);
    EXPECT_NEAR(U[i], 5e5 / r, 1e-15 * U[i]) << i;
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(g[3 * i + k], -5e5 * d[k] / (r2 * r), 1e-15 * 5e5 / r2) << i;
  }
}

// Eros (14,744 facets, in km, G rho = 1) to degree 20 at twice and three
// times its Brillouin radius against the engine: U within 1e-9, g within
// 1e-8 of |g|; the truncations converge to it; degree 0 is the point mass.
TEST(Series, ErosAgainstTheClosedFormField) {
  const mesh::Mesh m = mesh::ReadModel(DataPath("models/eros.vf.txt"));
  science::HarmonicsRequest r;
  r.degree = 20;
  r.threads = 2;
  const Harmonics h = science::HarmonicsOf(m, science::Units{}, r);
  const science::Body body(m, 2);
  const double R = h.reference_radius;
  const std::vector<std::array<double, 3>> points = {
      {2 * R, 0, 0}, {0, 0, 2 * R}, {0, 0, -3 * R}, {1.2 * R, -1.1 * R, 0.9 * R}, {-3 * R, R, R}};
  for (const auto& p : points) {
    double U, gx, gy, gz;
    body.part(0).Field(1, &p[0], &p[1], &p[2], {&U, &gx, &gy, &gz}, {});
    double series[5], g[3], g8[3], U0;
    science::SeriesAt(h, std::nullopt, 1, p.data(), &series[0], g);
    science::SeriesAt(h, 8, 1, p.data(), &series[1], g8);
    science::SeriesAt(h, 2, 1, p.data(), &series[2], nullptr);
    science::SeriesAt(h, 0, 1, p.data(), &U0, nullptr);
    const double gn = std::sqrt(gx * gx + gy * gy + gz * gz);
    EXPECT_NEAR(series[0], U, 1e-9 * U);
    EXPECT_NEAR(g[0], gx, 1e-8 * gn);
    EXPECT_NEAR(g[1], gy, 1e-8 * gn);
    EXPECT_NEAR(g[2], gz, 1e-8 * gn);
    EXPECT_LT(std::fabs(series[1] - U), std::fabs(series[2] - U));
    EXPECT_NEAR(g8[2], gz, 1e-4 * gn);
    EXPECT_EQ(U0, h.GM() / std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  }
  // A point inside the Brillouin sphere is counted.
  const double in[6] = {0.5 * R, 0, 0, 4 * R, 0, 0};
  double U2[2];
  EXPECT_EQ(science::SeriesAt(h, std::nullopt, 2, in, U2, nullptr), 1u);
}

TEST(Series, Refusals) {
  const Harmonics h = PointMass(4, 1, {0, 0, 0});
  const double origin[3] = {0, 0, 0}, nan[3] = {NAN, 0, 1}, p[3] = {5, 0, 0};
  double U;
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, 5, 1, p, &U, nullptr); }),
            "max_degree: 5 is not a degree from 0 to 4, those of the coefficients");
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, -1, 1, p, &U, nullptr); }),
            "max_degree: -1 is not a degree from 0 to 4, those of the coefficients");
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, {}, 1, origin, &U, nullptr); }),
            "points: row 0 (0, 0, 0) is the coefficients' origin, where the series has no value");
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, {}, 1, nan, &U, nullptr); }),
            "points: row 0 (nan, 0, 1) is not three finite numbers x y z");
}

// ------------------------------------------------------------ cautions

science::Units Resolved(science::UnitsRequest r, double volume) {
  return science::Resolve(r, volume);
}

TEST(Cautions, DensitiesAndSpinsInAnotherUnit) {
  science::UnitsRequest r;
  r.unit = "km";
  r.density = 3.6;  // g/cm^3 typed for kg/m^3
  ASSERT_EQ(science::Cautions(Resolved(r, 7e5)).size(), 1u);
  EXPECT_EQ(Failure(science::Cautions(Resolved(r, 7e5))[0]).what(),
            std::string("density 3.6 kg/m^3 is outside the 100 to 25000 kg/m^3 of solid bodies: "
                        "did you mean g/cm^3 (3600 kg/m^3)?"));
  r.density = 3e5;
  EXPECT_EQ(Failure(science::Cautions(Resolved(r, 7e5)).at(0)).what(),
            std::string("density 3e+05 kg/m^3 is outside the 100 to 25000 kg/m^3 of solid "
                        "bodies (the density is in kg/m^3)"));
  // The ends of the range and no density at all are quiet.
  for (double rho : {100.0, 3600.0, 25000.0}) {
    r.density = rho;
    EXPECT_TRUE(science::Cautions(Resolved(r, 7e5)).empty()) << rho;
  }
  EXPECT_TRUE(science::Cautions(Resolved({}, 7e5)).empty());
  // Kleopatra's mass on its model in km read as metres: 10^9 times too dense.
  science::UnitsRequest mass;
  mass.mass = 2.5e18;
  EXPECT_EQ(Failure(science::Cautions(Resolved(mass, 708868.12)).at(0)).what(),
            std::string("the density (mass 2.5e+18 kg / volume) 3.527e+12 kg/m^3 is "
                        "outside the 100 to 25000 kg/m^3 of solid bodies: is the model in km "
                        "(unit km) rather than m?"));
  mass.unit = "km";
  EXPECT_TRUE(science::Cautions(Resolved(mass, 708868.12)).empty());
  r.density = 3600;
  EXPECT_TRUE(science::Cautions(Resolved(r, 7e5), 1000.0).empty());
  EXPECT_EQ(Failure(science::Cautions(Resolved(r, 7e5), 19386.0).at(0)).what(),
            std::string("spin_period 19386 h is more than 1000 h: hours, not seconds? (19386 s "
                        "is 5.385 h)"));
}

// Values given that are refused are bad values, which the Python module
// raises as polyfield.ValueError.
TEST(Refusals, ValuesGivenAreBadValues) {
  const auto kind = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const Failure& e) {
      return e.kind();
    }
    return Failure::Kind::kOther;
  };
  const mesh::Mesh m = mesh::ReadModel(DataPath("cube.vf.txt"));
  science::HarmonicsRequest r;
  r.degree = -1;
  EXPECT_EQ(kind([&] { science::CheckHarmonicsRequest(r); }), Failure::Kind::kBadValue);
  EXPECT_EQ(kind([&] { science::HarmonicOriginOf("centroid"); }), Failure::Kind::kBadValue);
  EXPECT_EQ(kind([&] { science::HarmonicsFormatOf("gfc"); }), Failure::Kind::kBadValue);
  r.degree = 200;
  r.reference_radius = 1e-3;
  EXPECT_EQ(kind([&] { science::HarmonicsOf(m, science::Units{}, r); }), Failure::Kind::kBadValue);
}

TEST(Refusals, APictureNamedForAnotherFormat) {
  science::ColourFiles files;
  for (const char* name : {"a.png", "b.PDF", "dir.v2/c.svg", "-", "plain", ".hidden"}) {
    files.picture = files.latlon = name;
    EXPECT_EQ(Refusal([&] { science::CheckFigureNames(files); }), "(accepted)") << name;
  }
  files.picture = "x.jpg";
  EXPECT_EQ(Refusal([&] { science::CheckFigureNames(files); }),
            "picture: x.jpg: the extension .jpg is not one of .png, .pdf, .svg (the picture's "
            "format)");
  files.picture = "", files.latlon = "map.Tiff";
  EXPECT_EQ(Refusal([&] { science::CheckFigureNames(files); }),
            "latlon: map.Tiff: the extension .Tiff is not one of .png, .pdf, .svg (the picture's "
            "format)");
}

}  // namespace
