// A run divided into parts, as the ranks of an MPI job make it: the
// harmonics' blocks summed by several and added by one in block order,
// the units of a field's plan (the surface's, the grid's) dealt out; put
// together, the bits of one process, for every number of parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "science/body.h"
#include "science/field.h"
#include "science/harmonics.h"
#include "science/model.h"
#include "science/surface.h"
#include "tests/support/asteroid.h"

namespace {

// The generated asteroid's corners (9 a facet) and, unwelded, as a model.
std::vector<double> Corners(int n) {
  std::vector<double> v;
  for (const Facet& f : models::Asteroid(n)) v.insert(v.end(), f.v, f.v + 9);
  return v;
}
mesh::Mesh Unwelded(const std::vector<double>& corners) {
  std::vector<int64_t> faces(corners.size() / 3);
  for (size_t i = 0; i < faces.size(); ++i) faces[i] = int64_t(i);
  return science::ModelFromArrays(corners.data(), faces.size(), faces.data(), faces.size() / 3);
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Block b summed by part b mod parts, each part with sums of its own (as
// each rank makes them), and every block added in block order by another:
// the bits of one call, for parts up to more than there are blocks.
TEST(Share, HarmonicsOfPartsAreTheBitsOfOne) {
  const std::vector<double> corners = Corners(41);
  const size_t facets = corners.size() / 9;
  ASSERT_EQ(facets, 20172u);
  science::HarmonicsRequest r;
  r.degree = 30;
  r.threads = 2;
  r.origin = science::HarmonicOrigin::kCentreOfMass;
  const science::Units units;
  const std::vector<science::HarmonicPart> body = {{corners.data(), facets, 1}};
  const science::Harmonics one = science::PartsHarmonics(body, units, r);
  // 20 blocks of 1024 facets, the last one short; C and S of the
  // (n, m) with 0 <= m <= n <= 30.
  const size_t B = 20, W = 31 * 32;
  for (const unsigned parts : {1u, 2u, 3u, 7u, 25u}) {
    std::vector<std::vector<double>> sums(B);
    for (unsigned part = 0; part < parts; ++part) {
      science::HarmonicSums mine(body, units, r);
      ASSERT_EQ(mine.Blocks(), B);
      ASSERT_EQ(mine.Width(), W);
      std::vector<size_t> blocks;
      for (size_t b = part; b < B; b += parts) blocks.push_back(b);
      std::vector<double> out(blocks.size() * W);
      mine.Sum(blocks, out.data());
      for (size_t j = 0; j < blocks.size(); ++j)
        sums[blocks[j]].assign(out.begin() + std::ptrdiff_t(j * W),
                               out.begin() + std::ptrdiff_t((j + 1) * W));
    }
    science::HarmonicSums adder(body, units, r);
    for (size_t b = 0; b < B; ++b) adder.Add(b, sums[b].data());
    const science::Harmonics h = adder.Finish();
    EXPECT_TRUE(SameBits(h.C, one.C) && SameBits(h.S, one.S)) << parts;
    EXPECT_EQ(h.mass, one.mass);
  }
}

// The blocks are added in block order, each once, before the finish.
TEST(Share, HarmonicBlocksAreAddedInOrder) {
  const std::vector<double> corners = Corners(41);
  science::HarmonicsRequest r;
  r.degree = 2;
  science::HarmonicSums s({{corners.data(), corners.size() / 9, 1}}, {}, r);
  const std::vector<double> sums(s.Width());
  EXPECT_THROW(s.Add(1, sums.data()), std::logic_error);
  s.Add(0, sums.data());
  EXPECT_THROW(s.Add(0, sums.data()), std::logic_error);
  EXPECT_THROW(s.Finish(), std::logic_error);
  for (size_t b = 1; b < s.Blocks(); ++b) s.Add(b, sums.data());
  EXPECT_THROW(s.Add(s.Blocks(), sums.data()), std::logic_error);
  // Made from the sums added, zeros: no volume.
  EXPECT_THROW(s.Finish(), Failure);
}

// The units of a plan dealt out to `parts` lists (unit u to list u mod
// parts), each evaluated by FieldOf into arrays of its own (the others'
// points not written), and the units' points put together.
struct Dealt {
  std::vector<double> field, tensor;  // U, gx, gy, gz of n points; six a point
  std::vector<int> fields, tensors;   // how many units wrote each point's
};
Dealt Deal(const science::FieldPlan& plan, size_t n, unsigned parts) {
  Dealt d{std::vector<double>(4 * n, -1), std::vector<double>(6 * n, -1), std::vector<int>(n, 0),
          std::vector<int>(n, 0)};
  for (unsigned part = 0; part < parts; ++part) {
    std::vector<size_t> units;
    for (size_t u = part; u < plan.Units(); u += parts) units.push_back(u);
    std::vector<double> r(10 * n, NAN);
    EXPECT_TRUE(science::FieldOf(plan, units, {&r[0], &r[n], &r[2 * n], &r[3 * n], &r[4 * n]}, {}));
    std::vector<uint8_t> mine(n, 0), mine_tensor(n, 0);
    for (size_t u : units)
      for (size_t i : plan.Points(u)) {
        if (plan.Tensor(u)) {
          ++d.tensors[i], mine_tensor[i] = 1;
          std::copy_n(&r[4 * n + 6 * i], 6, &d.tensor[6 * i]);
        } else {
          ++d.fields[i], mine[i] = 1;
          for (size_t q = 0; q < 4; ++q) d.field[q * n + i] = r[q * n + i];
        }
      }
    // Nothing written but the units' points.
    for (size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(mine[i] || (std::isnan(r[i]) && std::isnan(r[3 * n + i]))) << i;
      EXPECT_TRUE(mine_tensor[i] || std::isnan(r[4 * n + 6 * i + 5])) << i;
    }
  }
  return d;
}

// Every point in one unit of the field and one of the tensor, and the
// units put together the bits of one call: the field with the tensor of a
// homogeneous body and of a body of parts and point masses, by the closed
// form and under a tolerance (the tree; the body's parts' shared
// tolerance); the surface's field at the centroids and the centre.
TEST(Share, FieldAndSurfaceByUnitsAreTheBitsOfOne) {
  const std::vector<double> corners = Corners(20);
  std::vector<double> inner = corners;
  for (double& v : inner) v *= 0.5;
  std::vector<double> x, y, z;
  for (int i = 0; i < 3000; ++i)
    x.push_back(std::sin(i * 0.37) * 0.9), y.push_back(std::cos(i * 0.71) * 0.6),
        z.push_back(std::sin(i * 1.3) * 0.5 + (i % 50 == 0 ? 30 : 0));
  const size_t n = x.size();
  for (const bool parts_body : {false, true}) {
    science::Body body(Unwelded(corners), 2, 1e-9);
    if (parts_body) {
      body.SetDensity(2000, "density");
      body.AddPart(Unwelded(inner), 1500, "core", "core");
      body.AddMascons({{0.2, 0.3, 0.1, 1e3}}, "");
    }
    for (const double tolerance : {0.0, 1e-9}) {
      science::FieldRequest request;
      request.gradient = true;
      request.evaluation.check = false;
      request.evaluation.tolerance = tolerance;
      std::vector<double> one(10 * n);
      ASSERT_TRUE(science::FieldOf(body, request, n, x.data(), y.data(), z.data(),
                                   {&one[0], &one[n], &one[2 * n], &one[3 * n], &one[4 * n]}, {}));
      const science::FieldPlan plan =
          science::PlanField(body, request, n, x.data(), y.data(), z.data());
      for (const unsigned parts : {3u}) {
        const Dealt d = Deal(plan, n, parts);
        EXPECT_EQ(std::count(d.fields.begin(), d.fields.end(), 1), std::ptrdiff_t(n));
        EXPECT_EQ(std::count(d.tensors.begin(), d.tensors.end(), 1), std::ptrdiff_t(n));
        std::vector<double> joined = d.field;
        joined.insert(joined.end(), d.tensor.begin(), d.tensor.end());
        EXPECT_TRUE(SameBits(joined, one)) << parts_body << " " << tolerance << " " << parts;
      }
      science::SurfaceRequest surface;
      surface.evaluation = request.evaluation;
      science::Surface whole, dealt;
      ASSERT_TRUE(science::SurfaceOf(body, surface, &whole, {}));
      const auto run = [&](const science::FieldPlan& p, const science::FieldResult& out,
                           const science::More&) {
        const size_t m = body.model().FaceCount() + 1;
        EXPECT_EQ(p.Units(), p.All().size());
        const Dealt d = Deal(p, m, 3);
        for (size_t i = 0; i < m; ++i)
          out.U[i] = d.field[i], out.gx[i] = d.field[m + i], out.gy[i] = d.field[2 * m + i],
          out.gz[i] = d.field[3 * m + i];
        return true;
      };
      ASSERT_TRUE(science::SurfaceOf(body, surface, &dealt, {}, run));
      EXPECT_EQ(dealt.U0, whole.U0);
      for (const auto& [a, b] : {std::pair{&dealt.U, &whole.U},
                                 {&dealt.gz, &whole.gz},
                                 {&dealt.slope, &whole.slope},
                                 {&dealt.UU0, &whole.UU0}})
        EXPECT_TRUE(SameBits(*a, *b)) << parts_body << " " << tolerance;
    }
  }
}

}  // namespace
