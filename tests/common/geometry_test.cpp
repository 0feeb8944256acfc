// The shared geometry against hand calculation: a right triangle's normal
// and area, the unit cube's volume and centroid about the origin and about
// a reference point far from it, and the weld key of signed zeros.
#include "common/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/shapes.h"

namespace {

using geometry::Vec;

TEST(Geometry, FacetNormalAndArea) {
  const Vec a{1, 1, 1}, b{4, 1, 1}, c{1, 5, 1};  // legs 3 and 4, counter-clockwise seen from +z
  const Vec n = geometry::FacetNormal(a, b, c);
  EXPECT_EQ(n.x, 0);
  EXPECT_EQ(n.y, 0);
  EXPECT_EQ(n.z, 12);
  EXPECT_EQ(geometry::FacetArea(a, b, c), 6);
  EXPECT_EQ(geometry::Norm(geometry::Cross({1, 0, 0}, {0, 1, 0}) + Vec{0, 0, 1}), 2);
}

TEST(Geometry, VolumeAboutAReferencePointKeepsItsDigits) {
  // The box [0, 1] x [0, 2] x [0, 3] moved by L: volume 6, centroid
  // (0.5, 1, 1.5) + L. About the origin at L = 1.2e6 the sum loses most
  // of its digits; about a corner it keeps every one.
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 2, 3};
  for (double L : {0.0, 1234567.891}) {
    const Shape s = Box(lo, hi, kIdentity, {L, L, L});
    auto corner = [&](size_t f, int k) {
      return geometry::At(&s.vertices[3 * s.faces[3 * f + k]]);
    };
    geometry::VolumeSum origin;
    geometry::VolumeAbout about(corner(0, 0));
    for (size_t f = 0; f < s.faces.size() / 3; ++f) {
      origin.Add(corner(f, 0), corner(f, 1), corner(f, 2));
      about.Add(corner(f, 0), corner(f, 1), corner(f, 2));
    }
    EXPECT_EQ(about.Volume(), 6) << L;
    EXPECT_EQ(about.Centroid().x, 0.5 + L) << L;
    EXPECT_EQ(about.Centroid().y, 1 + L) << L;
    EXPECT_EQ(about.Centroid().z, 1.5 + L) << L;
    if (L == 0) {
      EXPECT_EQ(origin.Volume(), 6);
    } else {
      EXPECT_GT(std::fabs(origin.Volume() - 6), 1e-6);  // what the reference point avoids
    }
  }
}

TEST(Geometry, WeldKeyOfEqualValues) {
  const double a[3] = {0.0, 1.5, -2}, b[3] = {-0.0, 1.5, -2}, c[3] = {0.0, 1.5000000000000002, -2};
  EXPECT_TRUE(geometry::WeldKeyOf(a) == geometry::WeldKeyOf(b));
  EXPECT_EQ(geometry::WeldHash(geometry::WeldKeyOf(a)), geometry::WeldHash(geometry::WeldKeyOf(b)));
  EXPECT_FALSE(geometry::WeldKeyOf(a) == geometry::WeldKeyOf(c));
  EXPECT_NE(geometry::WeldHash(geometry::WeldKeyOf(a)), geometry::WeldHash(geometry::WeldKeyOf(c)));
}

}  // namespace
