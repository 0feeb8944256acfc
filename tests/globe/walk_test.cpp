// The subdivision walk (edge points, order of the children, depth) and the
// rotation of the base solids as a matrix on rows of coordinates.
#include "globe/walk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "globe/base.h"

namespace {

struct Leaf3 {
  Point a, b, c;
};

struct Collect {
  std::vector<Leaf3> leaves;
  void operator()(Point a, Point b, Point c) { leaves.push_back({a, b, c}); }
};

void ExpectPoint(Point p, double x, double y, double z) {
  EXPECT_NEAR(p.x, x, 1e-15);
  EXPECT_NEAR(p.y, y, 1e-15);
  EXPECT_NEAR(p.z, z, 1e-15);
}

const double kR = 1 / std::sqrt(2.0);  // edge points of the octant triangle

TEST(Walk, LevelZeroIsTheTriangleItself) {
  Collect c;
  Walk(0, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, c);
  ASSERT_EQ(c.leaves.size(), 1u);
  ExpectPoint(c.leaves[0].a, 1, 0, 0);
  ExpectPoint(c.leaves[0].b, 0, 1, 0);
  ExpectPoint(c.leaves[0].c, 0, 0, 1);
}

TEST(Walk, LevelOneVisitsCentreThenCornersA_B_C) {
  // The octant triangle: its edge points are the normalised chord midpoints
  // (1, 1, 0)/sqrt 2, (0, 1, 1)/sqrt 2, (1, 0, 1)/sqrt 2.
  Collect c;
  Walk(1, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, c);
  ASSERT_EQ(c.leaves.size(), 4u);
  const Point ab{kR, kR, 0}, bc{0, kR, kR}, ca{kR, 0, kR};
  const Point a{1, 0, 0}, b{0, 1, 0}, cc{0, 0, 1};
  const Leaf3 want[4] = {{ab, bc, ca}, {a, ab, ca}, {b, bc, ab}, {cc, ca, bc}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ExpectPoint(c.leaves[i].a, want[i].a.x, want[i].a.y, want[i].a.z);
    ExpectPoint(c.leaves[i].b, want[i].b.x, want[i].b.y, want[i].b.z);
    ExpectPoint(c.leaves[i].c, want[i].c.x, want[i].c.y, want[i].c.z);
  }
}

TEST(Walk, DepthFirstLeafCountsAndOrientation) {
  for (int level = 0; level <= 5; ++level) {
    Collect c;
    Walk(level, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, c);
    ASSERT_EQ(c.leaves.size(), size_t{1} << (2 * level)) << level;
    for (const Leaf3& t : c.leaves) {
      for (Point p : {t.a, t.b, t.c}) EXPECT_NEAR(std::hypot(p.x, p.y, p.z), 1, 1e-15);
      // counter-clockwise seen from outside: (b - a) x (c - a) along a
      const double ux = t.b.x - t.a.x, uy = t.b.y - t.a.y, uz = t.b.z - t.a.z;
      const double vx = t.c.x - t.a.x, vy = t.c.y - t.a.y, vz = t.c.z - t.a.z;
      const double out =
          (uy * vz - uz * vy) * t.a.x + (uz * vx - ux * vz) * t.a.y + (ux * vy - uy * vx) * t.a.z;
      EXPECT_GT(out, 0);
    }
  }
  // Depth first: at level 2 the first four leaves are the four children of
  // the centre child, the first of them its centre.
  Collect two;
  Walk(2, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, two);
  Collect centre;
  Walk(1, {kR, kR, 0}, {0, kR, kR}, {kR, 0, kR}, centre);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(two.leaves[i].a.x, centre.leaves[i].a.x);
    EXPECT_EQ(two.leaves[i].b.y, centre.leaves[i].b.y);
    EXPECT_EQ(two.leaves[i].c.z, centre.leaves[i].c.z);
  }
}

// Rows after RotateRows of the unit vectors: the columns of the matrix.
void Matrix(double lon, double lat, double rot, double m[3][3]) {
  double rows[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  RotateRows(rows, 3, lon, lat, rot);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) m[k][i] = rows[i][k];
}

TEST(RotateRows, ProperRotationCarryingTheSouthPoleToLonLat) {
  const double kDeg = 3.141592653589793 / 180;
  const double angles[][3] = {{0, 0, 0},      {37.5, -12.25, 101},      {-170, 89, -45}, {90, 0, 0},
                              {250, -90, 33}, {12.3456, 45.6789, 78.9}, {-33, 60, 180}};
  for (const auto& g : angles) {
    SCOPED_TRACE(testing::Message() << g[0] << " " << g[1] << " " << g[2]);
    double m[3][3];
    Matrix(g[0], g[1], g[2], m);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double dot = m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2];
        EXPECT_NEAR(dot, i == j ? 1 : 0, 1e-15);
      }
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    EXPECT_NEAR(det, 1, 1e-15);
    // (0, 0, -1) goes to (cos lat cos lon, cos lat sin lon, sin lat)
    const double L = g[0] * kDeg, B = g[1] * kDeg;
    double south[1][3] = {{0, 0, -1}};
    RotateRows(south, 1, g[0], g[1], g[2]);
    EXPECT_NEAR(south[0][0], std::cos(B) * std::cos(L), 1e-15);
    EXPECT_NEAR(south[0][1], std::cos(B) * std::sin(L), 1e-15);
    EXPECT_NEAR(south[0][2], std::sin(B), 1e-15);
  }
}

}  // namespace
