// The series of coefficients summed at points (SeriesAt) against a point
// mass's closed form and the closed-form field of Eros outside its
// Brillouin sphere; the warnings of a request's units (Cautions).
#include "science/series.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/request.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"

namespace {

// A point mass at (1, -2, 0.5) km, GM 5e5 m^3/s^2, off the axis and on it
// (where the longitude is none) above and below.
TEST(Series, APointMassAndRefusals) {
  science::Harmonics h;
  h.degree = 6;
  h.C.assign(49, 0.0), h.S.assign(49, 0.0), h.C[0] = 1;
  h.gm = 5e5, h.reference_radius = 3, h.origin = {1, -2, 0.5};
  h.units.density = 2000, h.units.unit = "km", h.units.metres = 1000;
  const std::vector<double> p = {4, 3, -2, 1, -2, 7.5, 1, -2, -9.5};
  std::vector<double> U(3), g(9);
  EXPECT_EQ(science::SeriesAt(h, std::nullopt, 3, p.data(), U.data(), g.data()), 0u);
  for (size_t i = 0; i < 3; ++i) {
    double d[3], r2 = 0;
    for (int k = 0; k < 3; ++k) d[k] = (p[3 * i + k] - h.origin[k]) * 1000, r2 += d[k] * d[k];
    EXPECT_NEAR(U[i], 5e5 / std::sqrt(r2), 1e-15 * U[i]) << i;
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(g[3 * i + k], -5e5 * d[k] / (r2 * std::sqrt(r2)), 1e-15 * 5e5 / r2) << i;
  }
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, 7, 1, p.data(), U.data(), nullptr); }),
            "max_degree: 7 is not a degree from 0 to 6, those of the coefficients");
  EXPECT_EQ(Refusal([&] { science::SeriesAt(h, {}, 1, h.origin.data(), U.data(), nullptr); }),
            "points: row 0 (1, -2, 0.5) is the coefficients' origin, where the series has no "
            "value");
}

// Eros (14,744 facets, G rho = 1) to degree 20 at two and three Brillouin
// radii against the engine, on the axis too; the truncations converge, a
// point inside the sphere is counted.
TEST(Series, ErosAgainstTheClosedFormField) {
  const mesh::Mesh m = mesh::ReadModel(DataPath("models/eros.vf.txt"));
  science::HarmonicsRequest r;
  r.degree = 20;
  const science::Harmonics h = science::HarmonicsOf(m, science::Units{}, r);
  const science::Body body(m, 2);
  const double R = h.reference_radius;
  for (const auto& p : std::vector<std::array<double, 3>>{
           {2 * R, 0, 0}, {0, 0, 2 * R}, {0, 0, -3 * R}, {1.2 * R, -1.1 * R, 0.9 * R}}) {
    double U, g[3], series, s[3], low, high;
    body.part(0).Field(1, &p[0], &p[1], &p[2], {&U, &g[0], &g[1], &g[2]}, {});
    science::SeriesAt(h, std::nullopt, 1, p.data(), &series, s);
    science::SeriesAt(h, 2, 1, p.data(), &low, nullptr);
    science::SeriesAt(h, 8, 1, p.data(), &high, nullptr);
    EXPECT_NEAR(series, U, 1e-9 * U);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(s[k], g[k], 1e-8 * std::hypot(g[0], g[1], g[2]));
    EXPECT_LT(std::fabs(high - U), std::fabs(low - U));
  }
  const double in[6] = {0.5 * R, 0, 0, 4 * R, 0, 0};
  double U2[2];
  EXPECT_EQ(science::SeriesAt(h, std::nullopt, 2, in, U2, nullptr), 1u);
}

std::vector<std::string> Told(science::UnitsRequest r, std::optional<double> spin = {}) {
  std::vector<std::string> lines;
  for (const std::string& line : science::Cautions(science::Resolve(r, 708868.12), spin))
    lines.push_back(Failure(line).what());
  return lines;
}

TEST(Cautions, DensitiesAndSpinsInAnotherUnit) {
  science::UnitsRequest r;
  for (double quiet : {100.0, 3600.0, 25000.0}) {
    r.density = quiet;
    EXPECT_EQ(Told(r, 1000.0), std::vector<std::string>{}) << quiet;
  }
  r.density = 3.6;
  EXPECT_EQ(Told(r, 19386.0),
            (std::vector<std::string>{"density 3.6 kg/m^3 is outside the 100 to 25000 kg/m^3 of "
                                      "solid bodies: did you mean g/cm^3 (3600 kg/m^3)?",
                                      "spin_period 19386 h is more than 1000 h: hours, not "
                                      "seconds? (19386 s is 5.385 h)"}));
  r.density = 3e5;
  EXPECT_EQ(Told(r).at(0),
            "density 3e+05 kg/m^3 is outside the 100 to 25000 kg/m^3 of solid "
            "bodies (the density is in kg/m^3)");
  // Kleopatra's mass on its model in km read as metres: 10^9 times too dense.
  science::UnitsRequest mass;
  mass.mass = 2.5e18;
  EXPECT_EQ(Told(mass).at(0),
            "the density (mass 2.5e+18 kg / volume) 3.527e+12 kg/m^3 is "
            "outside the 100 to 25000 kg/m^3 of solid bodies: is the model in "
            "km (unit km) rather than m?");
  mass.unit = "km";
  EXPECT_EQ(Told(mass), std::vector<std::string>{});
}

}  // namespace
