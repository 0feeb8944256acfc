// Densities fitted to a measured field: a body of parts and a point mass
// whose own coefficients, noised with the stated sigmas, are fitted back
// within their covariance (and with the total mass held to GM); the
// refusals of what the data cannot decide and of a measured field that
// lacks what the fit needs.
#include "science/fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "science/body.h"
#include "science/harmonics.h"
#include "tests/support/refusal.h"
#include "tests/support/shapes.h"

namespace {

mesh::Mesh BoxMesh(double a, double b, double c, std::array<double, 3> offset) {
  const double lo[3] = {-a / 2, -b / 2, -c / 2}, hi[3] = {a / 2, b / 2, c / 2};
  const Shape s = Box(lo, hi, kIdentity, offset);
  mesh::Mesh m;
  m.vertices = s.vertices, m.faces = s.faces;
  return m;
}

// The body's coefficients to degree N at R0 (model units, m) as a
// measured field with sigma `sigma` on each and noise of it.
science::MeasuredField Measured(const science::Body& body, int N, double R0, double sigma,
                                unsigned seed) {
  science::HarmonicsRequest r;
  r.degree = N;
  r.reference_radius = R0;
  const science::Harmonics h = science::HarmonicsOf(body, {}, r);
  science::MeasuredField f;
  f.degree = N;
  f.C = h.C, f.S = h.S;
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, sigma);
  for (int n = 1; n <= N; ++n)
    for (int m = 0; m <= n; ++m) {
      f.C[size_t(n * (N + 1) + m)] += noise(rng);
      if (m > 0) f.S[size_t(n * (N + 1) + m)] += noise(rng);
    }
  f.sigma_C.assign(f.C.size(), sigma), f.sigma_S.assign(f.S.size(), sigma);
  f.gm = h.GM(), f.reference_radius = R0;
  return f;
}

TEST(Fit, RecoversTheDensitiesWithinTheirCovariance) {
  const mesh::Mesh mantle = BoxMesh(2, 1.6, 1.2, {0.1, 0.05, -0.1});
  const mesh::Mesh core = BoxMesh(0.6, 0.5, 0.4, {0.3, -0.1, 0.1});
  science::Body body(mantle, 1);
  body.SetDensity(2000, "density");
  body.AddPart(core, 1500, "core", "core");
  body.AddMascons({{-0.5, 0.3, -0.2, 500}}, "");
  const double truth[3] = {2000, 1500, 500};
  science::FitRequest r;
  r.degree = 6;
  int within = 0, fits = 0;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const science::MeasuredField f = Measured(body, 6, 1.5, 1e-5, seed);
    const science::Fit fit = science::FitDensities(body, f, r);
    ASSERT_EQ(fit.estimate.size(), 3u);
    EXPECT_EQ(fit.observations, 6u * 9u - 6u);  // C and S of degrees 1 to 6, no S_n0
    EXPECT_EQ(fit.dof, fit.observations - 3);
    // Each estimate within 4 sigma; chi-square near its degrees of freedom.
    for (int k = 0; k < 3; ++k) {
      EXPECT_LT(std::fabs(fit.estimate[k] - truth[k]), 4 * fit.sigma[k]) << seed << " " << k;
      within += std::fabs(fit.estimate[k] - truth[k]) < fit.sigma[k];
      ++fits;
    }
    EXPECT_GT(fit.chi_square, 0.4 * double(fit.dof));
    EXPECT_LT(fit.chi_square, 1.8 * double(fit.dof));
    EXPECT_EQ(fit.rms_by_degree.size(), 6u);
    EXPECT_NEAR(fit.correlation[1], fit.covariance[1] / (fit.sigma[0] * fit.sigma[1]), 1e-12);
  }
  // About 68% within one sigma (the covariance is the scatter's).
  EXPECT_GT(within, fits / 2);
  EXPECT_LT(within, fits * 9 / 10);
  // Held to the measured GM: the fitted mass is the measured GM's.
  science::MeasuredField f = Measured(body, 6, 1.5, 1e-5, 99);
  r.constrain_gm = true;
  const science::Fit held = science::FitDensities(body, f, r);
  const double mass = held.estimate[0] * body.part(0).Volume() +
                      held.estimate[1] * body.part(1).Volume() + held.estimate[2];
  EXPECT_NEAR(science::kG * mass, *f.gm, 1e-12 * *f.gm);
  EXPECT_EQ(held.dof, held.observations - 2);
}

TEST(Fit, Refusals) {
  const mesh::Mesh mantle = BoxMesh(2, 1.6, 1.2, {0, 0, 0});
  const mesh::Mesh core = BoxMesh(0.6, 0.5, 0.4, {0.3, -0.1, 0.1});
  science::Body body(mantle, 1);
  body.SetDensity(2000, "density");
  body.AddPart(core, 500, "core", "core");
  body.AddPart(core, 500, "again", "again");
  science::FitRequest r;
  r.degree = 4;
  science::MeasuredField f = Measured(body, 4, 1.5, 1e-5, 1);
  EXPECT_EQ(Refusal([&] { science::FitDensities(body, f, r); }),
            "part 2 density and part 3 density: the data cannot tell them apart (their effects "
            "on the coefficients fitted are the same up to a factor)");
  science::Body plain(mantle, 1);
  plain.SetDensity(2000, "density");
  r.degree = 5;
  EXPECT_EQ(Refusal([&] { science::FitDensities(plain, f, r); }),
            "degree: 5, but measured goes to degree 4");
  r.degree = 4;
  f.sigma_C[2 * 5 + 1] = -1;
  EXPECT_EQ(Refusal([&] { science::FitDensities(plain, f, r); }),
            "measured: the sigma of C(2, 1), -1, is not a positive number");
  f.gm.reset();
  EXPECT_EQ(Refusal([&] { science::FitDensities(plain, f, r); }),
            "measured: no GM (a positive number, m^3/s^2)");
}

}  // namespace
