// The model check: the orientation predicate and the triangle tests against
// an independent evaluation in long double, then whole models built from
// boxes and icospheres whose volumes are known in closed form.
#include "mesh/check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "mesh/intersect.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

using mesh::Vec;

// ------------------------------------------------------------ predicates

TEST(CheckPredicates, SideIsTheNormalsSideAndZeroOnThePlane) {
  const Vec o{0, 0, 0}, x{1, 0, 0}, y{0, 1, 0};
  EXPECT_EQ(mesh::Side(o, x, y, {0.3, 0.2, 1e-300}), 1);
  EXPECT_EQ(mesh::Side(o, x, y, {0.3, 0.2, -1}), -1);
  EXPECT_EQ(mesh::Side(o, y, x, {0.3, 0.2, 1}), -1);
  // Exactly on the plane x + y + z = 1, and a hair off it.
  const Vec a{1, 0, 0}, b{0, 1, 0}, c{0, 0, 1};
  EXPECT_EQ(mesh::Side(a, b, c, {0.5, 0.25, 0.25}), 0);
  EXPECT_EQ(mesh::Side(a, b, c, {0.5, 0.25, 0.25 + 0x1p-50}), 1);
  // Far from the origin the sign stays that of the exact determinant.
  const double L = 1e8;
  EXPECT_EQ(mesh::Side({L, L, L}, {L + 1, L, L}, {L, L + 1, L}, {L, L, L + 0x1p-20}), 1);
  EXPECT_EQ(mesh::Side({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {NAN, 0, 0}), 0);
}

// An independent crossing test: the two triangles' segments on the common
// line of their planes, in long double, as coordinates along one direction
// of it (the cross product of t's normal and u's), and their overlap.
struct Interval {
  long double lo, hi;
  bool straddles;
};
Interval OnLine(const Vec t[3], const Vec u[3], bool reversed) {
  using L = long double;
  auto sub = [](const Vec& a, const Vec& b) {
    return std::array<L, 3>{L(a.x) - L(b.x), L(a.y) - L(b.y), L(a.z) - L(b.z)};
  };
  auto cross = [](const std::array<L, 3>& a, const std::array<L, 3>& b) {
    return std::array<L, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                            a[0] * b[1] - a[1] * b[0]};
  };
  auto dot = [](const std::array<L, 3>& a, const std::array<L, 3>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  };
  const auto nu = cross(sub(u[1], u[0]), sub(u[2], u[0]));
  const auto nt = cross(sub(t[1], t[0]), sub(t[2], t[0]));
  const auto d = reversed ? cross(nu, nt) : cross(nt, nu);
  L s[3];
  for (int k = 0; k < 3; ++k) s[k] = dot(nu, sub(t[k], u[0]));
  Interval in{1e300L, -1e300L, false};
  for (int k = 0; k < 3; ++k) {
    const int j = (k + 1) % 3;
    if ((s[k] < 0) == (s[j] < 0)) continue;
    in.straddles = true;
    const L w = s[k] / (s[k] - s[j]);
    const auto a = sub(t[k], {0, 0, 0}), b = sub(t[j], {0, 0, 0});
    const std::array<L, 3> p{a[0] + w * (b[0] - a[0]), a[1] + w * (b[1] - a[1]),
                             a[2] + w * (b[2] - a[2])};
    const L x = dot(p, d);
    in.lo = std::min(in.lo, x), in.hi = std::max(in.hi, x);
  }
  return in;
}

TEST(CheckPredicates, TrianglesCrossAgreesWithIntervalsInLongDouble) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coordinate(-1, 1);
  int crossing = 0, apart = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    Vec t[3], u[3];
    for (Vec& v : t) v = {coordinate(rng), coordinate(rng), coordinate(rng)};
    for (Vec& v : u) v = {coordinate(rng), coordinate(rng), coordinate(rng)};
    const Interval a = OnLine(t, u, false), b = OnLine(u, t, true);
    const long double overlap = std::min(a.hi, b.hi) - std::max(a.lo, b.lo);
    const bool expected = a.straddles && b.straddles && overlap > 0;
    // Pairs within rounding of touching are left out: neither answer is
    // wrong for them.
    if (a.straddles && b.straddles && std::fabs(overlap) < 1e-9L) continue;
    ASSERT_EQ(mesh::TrianglesCross(t, u), expected) << trial;
    ASSERT_EQ(mesh::TrianglesCross(u, t), expected) << trial;
    (expected ? crossing : apart)++;
  }
  EXPECT_GT(crossing, 1000);
  EXPECT_GT(apart, 1000);
}

TEST(CheckPredicates, TouchingIsNotCrossing) {
  const Vec t[3] = {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}};
  // A corner on the face, an edge along it, and the same plane.
  const Vec corner[3] = {{0.5, 0.5, 0}, {0.5, 0.5, 1}, {1, 0.2, 1}};
  const Vec edge[3] = {{0.2, 0.2, 0}, {1, 0.5, 0}, {0.5, 0.5, 1}};
  const Vec flat[3] = {{0.2, 0.2, 0}, {3, 0.2, 0}, {0.2, 3, 0}};
  EXPECT_FALSE(mesh::TrianglesCross(t, corner));
  EXPECT_FALSE(mesh::TrianglesCross(t, edge));
  EXPECT_FALSE(mesh::TrianglesCross(t, flat));
  // Through the face, and through it across one of its edges.
  const Vec through[3] = {{0.5, 0.5, -1}, {0.5, 0.5, 1}, {0.7, 0.4, 1}};
  const Vec over_edge[3] = {{1, -0.5, -1}, {1, 1.5, 1}, {1, 1.5, -1}};
  EXPECT_TRUE(mesh::TrianglesCross(t, through));
  EXPECT_TRUE(mesh::TrianglesCross(t, over_edge));
}

TEST(CheckPredicates, SegmentCrossingSignsAndUnclearCases) {
  const Vec t[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};  // normal +z
  EXPECT_EQ(mesh::SegmentCrossing({0.2, 0.2, -1}, {0.2, 0.2, 1}, t), 1);
  EXPECT_EQ(mesh::SegmentCrossing({0.2, 0.2, 1}, {0.2, 0.2, -1}, t), -1);
  EXPECT_EQ(mesh::SegmentCrossing({2, 2, -1}, {2, 2, 1}, t), 0);
  EXPECT_EQ(mesh::SegmentCrossing({0.2, 0.2, 1}, {0.3, 0.3, 2}, t), 0);
  EXPECT_EQ(mesh::SegmentCrossing({0.5, 0.5, -1}, {0.5, 0.5, 1}, t), 2);  // the edge
  EXPECT_EQ(mesh::SegmentCrossing({0.2, 0.2, 0}, {0.2, 0.2, 1}, t), 2);   // an end on t
}

// ------------------------------------------------------------ models

// Shapes side by side in one model (no vertex shared), optionally turned
// inside out.
mesh::Mesh Model(const std::vector<std::pair<Shape, bool>>& parts) {
  mesh::Mesh m;
  for (const auto& [s, inward] : parts) {
    const uint32_t base = static_cast<uint32_t>(m.VertexCount());
    m.vertices.insert(m.vertices.end(), s.vertices.begin(), s.vertices.end());
    for (size_t f = 0; f < s.faces.size(); f += 3) {
      m.faces.push_back(base + s.faces[f]);
      m.faces.push_back(base + s.faces[f + (inward ? 2 : 1)]);
      m.faces.push_back(base + s.faces[f + (inward ? 1 : 2)]);
    }
  }
  return m;
}
Shape Cube(double lo, double hi, std::array<double, 3> offset = {0, 0, 0}) {
  const double l[3] = {lo, lo, lo}, h[3] = {hi, hi, hi};
  return Box(l, h, kIdentity, offset);
}

TEST(CheckModels, OneCubeAndTwoApart) {
  const mesh::CheckReport one = mesh::Check(Model({{Cube(0, 1), false}}));
  EXPECT_EQ(one.Problem(), "");
  EXPECT_EQ(one.components, 1u);
  EXPECT_DOUBLE_EQ(one.volume, 1);
  const mesh::CheckReport two = mesh::Check(Model({{Cube(0, 1), false}, {Cube(3, 5), false}}));
  EXPECT_EQ(two.Problem(), "") << two.Text();
  EXPECT_EQ(two.components, 2u);
  EXPECT_EQ(two.nested_components, 0u);
  EXPECT_DOUBLE_EQ(two.volume, 9);
}

TEST(CheckModels, SeparateInsideOutComponentIsRefused) {
  // Total 8 - 1 > 0, yet the second cube has a negative mass.
  const mesh::CheckReport r = mesh::Check(Model({{Cube(0, 2), false}, {Cube(5, 6), true}}));
  EXPECT_DOUBLE_EQ(r.volume, 7);
  EXPECT_EQ(r.inside_out_components, 1u);
  EXPECT_EQ(r.cavities, 0u);
  EXPECT_EQ(r.Problem(), "1 components oriented inward outside any solid (a negative mass)");
}

TEST(CheckModels, CavityIslandAndNestedSolid) {
  // A hollow cube: 27 - 8.
  const mesh::CheckReport hollow =
      mesh::Check(Model({{Cube(0, 3), false}, {Cube(0.5, 2.5), true}}));
  EXPECT_EQ(hollow.Problem(), "") << hollow.Text();
  EXPECT_EQ(hollow.cavities, 1u);
  EXPECT_DOUBLE_EQ(hollow.volume, 27 - 8);
  // With an island in the cavity: 27 - 8 + 1.
  const mesh::CheckReport island =
      mesh::Check(Model({{Cube(0, 3), false}, {Cube(0.5, 2.5), true}, {Cube(1, 2), false}}));
  EXPECT_EQ(island.Problem(), "") << island.Text();
  EXPECT_EQ(island.cavities, 1u);
  EXPECT_EQ(island.nested_components, 0u);
  EXPECT_DOUBLE_EQ(island.volume, 20);
  // A solid inside a solid: the inner volume would count twice.
  const mesh::CheckReport nested = mesh::Check(Model({{Cube(0, 3), false}, {Cube(1, 2), false}}));
  EXPECT_EQ(nested.nested_components, 1u);
  EXPECT_EQ(nested.Problem(), "1 components inside another solid component (counted twice)");
  // An inward piece inside a cavity lies in empty space: no cavity.
  const mesh::CheckReport stray =
      mesh::Check(Model({{Cube(0, 3), false}, {Cube(1, 2), true}, {Cube(1.25, 1.75), true}}));
  EXPECT_EQ(stray.cavities, 1u);
  EXPECT_NE(stray.Problem(), "");
}

TEST(CheckModels, TouchingSolidsAreFit) {
  // Face to face (the planes shared, no vertex), and a smaller box on a
  // face: solids that touch are a solid.
  const mesh::CheckReport glued = mesh::Check(Model({{Cube(0, 1), false}, {Cube(1, 2), false}}));
  EXPECT_EQ(glued.Problem(), "") << glued.Text();
  EXPECT_EQ(glued.components, 2u);
  EXPECT_DOUBLE_EQ(glued.volume, 2);
  const double lo[3] = {2, 0.5, 0.25}, hi[3] = {3, 1.5, 1.75};
  const mesh::CheckReport step = mesh::Check(Model({{Cube(0, 2), false}, {Box(lo, hi), false}}));
  EXPECT_EQ(step.Problem(), "") << step.Text();
  EXPECT_EQ(step.intersecting_pairs, 0u);
  EXPECT_DOUBLE_EQ(step.volume, 8 + 1.5);
}

TEST(CheckModels, OverlappingAndSelfIntersectingAreRefused) {
  Shape a = Icosphere(3, 1), b = Icosphere(3, 1);
  for (size_t i = 0; i < b.vertices.size(); i += 3) b.vertices[i] += 1;
  const mesh::CheckReport two = mesh::Check(Model({{a, false}, {b, false}}));
  EXPECT_GT(two.intersecting_pairs, 0u);
  EXPECT_EQ(two.Problem().rfind("self-intersecting: ", 0), 0u) << two.Problem();
  // One vertex pulled through the sphere and out on the other side.
  Shape c = Icosphere(2, 1);
  for (int k = 0; k < 3; ++k) c.vertices[k] *= -1.5;
  const mesh::CheckReport one = mesh::Check(Model({{c, false}}));
  EXPECT_EQ(one.components, 1u);
  EXPECT_GT(one.intersecting_pairs, 0u);
  EXPECT_EQ(one.Problem().rfind("self-intersecting: ", 0), 0u) << one.Problem();
  // Neighbours share corners and edges; none of them counts.
  EXPECT_EQ(mesh::Check(Model({{Icosphere(4, 1), false}})).Problem(), "");
}

TEST(CheckModels, NonFiniteAndDegenerateAreNamed) {
  mesh::Mesh m = Model({{Cube(0, 1), false}});
  m.vertices[4] = NAN;
  const mesh::CheckReport nan = mesh::Check(m);
  EXPECT_GT(nan.nonfinite_faces, 0u);
  EXPECT_NE(nan.Problem().find("not a finite number (NaN or infinity)"), std::string::npos);
  m.vertices[4] = HUGE_VAL;
  EXPECT_NE(mesh::Check(m).Problem().find("not a finite number"), std::string::npos);
  // Every vertex on one line: only faces of zero area.
  mesh::Mesh flat = Model({{Cube(0, 1), false}});
  for (size_t i = 0; i < flat.vertices.size(); i += 3)
    flat.vertices[i + 1] = flat.vertices[i + 2] = 0;
  const mesh::CheckReport zero = mesh::Check(flat);
  EXPECT_EQ(zero.degenerate_faces, 12u);
  EXPECT_EQ(zero.Problem(), "no solid: every face has zero area");
  EXPECT_EQ(mesh::Check(mesh::Mesh{}).Problem(), "no faces");
  // Coordinates whose products overflow.
  mesh::Mesh huge = Model({{Cube(0, 1e120), false}});
  EXPECT_NE(mesh::Check(huge).Problem().find("not a finite number: coordinates too large"),
            std::string::npos);
}

// ------------------------------------------------------------ far from the origin

TEST(CheckModels, FarFromTheOriginKeepsVolumeCentreAndOrientation) {
  // Eros (1.6 units long), its listed volume 0.29133057092; moved 1e5 to
  // 1e8 sizes away, forward and turned inside out.
  const mesh::Mesh eros = mesh::ReadModel(DataPath("models/eros.vf.txt"));
  const geometry::VolumeAbout home = mesh::VolumeOf(eros);
  EXPECT_NEAR(home.Volume(), 0.29133057092, 1e-11);
  for (double sizes : {1e5, 1e6, 1e7, 1e8}) {
    const double d[3] = {1.6 * sizes, -1.1 * sizes, 0.7 * sizes};
    mesh::Mesh far = eros;
    for (size_t i = 0; i < far.vertices.size(); ++i) far.vertices[i] += d[i % 3];
    // The moved vertices are rounded to the ulp of the offset.
    const double rounding = 8 * std::ldexp(1.0, std::ilogb(1.6 * sizes) - 52) / 1.6;
    const geometry::VolumeAbout sum = mesh::VolumeOf(far);
    EXPECT_NEAR(sum.Volume() / home.Volume(), 1, rounding) << sizes;
    const Vec c = sum.Centroid(), c0 = home.Centroid();
    EXPECT_NEAR(c.x - d[0], c0.x, 1.6 * rounding) << sizes;
    EXPECT_NEAR(c.y - d[1], c0.y, 1.6 * rounding) << sizes;
    EXPECT_NEAR(c.z - d[2], c0.z, 1.6 * rounding) << sizes;
    const mesh::CheckReport r = mesh::Check(far);
    EXPECT_EQ(r.Problem(), "") << sizes;
    EXPECT_DOUBLE_EQ(r.volume, sum.Volume());
    mesh::Mesh inward = far;
    for (size_t f = 0; f < inward.faces.size(); f += 3)
      std::swap(inward.faces[f + 1], inward.faces[f + 2]);
    EXPECT_EQ(mesh::Check(inward).Problem().rfind("oriented inward", 0), 0u) << sizes;
  }
}

}  // namespace
