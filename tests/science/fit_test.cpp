// Densities fitted to a measured field: a body of parts and a point mass
// whose own coefficients, noised with the stated sigmas, are fitted back
// within their covariance (and with the total mass held to GM); the
// refusals of what the data cannot decide and of a measured field that
// lacks what the fit needs.
#include "science/fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/harmonics.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"
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

// The file's text with `from` replaced by `to`, written to a scratch file.
std::string Edited(const std::string& text, const std::string& from, const std::string& to,
                   const char* name) {
  std::string t = text;
  const size_t at = t.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  t.replace(at, from.size(), to);
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << t;
  return path;
}

// An ICGEM file of Eros's own coefficients noised by its sigmas (1e-5):
// its density fitted back; the same field as a SHADR table; what a file
// that lacks what the fit needs is refused with.
TEST(Fit, MeasuredFiles) {
  const std::string gfc = DataPath("eros_synthetic.gfc");
  const science::MeasuredField f = science::ReadMeasuredField(gfc);
  EXPECT_EQ(f.degree, 6);
  EXPECT_EQ(*f.reference_radius, 16000);
  EXPECT_EQ(f.sigma_C[3 * 7 + 1], 1e-5);
  science::Body eros(mesh::ReadModel(DataPath("models/eros1708_km.vf.txt")), 1);
  eros.SetUnit("km");
  science::FitRequest r;
  r.degree = 6;
  const science::Fit fit = science::FitDensities(eros, f, r);
  EXPECT_LT(std::fabs(fit.estimate[0] - 2670), 4 * fit.sigma[0]);
  EXPECT_LT(fit.sigma[0], 1.0);
  // The same as SHADR records: R0 km, GM km^3/s^2.
  std::string shadr = "16.0, " + std::to_string(*f.gm / 1e9) + ", 0, 6, 6, 1, 0, 0\n";
  char line[200];
  for (int n = 0; n <= 6; ++n)
    for (int m = 0; m <= n; ++m) {
      std::snprintf(line, sizeof line, "%d, %d, %.17e, %.17e, 1.0D-05, 1.0D-05\n", n, m,
                    f.C[size_t(n * 7 + m)], f.S[size_t(n * 7 + m)]);
      shadr += line;
    }
  const std::string tab = Edited(shadr, "16.0", "16.0", "eros.tab");
  const science::MeasuredField g = science::ReadMeasuredField(tab);
  EXPECT_EQ(g.C, f.C);
  EXPECT_EQ(g.sigma_S, f.sigma_S);
  EXPECT_EQ(*g.reference_radius, 16000);
  EXPECT_EQ(Refusal([&] {
              science::ReadMeasuredField(Edited(shadr, ", 1, 0, 0", ", 0, 0, 0", "u.tab"));
            }),
            ::testing::TempDir() +
                "u.tab:1: normalisation 0 (only fully normalised coefficients, 1, "
                "are read)");
  std::ifstream in(gfc);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string dir = ::testing::TempDir();
  EXPECT_EQ(Refusal([&] {
              science::ReadMeasuredField(Edited(text, "earth_gravity_constant", "gm", "a.gfc"));
            }),
            dir + "a.gfc: no earth_gravity_constant (GM) in the header");
  EXPECT_EQ(Refusal([&] {
              science::ReadMeasuredField(Edited(text, "fully_normalized", "unnormalized", "b.gfc"));
            }),
            dir + "b.gfc: norm unnormalized (only fully_normalized coefficients are read)");
  EXPECT_EQ(Refusal([&] { science::ReadMeasuredField(Edited(text, "formal", "no", "c.gfc")); }),
            dir + "c.gfc: errors no: the file carries no sigmas");
  EXPECT_EQ(
      Refusal([&] {
        science::ReadMeasuredField(Edited(text, "gfc     6     6", "gfc     7     6", "d.gfc"));
      }),
      dir + "d.gfc:42: (7, 6) is not a degree and order to 6");
  EXPECT_EQ(
      Refusal([&] {
        science::ReadMeasuredField(Edited(text, "gfc     4     2", "gfc     4     1", "e.gfc"));
      }),
      dir + "e.gfc:27: (4, 1) given twice");
  // A coefficient the file lacks, where the fit needs it.
  const size_t at = text.find("gfc     4     2");
  const science::MeasuredField lacking = science::ReadMeasuredField(
      Edited(text, text.substr(at, text.find('\n', at) + 1 - at), "", "f.gfc"));
  EXPECT_EQ(Refusal([&] { science::FitDensities(eros, lacking, r); }), dir + "f.gfc: no C(4, 2)");
}

}  // namespace
