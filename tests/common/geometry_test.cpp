// The shared geometry against hand calculation: a right triangle's normal
// and area, and the weld key of signed zeros and neighbouring doubles (the
// volume sums are tested on whole models far from their origin, in
// tests/mesh and tests/science).
#include "common/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST(Geometry, WeldKeyOfEqualValues) {
  const double a[3] = {0.0, 1.5, -2}, b[3] = {-0.0, 1.5, -2}, c[3] = {0.0, 1.5000000000000002, -2};
  EXPECT_TRUE(geometry::WeldKeyOf(a) == geometry::WeldKeyOf(b));
  EXPECT_EQ(geometry::WeldHash(geometry::WeldKeyOf(a)), geometry::WeldHash(geometry::WeldKeyOf(b)));
  EXPECT_FALSE(geometry::WeldKeyOf(a) == geometry::WeldKeyOf(c));
  EXPECT_NE(geometry::WeldHash(geometry::WeldKeyOf(a)), geometry::WeldHash(geometry::WeldKeyOf(c)));
}

}  // namespace
