// A base solid as linked (built once per solid: SOLID_IH, SOLID_TH or
// SOLID_OH): the tables as listed, the closed outward surface, the volumes of
// the tessellation and RotatePolyhedron.
#include "globe/base.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "globe/walk.h"

namespace {

#if defined(SOLID_IH)
#define BASE Icosahedron
constexpr int kT = 20;
const double kVertex[][3] = {
    {-0.6070619982066863, 0, -0.7946544722917661},
    {0.30353099910334314, 0.5257311121191336, -0.7946544722917661},
    {0.30353099910334314, -0.5257311121191336, -0.7946544722917661},
    {-0.49112347318842303, -0.8506508083520399, -0.1875924740850799},
    {-0.9822469463768461, 0, 0.1875924740850799},
    {-0.49112347318842303, 0.8506508083520399, -0.1875924740850799},
    {0.49112347318842303, 0.8506508083520399, 0.1875924740850799},
    {0.9822469463768461, 0, -0.1875924740850799},
    {0.49112347318842303, -0.8506508083520399, 0.1875924740850799},
    {-0.30353099910334314, -0.5257311121191336, 0.7946544722917661},
    {-0.30353099910334314, 0.5257311121191336, 0.7946544722917661},
    {0.6070619982066863, 0, 0.7946544722917661},
};
const int kTrigon[kT][3] = {{0, 1, 2},   {0, 2, 3},  {0, 3, 4},  {0, 4, 5},  {0, 5, 1},
                            {1, 5, 6},   {1, 6, 7},  {1, 7, 2},  {2, 7, 8},  {2, 8, 3},
                            {3, 8, 9},   {3, 9, 4},  {4, 9, 10}, {4, 10, 5}, {5, 10, 6},
                            {6, 10, 11}, {6, 11, 7}, {7, 11, 8}, {8, 11, 9}, {9, 11, 10}};
const double kVolume[] = {2.536151, 3.658712, 4.047045, 4.152741};
#elif defined(SOLID_TH)
#define BASE Tetrahedron
constexpr int kT = 4;
const double kVertex[][3] = {
    {0, -0.9428090415820634, -0.3333333333333333},
    {-0.816496580927726, 0.4714045207910317, -0.3333333333333333},
    {0.816496580927726, 0.4714045207910317, -0.3333333333333333},
    {0, 0, 1},
};
const int kTrigon[kT][3] = {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}};
const double kVolume[] = {0.513200, 1.821367, 3.274470};
#elif defined(SOLID_OH)
#define BASE Octahedron
constexpr int kT = 8;
const double kVertex[][3] = {
    {0.816496580927726, 0, -0.5773502691896257},
    {-0.408248290463863, -0.7071067811865476, -0.5773502691896257},
    {-0.408248290463863, 0.7071067811865476, -0.5773502691896257},
    {0.408248290463863, 0.7071067811865476, 0.5773502691896257},
    {0.408248290463863, -0.7071067811865476, 0.5773502691896257},
    {-0.816496580927726, 0, 0.5773502691896257},
};
const int kTrigon[kT][3] = {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 1},
                            {1, 4, 5}, {1, 5, 2}, {2, 5, 3}, {3, 5, 4}};
const double kVolume[] = {1.333333, 2.942809, 3.817730};
#endif
constexpr int kV = sizeof kVertex / sizeof kVertex[0];

#define CAT(a, b) a##b
#define XCAT(a, b) CAT(a, b)
#define TABLES XCAT(BASE, Tables)
#define WALK XCAT(BASE, Walk)
#define ROTATE XCAT(BASE, Rotate)

Point At(const double* v) {
  return {v[0], v[1], v[2]};
}

// The distinct vertex rows the triangles refer to.
std::vector<double*> Rows() {
  const Trigon* t;
  const int n = Polyhedron(t);
  std::set<const double*> rows;
  for (int i = 0; i < n; ++i)
    for (const double* c : t[i].corner) rows.insert(c);
  std::vector<double*> out;
  // The rows are the unit's writable vertex table, seen through const.
  for (const double* r : rows) out.push_back(const_cast<double*>(r));
  return out;
}

// Every test starts from the table as listed and leaves it so.
class Base : public testing::Test {
 protected:
  void SetUp() override { Restore(); }
  void TearDown() override { Restore(); }
  void Restore() {
    const Trigon* t;
    Polyhedron(t);
    for (int i = 0; i < kT; ++i)
      for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j)
          const_cast<double*>(t[i].corner[k])[j] = kVertex[kTrigon[i][k]][j];
  }
};

struct Sums {
  double D = 0, X = 0, Y = 0, Z = 0;
  long leaves = 0;
  void operator()(Point a, Point b, Point c) {
    const double d = a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) +
                     a.z * (b.x * c.y - b.y * c.x);
    D += d;
    X += d * (a.x + b.x + c.x);
    Y += d * (a.y + b.y + c.y);
    Z += d * (a.z + b.z + c.z);
    ++leaves;
  }
};

Sums Tessellate(int level) {
  const Trigon* t;
  const int n = Polyhedron(t);
  Sums s;
  for (int i = 0; i < n; ++i)
    Walk(level, At(t[i].corner[0]), At(t[i].corner[1]), At(t[i].corner[2]), s);
  return s;
}

using Key = std::tuple<double, double, double>;
Key K(Point p) {
  return {p.x, p.y, p.z};
}

// Every directed edge once, and its reverse once: a closed, consistently
// oriented surface. Edges are matched by exact coordinates, so this also
// shows that the edge points agree bit for bit between neighbours.
void ExpectClosed(int level) {
  std::map<std::pair<Key, Key>, int> edges;
  struct Edges {
    std::map<std::pair<Key, Key>, int>* e;
    void operator()(Point a, Point b, Point c) {
      ++(*e)[{K(a), K(b)}];
      ++(*e)[{K(b), K(c)}];
      ++(*e)[{K(c), K(a)}];
    }
  } collect{&edges};
  const Trigon* t;
  const int n = Polyhedron(t);
  for (int i = 0; i < n; ++i)
    Walk(level, At(t[i].corner[0]), At(t[i].corner[1]), At(t[i].corner[2]), collect);
  for (const auto& [edge, count] : edges) {
    EXPECT_EQ(count, 1);
    const auto back = edges.find({edge.second, edge.first});
    ASSERT_NE(back, edges.end());
    EXPECT_EQ(back->second, 1);
  }
}

using TABLES = Base;

TEST_F(TABLES, TrianglesReferToTheListedRows) {
  const Trigon* t = nullptr;
  ASSERT_EQ(Polyhedron(t), kT);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < kT; ++i)
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j)
        EXPECT_EQ(t[i].corner[k][j], kVertex[kTrigon[i][k]][j]) << i << " " << k << " " << j;
  EXPECT_EQ(static_cast<int>(Rows().size()), kV);  // one row per vertex, shared
}

TEST_F(TABLES, VerticesOnTheSphereAndTrianglesOutward) {
  for (const double* r : Rows()) EXPECT_NEAR(std::hypot(r[0], r[1], r[2]), 1, 2e-16);
  const Trigon* t;
  Polyhedron(t);
  for (int i = 0; i < kT; ++i) {
    const double *a = t[i].corner[0], *b = t[i].corner[1], *c = t[i].corner[2];
    const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                         u[0] * v[1] - u[1] * v[0]};
    EXPECT_GT(
        n[0] * (a[0] + b[0] + c[0]) + n[1] * (a[1] + b[1] + c[1]) + n[2] * (a[2] + b[2] + c[2]), 0)
        << i;
  }
  // The first triangle is centred on the negative z axis: the solid stands on it.
  const double *a = t[0].corner[0], *b = t[0].corner[1], *c = t[0].corner[2];
  EXPECT_EQ(a[2], b[2]);
  EXPECT_EQ(a[2], c[2]);
  EXPECT_LT(a[2], 0);
  EXPECT_NEAR(a[0] + b[0] + c[0], 0, 1e-15);
  EXPECT_NEAR(a[1] + b[1] + c[1], 0, 1e-15);
}

using WALK = Base;

TEST_F(WALK, VolumesAndCentroidOfTheTessellation) {
  const double exact = 4 * 3.141592653589793 / 3;
  double previous = 0;
  for (int level = 0; level < static_cast<int>(std::size(kVolume)); ++level) {
    SCOPED_TRACE(level);
    const Sums s = Tessellate(level);
    EXPECT_EQ(s.leaves, kT * (1L << (2 * level)));
    EXPECT_NEAR(s.D / 6, kVolume[level], 5e-7);
    EXPECT_GT(s.D / 6, previous);
    EXPECT_LT(s.D / 6, exact);
    previous = s.D / 6;
    EXPECT_NEAR(s.X / s.D * 0.25, 0, 1e-15);
    EXPECT_NEAR(s.Y / s.D * 0.25, 0, 1e-15);
    EXPECT_NEAR(s.Z / s.D * 0.25, 0, 1e-15);
  }
}

TEST_F(WALK, ClosedAndOutwardAtEveryLevel) {
  for (int level = 0; level <= 3; ++level) {
    SCOPED_TRACE(level);
    ExpectClosed(level);
  }
}

using ROTATE = Base;

TEST_F(ROTATE, AllAnglesZeroTakesXYZToMinusZMinusXY) {
  RotatePolyhedron(0, 0, 0);
  const Trigon* t;
  Polyhedron(t);
  for (int i = 0; i < kT; ++i)
    for (int k = 0; k < 3; ++k) {
      const double* was = kVertex[kTrigon[i][k]];
      const double* now = t[i].corner[k];
      EXPECT_EQ(now[0], -was[2]);
      EXPECT_EQ(now[1], -was[0]);
      EXPECT_EQ(now[2], was[1]);
    }
}

TEST_F(ROTATE, LatitudeMinus90KeepsEveryHeight) {
  // (0, 0, -1) stays put: the solid only turns about the z axis, and still
  // stands on its first face.
  RotatePolyhedron(0, -90, 0);
  const Trigon* t;
  Polyhedron(t);
  for (int i = 0; i < kT; ++i)
    for (int k = 0; k < 3; ++k) {
      const double* was = kVertex[kTrigon[i][k]];
      const double* now = t[i].corner[k];
      EXPECT_NEAR(now[2], was[2], 1e-15);
      EXPECT_NEAR(std::hypot(now[0], now[1]), std::hypot(was[0], was[1]), 1e-15);
    }
}

TEST_F(ROTATE, VolumeRadiiAndShapeUnchangedAtArbitraryAngles) {
  const double kDeg = 3.141592653589793 / 180;
  const double angles[][3] = {
      {37.5, -12.25, 101}, {-170, 89, -45}, {12.3456, 45.6789, 78.9}, {250, -33, 333}};
  const Sums before = Tessellate(2);
  for (const auto& g : angles) {
    SCOPED_TRACE(testing::Message() << g[0] << " " << g[1] << " " << g[2]);
    Restore();
    RotatePolyhedron(g[0], g[1], g[2]);
    for (const double* r : Rows()) EXPECT_NEAR(std::hypot(r[0], r[1], r[2]), 1, 3e-16);
    const Sums after = Tessellate(2);
    EXPECT_NEAR(after.D, before.D, 1e-13);
    EXPECT_NEAR(after.X / after.D, 0, 1e-15);
    EXPECT_NEAR(after.Y / after.D, 0, 1e-15);
    EXPECT_NEAR(after.Z / after.D, 0, 1e-15);
    // Edge lengths are kept, and the first triangle now faces (lon, lat).
    const Trigon* t;
    Polyhedron(t);
    for (int i = 0; i < kT; ++i)
      for (int k = 0; k < 3; ++k) {
        const double *p = t[i].corner[k], *q = t[i].corner[(k + 1) % 3];
        const double *p0 = kVertex[kTrigon[i][k]], *q0 = kVertex[kTrigon[i][(k + 1) % 3]];
        EXPECT_NEAR(std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]),
                    std::hypot(p0[0] - q0[0], p0[1] - q0[1], p0[2] - q0[2]), 1e-15);
      }
    double c[3];
    for (int j = 0; j < 3; ++j) c[j] = t[0].corner[0][j] + t[0].corner[1][j] + t[0].corner[2][j];
    const double len = std::hypot(c[0], c[1], c[2]);
    const double L = g[0] * kDeg, B = g[1] * kDeg;
    EXPECT_NEAR(c[0] / len, std::cos(B) * std::cos(L), 1e-15);
    EXPECT_NEAR(c[1] / len, std::cos(B) * std::sin(L), 1e-15);
    EXPECT_NEAR(c[2] / len, std::sin(B), 1e-15);
    ExpectClosed(1);
  }
}

}  // namespace
