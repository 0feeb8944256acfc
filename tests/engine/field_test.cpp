// The facet formula in its direct and table forms: the unit-cube values worked
// out by hand and listed for the system, a box against the closed-form prism
// field, orientation, zero-area facets and the two guards near an edge.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/read.h"
#include "engine/si.h"
#include "engine/table.h"
#include "tests/support/prism.h"
#include "tests/support/run.h"

namespace {

struct Field {
  double U = 0, gx = 0, gy = 0, gz = 0;
};

std::vector<Facet> LoadModel(const char* name) {
  uint32_t n;
  Facet* f;
  ReadFacet(DataPath(name).c_str(), &n, &f);
  std::vector<Facet> v(f, f + n);
  std::free(f);
  return v;
}

Field Direct(const std::vector<Facet>& m, double x, double y, double z) {
  Field r;
  for (const Facet& f : m) {
    const float* v = f.v;
    SurfaceIntegral(x, y, z, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], &r.U, &r.gx,
                    &r.gy, &r.gz);
  }
  return r;
}

template <TableGuard G>
Field Table(const std::vector<Facet>& m, double x, double y, double z) {
  std::vector<SIEntry> si;
  for (const Facet& f : m) si.push_back(MakeSIEntry(f.v));
  Field r;
  CalculateSIReference<G>(FacetView::Of(static_cast<uint32_t>(m.size()), m.data()), si.data(), x, y,
                          z, &r.U, &r.gx, &r.gy, &r.gz);
  return r;
}

// Values listed to 7 digits: compare to half a unit of the 7th digit.
void Expect7(const Field& f, double U, double gx, double gy, double gz) {
  auto tol = [](double v) { return std::max(5e-7 * std::fabs(v), 1e-12); };
  EXPECT_NEAR(f.U, U, tol(U));
  EXPECT_NEAR(f.gx, gx, tol(gx) + 1e-7);
  EXPECT_NEAR(f.gy, gy, tol(gy) + 1e-7);
  EXPECT_NEAR(f.gz, gz, tol(gz) + 1e-7);
}

TEST(UnitCube, ListedValuesDirectAndTable) {
  const auto cube = LoadModel("cube.stl");
  for (auto eval : {Direct, Table<TableGuard::kRelative>}) {
    Expect7(eval(cube, 0.5, 0.5, 0.5), 2.380077, 0, 0, 0);
    Expect7(eval(cube, 0, 0, 0), 1.190039, 0.9693881, 0.9693881, 0.9693881);
    Expect7(eval(cube, 0.5, 0, 0), 1.427260, 0, 1.551694, 1.551694);
    Expect7(eval(cube, 0.5, 1e-10, 0), 1.427260, 0, 1.551694, 1.551694);
    Expect7(eval(cube, 0.5, 0.5, 1), 1.792810, 0, 0, -2.596897);
    Expect7(eval(cube, 10.5, 0.5, 0.5), 0.09999985, -0.009999927, 0, 0);
  }
}

TEST(UnitCube, GuardsDifferNearAnEdge) {
  // At d = 2e-5 from the middle of an edge the absolute guard drops the
  // edge's terms; the relative guard and the unguarded form keep them.
  const auto cube = LoadModel("cube.stl");
  const double d = 2e-5 / std::sqrt(2.0);
  Expect7(Direct(cube, 0.5, -d, -d), 1.427216, 0, 1.551670, 1.551670);
  Expect7(Table<TableGuard::kRelative>(cube, 0.5, -d, -d), 1.427216, 0, 1.551364, 1.551364);
  Expect7(Table<TableGuard::kNone>(cube, 0.5, -d, -d), 1.427216, 0, 1.551364, 1.551364);
}

TEST(UnitCube, InwardOrZeroNormalsInTheFile) {
  const auto inward = LoadModel("cube_inward.stl");
  Expect7(Direct(inward, 0.5, 0.5, 0.5), -2.380077, 0, 0, 0);
  Expect7(Table<TableGuard::kRelative>(inward, 0.5, 0.5, 1), -1.792810, 0, 0, 2.596897);
  // Zero normals keep the file's (outward) vertex order.
  Expect7(Direct(LoadModel("cube_zero_normals.stl"), 0.5, 0.5, 0.5), 2.380077, 0, 0, 0);
  Expect7(Direct(LoadModel("cube_binary.stl"), 0, 0, 0), 1.190039, 0.9693881, 0.9693881, 0.9693881);
}

TEST(TableEntry, TopFacetOfTheCube) {
  const float v[9] = {0, 0, 1, 1, 0, 1, 1, 1, 1};
  const SIEntry e = MakeSIEntry(v);
  const double s = 1 / std::sqrt(2.0);
  const double want[15] = {0, 0, 1, 1, 0, -1, 0, 1, 1, 0, 0, s, -s, s, 0};
  const double* got = &e.nx;
  for (int k = 0; k < 15; ++k) EXPECT_NEAR(got[k], want[k], 1e-15) << k;
}

// A box of a 3 x 2 x 1 prism, two triangles per face, outward.
std::vector<Facet> Box(const double lo[3], const double hi[3]) {
  auto P = [&](int i, int j, int k) {
    return std::array<float, 3>{static_cast<float>(i ? hi[0] : lo[0]),
                                static_cast<float>(j ? hi[1] : lo[1]),
                                static_cast<float>(k ? hi[2] : lo[2])};
  };
  const int quads[6][4][3] = {
      {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}, {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
      {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, {{0, 1, 0}, {0, 1, 1}, {1, 1, 1}, {1, 1, 0}},
      {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}}, {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}};
  std::vector<Facet> m;
  for (const auto& q : quads) {
    for (int t = 0; t < 2; ++t) {
      const int idx[3] = {0, 1 + t, 2 + t};
      Facet f;
      for (int c = 0; c < 3; ++c) {
        const auto p = P(q[idx[c]][0], q[idx[c]][1], q[idx[c]][2]);
        for (int k = 0; k < 3; ++k) f.v[3 * c + k] = p[k];
      }
      m.push_back(f);
    }
  }
  return m;
}

TEST(Box, AgreesWithTheClosedFormPrism) {
  const double lo[3] = {-1, 0.5, -0.25}, hi[3] = {2, 2.5, 0.75};
  const auto box = Box(lo, hi);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-4, 4);
  for (int trial = 0; trial < 60; ++trial) {
    const double p[3] = {u(rng), u(rng), u(rng)};
    const PrismField want = Prism(lo, hi, p);
    // Both forms sum a few dozen terms of size ~10: 1e-10 relative leaves
    // room for their rounding and that of the closed form.
    const double scale = std::fabs(want.U);
    for (const Field& got :
         {Direct(box, p[0], p[1], p[2]), Table<TableGuard::kNone>(box, p[0], p[1], p[2])}) {
      EXPECT_NEAR(got.U, want.U, 1e-10 * scale);
      EXPECT_NEAR(got.gx, want.gx, 1e-10 * scale);
      EXPECT_NEAR(got.gy, want.gy, 1e-10 * scale);
      EXPECT_NEAR(got.gz, want.gz, 1e-10 * scale);
    }
  }
}

TEST(Degenerate, ZeroAreaFacetsAddNothing) {
  auto cube = LoadModel("cube.stl");
  const Field clean = Direct(cube, 0.3, 0.2, 0.9);
  Facet collinear{{0, 0, 0, 1, 1, 1, 2, 2, 2}}, coincident{{1, 2, 3, 1, 2, 3, 1, 2, 3}};
  cube.push_back(collinear);
  cube.insert(cube.begin(), coincident);
  const Field direct = Direct(cube, 0.3, 0.2, 0.9);
  const Field table = Table<TableGuard::kRelative>(cube, 0.3, 0.2, 0.9);
  const Field unguarded = Table<TableGuard::kNone>(cube, 0.3, 0.2, 0.9);
  EXPECT_EQ(direct.U, clean.U);
  EXPECT_EQ(direct.gz, clean.gz);
  for (const Field& f : {table, unguarded}) {
    EXPECT_NEAR(f.U, clean.U, 1e-14);
    EXPECT_NEAR(f.gz, clean.gz, 1e-14);
  }
}

TEST(SingleFacet, FiniteOffItsPlane) {
  const std::vector<Facet> one{{{0, 0, 0, 1, 0, 0, 0, 1, 0}}};
  const Field f = Table<TableGuard::kRelative>(one, 0.2, 0.2, 0.5);
  EXPECT_TRUE(std::isfinite(f.U) && std::isfinite(f.gz));
  const Field d = Direct(one, 0.2, 0.2, 0.5);
  EXPECT_NEAR(f.U, d.U, 1e-15);
  EXPECT_NEAR(f.gz, d.gz, 1e-15);
}

}  // namespace
