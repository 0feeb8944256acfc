// The equilibria of spinning bodies against values from outside the code:
// the rotating homogeneous sphere (its centre and the synchronous circle
// w^2 r^3 = GM), a tessellated triaxial ellipsoid (the long- and
// short-axis points of the rotating ellipsoid, converging as it is made
// finer), Eros (five, four outside); the same points from other seedings,
// for a body turned and moved; the refusals.
#include "science/equilibria.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "science/body.h"
#include "science/model.h"
#include "science/surface.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

using science::Body;
using science::EquilibriaOf;
using science::EquilibriaRequest;

[[maybe_unused]] mesh::Mesh MeshOf(const Shape& s) {
  std::vector<int64_t> f(s.faces.begin(), s.faces.end());
  return science::ModelFromArrays(s.vertices.data(), s.vertices.size() / 3, f.data(),
                                  s.faces.size() / 3);
}

// The icosphere stretched to the semi-axes a, b, c.
[[maybe_unused]] Shape Ellipsoid(int level, double a, double b, double c) {
  Shape s = Icosphere(level, 1);
  for (size_t i = 0; i < s.vertices.size(); i += 3)
    s.vertices[i] *= a, s.vertices[i + 1] *= b, s.vertices[i + 2] *= c;
  return s;
}

EquilibriaRequest Spinning(double hours, double density) {
  EquilibriaRequest r;
  r.units.density = density;
  r.units.unit = "km";
  r.spin_period = hours;
  return r;
}

}  // namespace

TEST(Equilibria, Eros) {
  // The NEAR plate model at 2670 kg/m^3 and 5.270 h: four points outside,
  // two saddles on the long axis (case 2) and two on the short one (case
  // 5), and the stable one inside.
  Body body(science::LoadModel(DataPath("models/eros1708_km.vf.txt")), 2);
  const auto e = EquilibriaOf(body, Spinning(5.270, 2670));
  ASSERT_EQ(e.points.size(), 5u);
  EXPECT_TRUE(e.complete) << e.completeness;
  int cases[9] = {};
  for (const auto& q : e.points) {
    EXPECT_LT(q.residual, 1e-13);
    ++cases[q.topological_case];
    EXPECT_EQ(q.stable, q.topological_case == 1);
    EXPECT_EQ(q.inside, q.topological_case == 1);
    if (!q.inside) {
      EXPECT_GT(q.axis_distance, 13);
    }
  }
  EXPECT_EQ(cases[1], 1);
  EXPECT_EQ(cases[2], 2);
  EXPECT_EQ(cases[5], 2);
  EXPECT_EQ(e.index_sum, -1);
}

namespace {

// The rotating homogeneous sphere's equilibria: its centre and the circle
// where w^2 r^3 = GM; the tessellated sphere's lie on it to within its
// departure from the sphere's field, and their indices add up.
void ExpectSynchronous(const science::Equilibria& e, double gm, double tolerance) {
  const double rs = std::cbrt(gm / (e.omega * e.omega)) / 1000;  // km
  size_t outside = 0;
  for (const auto& q : e.points) {
    const double r = std::hypot(q.position[0], q.position[1], q.position[2]);
    EXPECT_LT(q.residual, 1e-9);
    if (!q.inside) {
      ++outside;
      EXPECT_NEAR(r / rs, 1, tolerance);
      EXPECT_NEAR(q.position[2], 0, 1e-9);
    }
  }
  EXPECT_GE(outside, 2u);
}

}  // namespace

TEST(Equilibria, RotatingSphere) {
  // 1280 facets, radius 1 km: icosahedral symmetry leaves no harmonic of
  // degree 1 to 5, so outside it is the point mass's to about 1e-4 at 3 km.
  Body body(MeshOf(Icosphere(3, 1)), 2);
  EquilibriaRequest r = Spinning(1, 2000);
  r.seeds = 16;
  const double gm = science::kG * 2000 * body.Volume() * 1e9;
  r.spin_period = 2 * std::numbers::pi / std::sqrt(gm / std::pow(3e3, 3)) / 3600;
  const auto e = EquilibriaOf(body, r);
  ExpectSynchronous(e, gm, 1e-4);
  // The centre: inside, the maximum of V (index -1), linearly stable.
  ASSERT_TRUE(e.points.back().inside);
  EXPECT_NEAR(std::hypot(e.points.back().position[0], e.points.back().position[1],
                         e.points.back().position[2]),
              0, 1e-9);
  EXPECT_EQ(e.points.back().index, -1);
  EXPECT_EQ(e.points.back().topological_case, 1);
  // The sphere's circle of equilibria is the tessellation's points on it,
  // saddles and maxima in turn (their indices sum to 0), by any seeding.
  EXPECT_TRUE(e.complete) << e.completeness;
  EXPECT_EQ(e.index_sum, -1);
  r.seeds = 40;
  EXPECT_EQ(EquilibriaOf(body, r).points.size(), e.points.size());

  // With a point mass at the centre (the sphere's mass again) the circle
  // is GM's twice and the centre a singularity, not an equilibrium.
  Body massive(MeshOf(Icosphere(3, 1)), 2);
  massive.SetDensity(2000, "density");
  massive.AddMascons({{0, 0, 0, 2000 * body.Volume() * 1e9}}, "");
  const auto f = EquilibriaOf(massive, r);
  ExpectSynchronous(f, 2 * gm, 1e-4);
  EXPECT_EQ(f.expected, 0);
  for (const auto& q : f.points) EXPECT_FALSE(q.inside);
  EXPECT_TRUE(f.complete) << f.completeness;
}

namespace {

// The attraction of the homogeneous ellipsoid (semi-axes s[0] > s[1] >
// s[2], density rho) on its axis `i` at distance r beyond it: -2 pi G rho
// abc r times the integral of du / ((s_i^2 + u) Delta(u)) from r^2 - s_i^2,
// here in w = (s_i^2 + u)^(-1/2) (Simpson's rule on a smooth integrand).
double EllipsoidPull(const double s[3], int i, double rho, double r) {
  const int j = (i + 1) % 3, k = (i + 2) % 3;
  const double dj = s[j] * s[j] - s[i] * s[i], dk = s[k] * s[k] - s[i] * s[i];
  const int n = 2000;
  const double w0 = 1 / r, h = w0 / n;
  double sum = 0;
  for (int m = 0; m <= n; ++m) {
    const double w = m * h;
    const double f = 2 * w * w / std::sqrt((1 + dj * w * w) * (1 + dk * w * w));
    sum += f * (m == 0 || m == n ? 1 : m % 2 ? 4 : 2);
  }
  return -2 * std::numbers::pi * science::kG * rho * s[0] * s[1] * s[2] * r * sum * h / 3;
}

// Where the pull on axis i balances the centrifugal force: by bisection.
double EllipsoidEquilibrium(const double s[3], int i, double rho, double omega) {
  double lo = s[i] * 1.0001, hi = 100 * s[0];
  for (int it = 0; it < 200; ++it) {
    const double mid = 0.5 * (lo + hi);
    (EllipsoidPull(s, i, rho, mid) + omega * omega * mid < 0 ? lo : hi) = mid;
  }
  return lo;
}

}  // namespace

TEST(Equilibria, TessellatedEllipsoidConverges) {
  // Semi-axes 2, 1.5, 1 km (in metres for the closed form), 2000 kg/m^3,
  // spinning in 7 h: the rotating ellipsoid's four points on its long and
  // intermediate axes and its centre.
  const double s[3] = {2000, 1500, 1000};
  EquilibriaRequest r = Spinning(7, 2000);
  r.seeds = 20;
  const double omega = 2 * std::numbers::pi / (7 * 3600);
  const double along[2] = {EllipsoidEquilibrium(s, 0, 2000, omega) / 1000,
                           EllipsoidEquilibrium(s, 1, 2000, omega) / 1000};
  double last[2] = {0.1, 0.1};
  for (int level = 2; level <= 4; ++level) {
    Body body(MeshOf(Ellipsoid(level, 2, 1.5, 1)), 2);
    const auto e = EquilibriaOf(body, r);
    ASSERT_EQ(e.points.size(), 5u) << level;
    double worst[2] = {0, 0};
    EXPECT_TRUE(e.complete) << e.completeness;
    for (const auto& q : e.points) {
      EXPECT_LT(q.residual, 1e-12);
      if (q.inside) {
        EXPECT_EQ(q.topological_case, 1);  // the centre: stable
        EXPECT_LT(std::hypot(q.position[0], q.position[1], q.position[2]), 1e-9);
        continue;
      }
      // On an axis (the tessellation keeps the ellipsoid's mirror planes).
      const int axis = std::fabs(q.position[0]) > std::fabs(q.position[1]) ? 0 : 1;
      EXPECT_LT(std::hypot(q.position[1 - axis], q.position[2]), 1e-9);
      const double error = std::fabs(std::fabs(q.position[axis]) / along[axis] - 1);
      worst[axis] = std::max(worst[axis], error);
      // The long axis's points are saddles of one real pair (case 2),
      // the intermediate axis's maxima of V in the plane.
      EXPECT_EQ(q.index, axis == 0 ? 1 : -1);
      if (axis == 0) {
        EXPECT_EQ(q.topological_case, 2);
      }
    }
    // Four times closer each time the facets are halved.
    for (int axis = 0; axis < 2; ++axis) {
      EXPECT_LT(worst[axis], 0.3 * last[axis]) << "level " << level << " axis " << axis;
      last[axis] = worst[axis];
    }
  }
  EXPECT_LT(last[0], 1e-3);
  EXPECT_LT(last[1], 1e-3);
}

TEST(Equilibria, TurnedAndMovedBodyFromAnotherSeeding) {
  // Eros turned about a slanted axis and moved, spinning about its turned
  // pole: the same points, turned and moved, found from another seeding.
  const mesh::Mesh eros = science::LoadModel(DataPath("models/eros1708_km.vf.txt"));
  const Rotation R = RotationAbout({1, 2, 3}, 0.7);
  const std::array<double, 3> offset = {40, -25, 10};
  Body a(science::LoadModel(DataPath("models/eros1708_km.vf.txt")), 2);
  Body b(science::Translated(science::Rotated(eros, R), offset), 2);
  EquilibriaRequest r = Spinning(5.270, 2670);
  const auto e = EquilibriaOf(a, r);
  r.seeds = 31;
  r.spin_axis = {R[0][2], R[1][2], R[2][2]};
  const auto f = EquilibriaOf(b, r);
  ASSERT_EQ(e.points.size(), 5u);
  ASSERT_EQ(f.points.size(), 5u);
  EXPECT_TRUE(f.complete) << f.completeness;
  for (const auto& p : e.points) {
    std::array<double, 3> want;
    for (int i = 0; i < 3; ++i)
      want[i] =
          R[i][0] * p.position[0] + R[i][1] * p.position[1] + R[i][2] * p.position[2] + offset[i];
    double nearest = 1e300;
    const science::Equilibrium* q = nullptr;
    for (const auto& c : f.points) {
      const double d =
          std::hypot(c.position[0] - want[0], c.position[1] - want[1], c.position[2] - want[2]);
      if (d < nearest) nearest = d, q = &c;
    }
    EXPECT_LT(nearest, 1e-9);
    EXPECT_EQ(q->topological_case, p.topological_case);
    EXPECT_NEAR(q->jacobi, p.jacobi, 1e-10 * std::fabs(p.jacobi));
    EXPECT_EQ(q->inside, p.inside);
  }
}

TEST(Equilibria, Refusals) {
  Body body(MeshOf(Icosphere(1, 1)), 1);
  EquilibriaRequest r = Spinning(5, 2000);
  r.spin_period.reset();
  EXPECT_EQ(Refusal([&] { EquilibriaOf(body, r); }),
            "spin_period is needed: the equilibria are those of the spinning body");
  r = Spinning(5, 2000);
  r.spin_axis = {0, 0, 0};
  EXPECT_EQ(Refusal([&] { EquilibriaOf(body, r); }),
            "spin_axis: three finite numbers x, y, z, not all zero");
  r.spin_axis = {0, NAN, 1};
  EXPECT_EQ(Refusal([&] { EquilibriaOf(body, r); }),
            "spin_axis: three finite numbers x, y, z, not all zero");
  r = Spinning(-1, 2000);
  EXPECT_EQ(Refusal([&] { EquilibriaOf(body, r); }), "spin_period: hours, a positive number");
  r = Spinning(5, 2000);
  r.units.density.reset();
  EXPECT_EQ(Refusal([&] { EquilibriaOf(body, r); }),
            "spin_period needs density, mass or gm (the spin is in SI units)");
  // So slow a spin that the points near the synchronous circle are a
  // circle to rounding: not claimed complete.
  r = Spinning(1e8, 2000);
  const auto slow = EquilibriaOf(body, r);
  EXPECT_FALSE(slow.complete);
  EXPECT_NE(slow.completeness.find("beyond 10^4 times the body's radius"), std::string::npos);
  // A body whose point masses outweigh it.
  Body light(MeshOf(Icosphere(1, 1)), 1);
  light.SetDensity(2000, "density");
  light.AddMascons({{0, 0, 0.2, -1e14}}, "");
  r = Spinning(5, 2000);
  EXPECT_NE(Refusal([&] {
              EquilibriaOf(light, r);
            }).find("the equilibria need a body of positive total mass"),
            std::string::npos);
}

TEST(Equilibria, ContinuationEventsAreWhereTheCountChanges) {
  // Eros spun up from 5.27 h to 3 h: from five equilibria to three through
  // two creations and three annihilations (two of them where a point
  // inside meets one outside at the surface).
  Body body(science::LoadModel(DataPath("models/eros1708_km.vf.txt")), 2);
  const EquilibriaRequest r = Spinning(5.270, 2670);
  const auto c =
      science::ContinueEquilibria(body, r, science::ContinuationOf("spin-period:5.27:3"));
  EXPECT_EQ(c.start.points.size(), 5u);
  EXPECT_EQ(c.end.points.size(), 3u);
  ASSERT_EQ(c.events.size(), 5u);
  int count = 5;
  const auto count_at = [&](double hours) {
    EquilibriaRequest q = r;
    q.spin_period = hours;
    const auto e = EquilibriaOf(body, q);
    EXPECT_TRUE(e.complete) << hours;
    return static_cast<int>(e.points.size());
  };
  for (const auto& e : c.events) {
    // Just before and after, as the period falls: two more or two fewer
    // (at the surface the two points part in proportion to the distance
    // from the event, not its square root: a wider step for the seedings).
    const double step = e.surface ? 3e-4 : 2e-5;
    EXPECT_EQ(count_at(e.parameter * (1 + step)), count);
    count += e.annihilation ? -2 : 2;
    EXPECT_EQ(count_at(e.parameter * (1 - step)), count);
  }
  EXPECT_EQ(count, 3);
  // The first event (a smooth fold inside the body) against a bisection
  // on the count: within the bisection's last bracket, 1.25e-5 wide (its
  // points no closer to the event than the seedings resolve the pair).
  double lo = c.events[0].parameter * (1 - 1.3e-4), hi = c.events[0].parameter * (1 + 0.7e-4);
  for (int i = 0; i < 4; ++i) {
    const double mid = 0.5 * (lo + hi);
    (count_at(mid) == 5 ? hi : lo) = mid;
  }
  EXPECT_GE(c.events[0].parameter, lo);
  EXPECT_LE(c.events[0].parameter, hi);

  // The density: the equilibria depend on w^2 / density alone, so the same
  // event is at 2670 (P / 5.27)^2 kg/m^3, a creation as the density falls.
  const auto d = science::ContinueEquilibria(body, r, science::ContinuationOf("density:2670:1500"));
  const double P = c.events[0].parameter;
  ASSERT_FALSE(d.events.empty());
  EXPECT_NEAR(d.events[0].parameter / (2670 * (P / 5.27) * (P / 5.27)), 1, 1e-9);
  EXPECT_FALSE(d.events[0].annihilation);
}

TEST(Equilibria, ContinuationRefusals) {
  for (const char* text : {"spin-period:5", "spin:1:2", "density:1:1", "density:-1:2",
                           "spin-period:1:x", "spin-period:1:2:3"})
    EXPECT_NE(Refusal([&] { science::ContinuationOf(text); }).find("continue: \""),
              std::string::npos)
        << text;
}

TEST(SurfaceDynamics, SpinningSphereClosedForms) {
  // A 5120-facet sphere of 1 km at 2000 kg/m^3 spinning in 3 h: at a
  // centroid at r from the centre (just inside the sphere of R), U =
  // GM (3R^2 - r^2) / (2R^3) and g = -GM r / R^3; the escape speed along
  // the normal solves |v n + w x r|^2 = 2U, the circular
  // speed is sqrt(GM r^2 / R^3).
  const double R = 1000, rho = 2000, hours = 3;
  Body body(MeshOf(Icosphere(4, 1)), 2);
  science::SurfaceRequest r;
  r.units.density = rho;
  r.units.unit = "km";
  r.spin_period = hours;
  science::Surface s;
  ASSERT_TRUE(science::SurfaceOf(body, r, &s, nullptr));
  const double gm = science::kG * rho * 4 / 3 * std::numbers::pi * R * R * R;
  const double w = 2 * std::numbers::pi / (hours * 3600);
  double worst_esc = 0, worst_circ = 0;
  for (size_t f = 0; f < s.vesc.size(); ++f) {
    const double x = s.cx[f] * 1e3, y = s.cy[f] * 1e3, z = s.cz[f] * 1e3;
    const double rr = std::sqrt(x * x + y * y + z * z), u2 = w * w * (x * x + y * y);
    const double U = gm * (3 * R * R - rr * rr) / (2 * R * R * R);
    // The facet's unit normal against the surface's speed w (-y, x, 0).
    const auto n = body.model().Normal(f);
    const double nu = w * (-y * n.x + x * n.y) / std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    const double want = -nu + std::sqrt(nu * nu - u2 + 2 * U);
    worst_esc = std::max(worst_esc, std::fabs(s.vesc[f] / want - 1));
    worst_circ =
        std::max(worst_circ, std::fabs(s.vcirc[f] / std::sqrt(gm * rr * rr / (R * R * R)) - 1));
  }
  // The tessellation's departure from the sphere (its volume is 0.1% short).
  EXPECT_LT(worst_esc, 2e-3);
  EXPECT_LT(worst_circ, 2e-3);
  const auto names = science::SurfaceColumnNames(true);
  EXPECT_EQ(names[names.size() - 2], "vesc");
  EXPECT_EQ(names.back(), "vcirc");
}

TEST(Equilibria, CubeWithADenseContrastCavity) {
  // A 1 m cube of 1000 kg/m^3 spinning in 19 h has eight equilibria
  // outside, as the rotating cube does, and its centre. A small cavity of
  // contrast -5000 kg/m^3 (a region of negative density) adds two more
  // inside it: found by the body's own finer grid, for any seeding.
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  const double clo[3] = {0.3, 0.3, 0.3}, chi[3] = {0.5, 0.5, 0.5};
  for (unsigned seeds : {0u, 30u}) {
    Body body(MeshOf(Box(lo, hi)), 2);
    body.SetDensity(1000, "density");
    body.AddPart(MeshOf(Box(clo, chi)), -5000, "cavity", "cavity");
    EquilibriaRequest r;
    r.units.density = 1000;
    r.spin_period = 19;
    r.seeds = seeds;
    const auto e = EquilibriaOf(body, r);
    EXPECT_TRUE(e.complete) << e.completeness;
    EXPECT_EQ(e.points.size(), 11u) << seeds;
    size_t outside = 0;
    for (const auto& q : e.points) outside += !q.inside;
    EXPECT_EQ(outside, 8u);
  }
}

// The section of a body by a plane, as the zero-velocity figure fills it:
// a unit cube turned and moved, cut through its centre along its own
// faces' plane (area 1 by the shoelace formula of the chained ring), the
// same cube unwelded (a vertex for each corner of each face), and a cube
// with a cavity (two rings, the hole's area apart).
namespace {

double Shoelace(const science::Ring& r) {
  double a = 0;
  for (size_t i = 0; i < r.size(); ++i) {
    const auto& p = r[i];
    const auto& q = r[(i + 1) % r.size()];
    a += p.first * q.second - q.first * p.second;
  }
  return std::fabs(a) / 2;
}

}  // namespace

TEST(Section, CubeByThePlaneOfItsFaces) {
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  const Rotation R = RotationAbout({1, 2, 3}, 0.7);
  const std::array<double, 3> offset{5, -2, 1};
  const Shape cube = Box(lo, hi, R, offset);
  mesh::Mesh m{cube.vertices, cube.faces, {}, {}, 0};
  // The plane through the centre spanned by the turned x and y axes.
  std::array<double, 3> centre{}, e1{}, e2{};
  for (int r = 0; r < 3; ++r) {
    centre[r] = R[r][0] * 0.5 + R[r][1] * 0.5 + R[r][2] * 0.3 + offset[r];
    e1[r] = R[r][0], e2[r] = R[r][1];
  }
  const auto rings = science::SectionOf(m, centre, e1, e2);
  ASSERT_EQ(rings.size(), 1u);
  EXPECT_NEAR(Shoelace(rings[0]), 1, 1e-12);
  for (const auto& [u, v] : rings[0]) {
    EXPECT_LT(std::fabs(u), 0.5 + 1e-12);
    EXPECT_LT(std::fabs(v), 0.5 + 1e-12);
  }
  // Unwelded: the crossings still meet by their edges' ends.
  mesh::Mesh apart;
  for (const uint32_t f : cube.faces) {
    for (int c = 0; c < 3; ++c) apart.vertices.push_back(cube.vertices[3 * f + c]);
    apart.faces.push_back(static_cast<uint32_t>(apart.faces.size()));
  }
  const auto unwelded = science::SectionOf(apart, centre, e1, e2);
  ASSERT_EQ(unwelded.size(), 1u);
  EXPECT_NEAR(Shoelace(unwelded[0]), 1, 1e-12);
  // A plane through none of it.
  EXPECT_TRUE(science::SectionOf(m, {100, 100, 100}, e1, e2).empty());

  // A cube of side 2 with a cavity of side 1 (its faces turned inward).
  const double lo2[3] = {-1, -1, -1}, hi2[3] = {1, 1, 1};
  const double lo3[3] = {-0.5, -0.5, -0.5}, hi3[3] = {0.5, 0.5, 0.5};
  Shape outer = Box(lo2, hi2), inner = Box(lo3, hi3);
  mesh::Mesh hollow{outer.vertices, outer.faces, {}, {}, 0};
  for (size_t f = 0; f < inner.faces.size(); f += 3)
    for (const size_t k : {f, f + 2, f + 1}) hollow.faces.push_back(inner.faces[k] + 8);
  hollow.vertices.insert(hollow.vertices.end(), inner.vertices.begin(), inner.vertices.end());
  auto holed = science::SectionOf(hollow, {0, 0, 0.1}, {1, 0, 0}, {0, 1, 0});
  ASSERT_EQ(holed.size(), 2u);
  std::vector<double> areas{Shoelace(holed[0]), Shoelace(holed[1])};
  std::sort(areas.begin(), areas.end());
  EXPECT_NEAR(areas[0], 1, 1e-12);
  EXPECT_NEAR(areas[1], 4, 1e-12);
}
