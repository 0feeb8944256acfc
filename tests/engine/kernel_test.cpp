// The vectorised table form against the scalar table form CalculateSI and
// against closed forms: its logarithm and arctangent, the guard, the model
// preparation (welding, edges, zero-area facets, chunks) and the field of
// the unit cube and of an asteroid model at points inside, on a face, on an
// edge, on a vertex and far away, on every instruction set this processor has.
#include "engine/kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/read.h"
#include "engine/isa_targets.h"
#include "engine/memory.h"
#include "engine/table.h"
#include "engine/terms.h"
#include "tests/support/run.h"

namespace {

using kernel::Simd;

std::vector<Simd> Available() {
  std::vector<Simd> all;
  for (Simd s : {Simd::kBaseline, Simd::kAvx2, Simd::kAvx512})
    if (kernel::Supported(s)) all.push_back(s);
  return all;
}

// The lane formulas of an instruction set.
const kernel::Probes& Probes(Simd simd) {
#if KERNEL_X86
  if (simd == Simd::kAvx512) return kernel::avx512::kProbes;
  if (simd == Simd::kAvx2) return kernel::avx2::kProbes;
#endif
  return kernel::baseline::kProbes;
}

constexpr double kUlp = 2.220446049250313e-16;

// ---- logarithm, arctangent, guard --------------------------------------

TEST(KernelMath, EdgeLogMatchesTheLogarithmOfTheTableForm) {
  std::vector<double> lambdas;
  for (int k = 3; k < 200; ++k) lambdas.push_back(1 + k * kUlp);  // on the edge's doorstep
  for (int e = 1; e <= 15; ++e) lambdas.push_back(1 + std::pow(10.0, -e));
  for (double l = 5.70; l < 5.95; l += 0.0011) lambdas.push_back(l);  // near the 5.83 switch
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> exponent(-15, 15);
  for (int i = 0; i < 20000; ++i) lambdas.push_back(1 + std::pow(10.0, exponent(rng)));
  for (Simd simd : Available()) {
    double worst = 0;
    for (double l : lambdas) {
      // ln((lambda + 1)/(lambda - 1)) in extended precision; lambda - 1 is
      // exact for lambda < 2, and rounds alike in both forms above.
      const long double ref = log1pl(2.0L / (static_cast<long double>(l) - 1.0L));
      const double got = Probes(simd).edge_log(l);
      worst = std::max(worst, static_cast<double>(std::fabs((got - ref) / ref)));
    }
    // One rounding of s = 1/lambda or of its reduced form, the polynomial's
    // 2^-58 and three additions: within two units in the last place.
    EXPECT_LT(worst, 2 * kUlp) << kernel::Name(simd);
    // On the edge the logarithm is infinite, inside it not a number, and
    // infinitely far it is 0, as in the scalar form.
    EXPECT_EQ(Probes(simd).edge_log(1.0), INFINITY) << kernel::Name(simd);
    EXPECT_TRUE(std::isnan(Probes(simd).edge_log(0.999))) << kernel::Name(simd);
    EXPECT_EQ(Probes(simd).edge_log(INFINITY), 0.0) << kernel::Name(simd);
  }
}

TEST(KernelMath, Atan2MatchesTheLibraryOverTheWholeCircle) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> angle(-3.2, 3.2), scale(-30, 30);
  for (Simd simd : Available()) {
    double worst = 0;
    for (int i = 0; i < 40000; ++i) {
      const double a = angle(rng), r = std::pow(10.0, scale(rng));
      const double y = r * std::sin(a), x = r * std::cos(a);
      const long double ref = atan2l(y, x);
      const double got = Probes(simd).atan2(y, x);
      worst = std::max(worst, static_cast<double>(std::fabs(got - ref) / std::fabs(ref)));
    }
    // One rounding of the reduced argument, the polynomial's error below one
    // unit, and the addition of pi/4, pi/2 or pi: within two units.
    EXPECT_LT(worst, 2 * kUlp) << kernel::Name(simd);
    EXPECT_EQ(Probes(simd).atan2(0.0, 1.0), 0.0);
    EXPECT_EQ(Probes(simd).atan2(0.0, 0.0), 0.0);  // a field point at a vertex
    EXPECT_TRUE(std::signbit(Probes(simd).atan2(-0.0, 2.0)));
    EXPECT_DOUBLE_EQ(Probes(simd).atan2(1.0, 0.0), M_PI / 2);
    EXPECT_DOUBLE_EQ(Probes(simd).atan2(0.0, -1.0), M_PI);
    EXPECT_DOUBLE_EQ(Probes(simd).atan2(-1.0, -1.0), -3 * M_PI / 4);
    EXPECT_DOUBLE_EQ(Probes(simd).atan2(1.0, 1.0), M_PI / 4);
  }
}

TEST(KernelMath, GuardOnLambdaIsTheGuardOnX) {
  // The table form drops an edge term when x = (lambda - 1)/(lambda + 1) is
  // below 2.22045e-16; the kernel decides on lambda alone.
  std::vector<double> lambdas;
  for (int k = -2000; k < 2000; ++k) lambdas.push_back(1 + k * kUlp / 2);
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> any(0.5, 3);
  for (int i = 0; i < 100000; ++i) lambdas.push_back(any(rng));
  for (double l : lambdas) {
    const double x = (l - 1) / (l + 1);
    EXPECT_EQ(x < terms::kRelativeGuard, l < kernel::kGuardLambda) << l;
  }
}

// ---- models -------------------------------------------------------------

struct Mesh {
  std::vector<Facet> facets;
  FacetView View() const {
    return FacetView::Of(static_cast<uint32_t>(facets.size()), facets.data());
  }
  FacetView One(size_t f) const {
    FacetView v = View();
    v.n = 1;
    v.base += f * v.stride;
    return v;
  }
};

Mesh Load(const std::string& path) {
  Mesh m;
  uint32_t n;
  Facet* f;
  ReadFacet(path.c_str(), &n, &f);
  m.facets.assign(f, f + n);
  std::free(f);
  return m;
}

Mesh Cube() {
  return Load(DataPath("cube.stl"));
}

const std::string kEros = DataPath("models/eros.stl");

TEST(KernelModel, CubeWeldsToEightVerticesAndEighteenEdges) {
  const Mesh cube = Cube();
  kernel::Model model;
  model.Build(cube.View());
  EXPECT_EQ(model.chunks(), 1u);
  EXPECT_EQ(model.facets(), 12u);
  EXPECT_EQ(model.vertices(), 8u);
  EXPECT_EQ(model.edges(), 18u);  // closed: V - E + F = 2
}

// Blocks of a huge page (2 MiB) or more start on one, so that the kernel
// can back them with huge pages; smaller ones keep the 64-byte alignment
// the vector loads assume. Every byte asked for is writable (the sanitizer
// builds check the bounds).
TEST(KernelModel, LargeBlocksStartOnAHugePage) {
  memory::Aligned<double> doubles;
  constexpr size_t kHuge = size_t{2} << 20;
  for (size_t n :
       {size_t{1}, size_t{1000}, kHuge / 8 - 1, kHuge / 8, kHuge / 8 + 1, 3 * kHuge / 8}) {
    double* p = doubles.allocate(n);
    const size_t align = n * sizeof(double) >= kHuge ? kHuge : 64;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << n << " doubles";
    std::memset(p, 0x5a, n * sizeof(double));
    doubles.deallocate(p, n);
  }
  memory::Aligned<int32_t> ints;
  int32_t* q = ints.allocate(kHuge / 4);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % kHuge, 0u);
  ints.deallocate(q, kHuge / 4);
}

TEST(KernelModel, ZeroAreaFacetsAreLeftOutAndChangeNoResult) {
  const Mesh cube = Cube();
  Mesh padded = cube;
  const Facet repeated{{0, 0, 0, 0, 0, 0, 1, 1, 1}};
  const Facet collinear{{0, 0, 0, 1, 0, 0, 2, 0, 0}};
  padded.facets.insert(padded.facets.begin() + 5, repeated);
  padded.facets.push_back(collinear);
  kernel::Model a, b;
  a.Build(cube.View());
  b.Build(padded.View());
  EXPECT_EQ(b.facets(), 12u);
  const double x[] = {0.5, 0.25, 3}, y[] = {0.5, 0.75, -1}, z[] = {0.5, 0.5, 2};
  for (Simd simd : Available()) {
    double ra[12], rb[12];
    CalculateSI(kernel::For(simd), TableGuard::kRelative, a, 0, 1, 3, x, y, z,
                {ra, ra + 3, ra + 6, ra + 9});
    CalculateSI(kernel::For(simd), TableGuard::kRelative, b, 0, 1, 3, x, y, z,
                {rb, rb + 3, rb + 6, rb + 9});
    EXPECT_EQ(std::memcmp(ra, rb, sizeof ra), 0) << kernel::Name(simd);
  }
}

TEST(KernelModel, ClosedAsteroidSharesVerticesAndEdges) {
  const Mesh eros = Load(kEros);
  kernel::Model model;
  model.Build(eros.View());
  const size_t f = eros.facets.size();
  EXPECT_EQ(model.facets(), f);
  // A closed genus-0 mesh has F/2 + 2 vertices and 3F/2 edges; the chunks
  // store those on their borders twice, a small fraction more.
  EXPECT_GE(model.vertices(), f / 2 + 2);
  EXPECT_LT(model.vertices(), f / 2 * 13 / 10);
  EXPECT_GE(model.edges(), 3 * f / 2);
  EXPECT_LT(model.edges(), 3 * f / 2 * 11 / 10);
}

// ---- the field against the scalar table form ---------------------------

struct Field {
  double U, gx, gy, gz;
};

Field Kernel(Simd simd, TableGuard guard, const kernel::Model& m, double x, double y, double z) {
  Field f;
  CalculateSI(kernel::For(simd), guard, m, 0, 1, 1, &x, &y, &z, {&f.U, &f.gx, &f.gy, &f.gz});
  return f;
}

// The scalar table form at a point, and how large the rounding of a total can
// be (potential; attraction): the sum over the facets of the magnitudes of
// the terms that cancel in each facet factor S (the three edge terms and the
// solid-angle term), plus for every edge the magnification of a rounding of
// R_a + R_b in its logarithm, lambda/(lambda - 1), which is large near an
// edge; for the potential each times the magnitude of h's operands, R1.
template <TableGuard G>
Field Scalar(const Mesh& mesh, double x, double y, double z, double* scale_U, double* scale_g) {
  std::vector<SIEntry> si(mesh.facets.size());
  for (size_t f = 0; f < si.size(); ++f) si[f] = MakeSIEntry(mesh.facets[f].v);
  Field total;
  CalculateSIReference<G>(mesh.View(), si.data(), x, y, z, &total.U, &total.gx, &total.gy,
                          &total.gz);
  *scale_U = *scale_g = 0;
  const terms::Vec p{x, y, z};
  for (size_t f = 0; f < si.size(); ++f) {
    const SIEntry& e = si[f];
    const float* v = mesh.facets[f].v;
    const terms::Vec r[3] = {terms::Vec{v[0], v[1], v[2]} - p, terms::Vec{v[3], v[4], v[5]} - p,
                             terms::Vec{v[6], v[7], v[8]} - p};
    const double R[3] = {terms::Norm(r[0]), terms::Norm(r[1]), terms::Norm(r[2])};
    const terms::Vec n{e.nx, e.ny, e.nz};
    const terms::Vec m[3] = {{e.m1x, e.m1y, e.m1z}, {e.m2x, e.m2y, e.m2z}, {e.m3x, e.m3y, e.m3z}};
    const double il[3] = {e.il1, e.il2, e.il3};
    const double h = terms::Dot(n, r[0]);
    double T = 0;
    for (int k = 0; k < 3; ++k) {
      const double lambda = (R[k] + R[(k + 1) % 3]) * il[k];
      if (!(lambda > 1 + 1e-15)) continue;  // dropped by the guard, or on the edge
      const double d = std::fabs(terms::Dot(m[k], r[k]));
      T += d * (terms::EdgeLogTable(lambda) + lambda / (lambda - 1));
    }
    T += 2 * std::fabs(h) * M_PI;
    *scale_g += T;
    *scale_U += 0.5 * R[0] * T;
  }
  return total;
}

// Each facet's pieces agree with the scalar form's to a few units in the last
// place (own logarithm and arctangent, fused multiply-adds, the triple
// product as |c| h, a distance rounded once differently) and are added in
// another order (lanes): the totals differ by a fraction of 2.2e-16 times
// the scale above (which adds magnitudes that partly cancel); 1e-15 is
// about five times what was seen on the cube and the asteroid.
constexpr double kAgree = 1e-15;

template <TableGuard G>
void ExpectAgree(const Mesh& mesh, const std::vector<terms::Vec>& points, const char* what) {
  kernel::Model model;
  model.Build(mesh.View());
  for (const terms::Vec& p : points) {
    double sU, sg;
    const Field want = Scalar<G>(mesh, p.x, p.y, p.z, &sU, &sg);
    for (Simd simd : Available()) {
      const Field got = Kernel(simd, G, model, p.x, p.y, p.z);
      const std::string where = std::string(what) + " " + kernel::Name(simd) + " at " +
                                std::to_string(p.x) + " " + std::to_string(p.y) + " " +
                                std::to_string(p.z);
      EXPECT_NEAR(got.U, want.U, kAgree * sU) << where;
      EXPECT_NEAR(got.gx, want.gx, kAgree * sg) << where;
      EXPECT_NEAR(got.gy, want.gy, kAgree * sg) << where;
      EXPECT_NEAR(got.gz, want.gz, kAgree * sg) << where;
    }
  }
}

TEST(KernelField, CubeAgreesWithTheScalarFormEverywhere) {
  const Mesh cube = Cube();
  const double d = 2e-5 / std::sqrt(2.0);
  // Inside, on a face, on an edge, in the zone between the two guards, on a
  // vertex, far away.
  ExpectAgree<TableGuard::kRelative>(cube,
                                     {{0.5, 0.5, 0.5},
                                      {0.2, 0.7, 0.4},
                                      {0.5, 0.5, 1},
                                      {0.5, 0, 0},
                                      {0.5, -d, -d},
                                      {0, 0, 0},
                                      {1, 1, 0},
                                      {10.5, 0.5, 0.5},
                                      {1e3, -2e3, 3e3}},
                                     "cube, guarded");
  // Unguarded: points on no edge (the centroids of the tools that use it).
  ExpectAgree<TableGuard::kNone>(
      cube,
      {{0.5, 0.5, 0.5}, {1.0 / 3, 2.0 / 3, 1}, {0.5, 0.5, 0.999}, {0.5, -d, -d}, {10.5, 0.5, 0.5}},
      "cube, unguarded");
}

TEST(KernelField, AsteroidAgreesWithTheScalarFormEverywhere) {
  const Mesh eros = Load(kEros);
  terms::VolumeSum volume;
  for (const Facet& f : eros.facets)
    volume.Add({f.v[0], f.v[1], f.v[2]}, {f.v[3], f.v[4], f.v[5]}, {f.v[6], f.v[7], f.v[8]});
  const terms::Vec c = volume.Centroid();
  const float* v = eros.facets[100].v;
  const terms::Vec A{v[0], v[1], v[2]}, B{v[3], v[4], v[5]}, C{v[6], v[7], v[8]};
  const terms::Vec face{(A.x + B.x + C.x) / 3, (A.y + B.y + C.y) / 3, (A.z + B.z + C.z) / 3};
  const terms::Vec edge{(A.x + B.x) / 2, (A.y + B.y) / 2, (A.z + B.z) / 2};
  ExpectAgree<TableGuard::kRelative>(
      eros, {c, face, edge, A, {c.x + 300, c.y - 200, c.z + 100}, {2e4, 1e4, -3e4}},
      "eros, guarded");
  ExpectAgree<TableGuard::kNone>(eros, {c, face}, "eros, unguarded");
}

TEST(KernelField, CubeGivesTheListedValues) {
  const Mesh cube = Cube();
  kernel::Model model;
  model.Build(cube.View());
  const double d = 2e-5 / std::sqrt(2.0);
  for (Simd simd : Available()) {
    const Field centre = Kernel(simd, TableGuard::kRelative, model, 0.5, 0.5, 0.5);
    EXPECT_NEAR(centre.U, 2.380077, 5e-7);
    EXPECT_NEAR(centre.gx, 0, 1e-14);
    const Field corner = Kernel(simd, TableGuard::kRelative, model, 0, 0, 0);
    EXPECT_NEAR(corner.U, 1.190039, 5e-7);
    EXPECT_NEAR(corner.gx, 0.9693881, 5e-8);
    EXPECT_NEAR(corner.gz, 0.9693881, 5e-8);
    const Field edge = Kernel(simd, TableGuard::kRelative, model, 0.5, 0, 0);
    EXPECT_NEAR(edge.U, 1.427260, 5e-7);
    EXPECT_NEAR(edge.gy, 1.551694, 5e-7);
    const Field zone = Kernel(simd, TableGuard::kRelative, model, 0.5, -d, -d);
    EXPECT_NEAR(zone.U, 1.427216, 5e-7);
    EXPECT_NEAR(zone.gy, 1.551364, 5e-7);
    const Field top = Kernel(simd, TableGuard::kRelative, model, 0.5, 0.5, 1);  // on a diagonal
    EXPECT_NEAR(top.U, 1.792810, 5e-7);
    EXPECT_NEAR(top.gz, -2.596897, 5e-7);
    const Field far = Kernel(simd, TableGuard::kNone, model, 10.5, 0.5, 0.5);
    EXPECT_NEAR(far.U, 0.09999985, 5e-9);
    EXPECT_NEAR(far.gx, -0.009999927, 5e-10);
  }
  // Inward normals: every value changes sign.
  const Mesh inward = Load(DataPath("cube_inward.stl"));
  kernel::Model in;
  in.Build(inward.View());
  EXPECT_NEAR(Kernel(kernel::Best(), TableGuard::kRelative, in, 0.5, 0.5, 0.5).U, -2.380077, 5e-7);
}

TEST(KernelField, OpenModelOfOneFacetAgreesWithTheScalarForm) {
  Mesh one;
  one.facets.push_back({{0, 0, 0, 2, 0, 0, 0, 1, 0.5f}});
  ExpectAgree<TableGuard::kRelative>(one, {{0.3, 0.3, 1}, {5, -2, -1}, {0.3, 0.2, 0.1}},
                                     "one facet");
  kernel::Model model;
  model.Build(one.View());
  EXPECT_EQ(model.vertices(), 3u);
  EXPECT_EQ(model.edges(), 3u);
  EXPECT_TRUE(std::isfinite(Kernel(kernel::Best(), TableGuard::kRelative, model, 0.3, 0.3, 1).U));
}

// ---- one point's bits do not depend on how the work is cut --------------

TEST(KernelPaths, PointGetsTheSameBitsAloneInBlocksAndInAnyChunking) {
  Mesh mesh;
  std::string path = kEros;
  if (!std::filesystem::exists(path)) path = std::string(SOURCE_DIR) + "/examples/kleopatra.stl";
  mesh = Load(path);
  kernel::Model big, small;
  big.Build(mesh.View());
  small.Build(mesh.View(), 8);  // a chunk per facet group: almost nothing shared
  EXPECT_GT(small.chunks(), big.chunks());
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> u(-40, 40);
  const size_t n = 197;  // blocks of 8 or 4 points and a remainder
  std::vector<double> x(n), y(n), z(n);
  for (size_t i = 0; i < n; ++i) x[i] = u(rng), y[i] = u(rng), z[i] = u(rng);
  const float* v = mesh.facets[7].v;
  x[3] = v[0], y[3] = v[1], z[3] = v[2];  // a vertex
  x[20] = (double{v[0]} + v[3]) / 2, y[20] = (double{v[1]} + v[4]) / 2,
  z[20] = (double{v[2]} + v[5]) / 2;
  for (Simd simd : Available())
    for (TableGuard guard : {TableGuard::kRelative, TableGuard::kNone}) {
      std::vector<double> all(4 * n), alone(4 * n), strided(4 * n), chunked(4 * n);
      auto out = [&](std::vector<double>& r) -> FieldOut {
        return {r.data(), r.data() + n, r.data() + 2 * n, r.data() + 3 * n};
      };
      CalculateSI(kernel::For(simd), guard, big, 0, 1, n, x.data(), y.data(), z.data(), out(all));
      for (size_t i = 0; i < n; ++i)  // point i alone
        CalculateSI(kernel::For(simd), guard, big, i, n, n, x.data(), y.data(), z.data(),
                    out(alone));
      for (size_t t = 0; t < 3; ++t)  // as three threads would
        CalculateSI(kernel::For(simd), guard, big, t, 3, n, x.data(), y.data(), z.data(),
                    out(strided));
      CalculateSI(kernel::For(simd), guard, small, 0, 1, n, x.data(), y.data(), z.data(),
                  out(chunked));
      const size_t bytes = all.size() * sizeof(double);
      const char* name = kernel::Name(simd);
      EXPECT_EQ(std::memcmp(all.data(), alone.data(), bytes), 0) << name;
      EXPECT_EQ(std::memcmp(all.data(), strided.data(), bytes), 0) << name;
      EXPECT_EQ(std::memcmp(all.data(), chunked.data(), bytes), 0) << name;
    }
}

}  // namespace
