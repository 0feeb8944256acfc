// Eros moved 1e5 to 1e8 of its sizes from the origin (a boulder in a
// planet-centred frame, a body in a heliocentric one): volume, centre of
// mass, inertia, the potential at the centre and the harmonics' centre of
// mass against the model at home, to the rounding of the moved vertices.
#include <gtest/gtest.h>

#include <cmath>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/harmonics.h"
#include "science/summary.h"
#include "tests/support/run.h"

namespace {

TEST(FarBody, SumsKeepTheirDigits) {
  const mesh::Mesh eros = mesh::ReadModel(DataPath("models/eros.vf.txt"));
  const science::Body home(eros, 1);
  // The listed volume of the model (tests/data/models/README.md).
  EXPECT_NEAR(home.Volume(), 0.29133057092, 1e-11);
  const auto c0 = home.CentreOfMass();
  const science::Inertia i0 = science::InertiaOf(eros, science::Units{});
  science::HarmonicsRequest request;
  request.degree = 2;
  request.origin = science::HarmonicOrigin::kCentreOfMass;
  const science::Harmonics h0 = science::HarmonicsOf(eros, science::Units{}, request);
  double U0 = 0, g0[3];
  {
    const double x = c0[0], y = c0[1], z = c0[2];
    ASSERT_TRUE(home.part(0).Field(1, &x, &y, &z, {&U0, &g0[0], &g0[1], &g0[2]}, {}));
  }
  for (double sizes : {1e5, 1e6, 1e7, 1e8}) {
    const double d[3] = {-0.9 * sizes, 1.6 * sizes, 0.4 * sizes};
    mesh::Mesh moved = eros;
    for (size_t i = 0; i < moved.vertices.size(); ++i) moved.vertices[i] += d[i % 3];
    // Relative to the body's size (1.6), the moved vertices are rounded to
    // 2^-52 of the offset; the sums may take a few of these.
    const double rounding = 8 * std::ldexp(1.0, std::ilogb(1.6 * sizes) - 52) / 1.6;
    const science::Body far(moved, 1);
    EXPECT_EQ(far.Check().Problem(), "") << sizes;
    EXPECT_NEAR(far.Volume() / home.Volume(), 1, rounding) << sizes;
    const auto c = far.CentreOfMass();
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(c[k] - d[k], c0[k], 1.6 * rounding) << sizes;
    const science::Inertia in = science::InertiaOf(moved, science::Units{});
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(in.moments[k] / i0.moments[k], 1, 10 * rounding) << sizes;
    const science::Harmonics h = science::HarmonicsOf(moved, science::Units{}, request);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(h.origin[k] - d[k], h0.origin[k], 1.6 * rounding);
    EXPECT_NEAR(h.Cnm(2, 0) / h0.Cnm(2, 0), 1, 100 * rounding) << sizes;
    // A vertex that no face uses, listed first at the origin, changes
    // nothing.
    mesh::Mesh stray = moved;
    stray.vertices.insert(stray.vertices.begin(), {0, 0, 0});
    for (uint32_t& v : stray.faces) ++v;
    const science::Body astray(stray, 1);
    EXPECT_EQ(astray.Volume(), far.Volume()) << sizes;
    EXPECT_EQ(science::InertiaOf(stray, science::Units{}).moments, in.moments) << sizes;
    // The potential at the centre of mass, U0 of the surface products.
    double U, g[3];
    const double x = c[0], y = c[1], z = c[2];
    ASSERT_TRUE(far.part(0).Field(1, &x, &y, &z, {&U, &g[0], &g[1], &g[2]}, {}));
    EXPECT_NEAR(U / U0, 1, 100 * rounding) << sizes;
  }
}

}  // namespace
