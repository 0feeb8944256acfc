// A run divided into parts, as the ranks of an MPI job make it: the
// harmonics' blocks summed by several and added by one in block order,
// the field and the surface's field dealt out point by point;
// put together, the bits of one process, for every number of parts.
#include <gtest/gtest.h>

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

// Every point some part's, one part's only, and the shares put together
// the bits of one process: the field with the tensor, by the closed form
// and by the tree; the surface's field at the centroids and the centre.
TEST(Share, FieldAndSurfaceOfPartsAreTheBitsOfOne) {
  const std::vector<double> corners = Corners(20);
  const science::Body body(Unwelded(corners), 2, 1e-9);
  std::vector<double> x, y, z;
  for (int i = 0; i < 3000; ++i)
    x.push_back(std::sin(i * 0.37) * 0.9), y.push_back(std::cos(i * 0.71) * 0.6),
        z.push_back(std::sin(i * 1.3) * 0.5 + (i % 50 == 0 ? 30 : 0));
  const size_t n = x.size();
  for (const double tolerance : {0.0, 1e-9}) {
    science::FieldRequest request;
    request.gradient = true;
    request.evaluation.check = false;
    request.evaluation.tolerance = tolerance;
    std::vector<double> one(10 * n);
    science::FieldOf(body, request, n, x.data(), y.data(), z.data(),
                     {&one[0], &one[n], &one[2 * n], &one[3 * n], &one[4 * n]}, {});
    science::SurfaceRequest surface;
    surface.evaluation = request.evaluation;
    science::Surface whole;
    science::SurfaceOf(body, surface, &whole, {});
    for (const unsigned parts : {3u}) {
      std::vector<double> joined(10 * n, -1);
      std::vector<int> owners(n, 0);
      science::Surface s, together;
      for (unsigned part = 0; part < parts; ++part) {
        request.evaluation.part = surface.evaluation.part = part;
        request.evaluation.parts = surface.evaluation.parts = parts;
        std::vector<double> r(10 * n, -1);
        std::vector<uint8_t> mine(n);
        science::FieldOf(body, request, n, x.data(), y.data(), z.data(),
                         {&r[0], &r[n], &r[2 * n], &r[3 * n], &r[4 * n], mine.data()}, {});
        for (size_t i = 0; i < n; ++i) {
          owners[i] += mine[i];
          if (!mine[i]) continue;
          for (size_t q = 0; q < 4; ++q) joined[q * n + i] = r[q * n + i];
          for (size_t q = 0; q < 6; ++q) joined[4 * n + 6 * i + q] = r[4 * n + 6 * i + q];
        }
        ASSERT_TRUE(science::SurfaceField(body, surface, &s, {}));
        if (part == 0) together = s;
        for (size_t i = 0; i < s.mine.size(); ++i) {
          if (!s.mine[i]) continue;
          together.U[i] = s.U[i], together.gx[i] = s.gx[i];
          together.gy[i] = s.gy[i], together.gz[i] = s.gz[i];
        }
      }
      EXPECT_EQ(std::count(owners.begin(), owners.end(), 1), std::ptrdiff_t(n));
      EXPECT_TRUE(SameBits(joined, one)) << tolerance << " " << parts;
      science::FinishSurface(body, surface, &together);
      EXPECT_EQ(together.U0, whole.U0);
      for (const auto& [a, b] : {std::pair{&together.U, &whole.U},
                                 {&together.gz, &whole.gz},
                                 {&together.slope, &whole.slope},
                                 {&together.UU0, &whole.UU0}})
        EXPECT_TRUE(SameBits(*a, *b)) << tolerance << " " << parts;
      request.evaluation.part = surface.evaluation.part = 0;
      request.evaluation.parts = surface.evaluation.parts = 1;
    }
  }
}

// A part outside the parts is refused before any work.
TEST(Share, APartOutsideThePartsIsRefused) {
  science::Evaluation e;
  e.part = 3, e.parts = 3;
  EXPECT_THROW(science::Validate(e), Failure);
  e.parts = 0, e.part = 0;
  EXPECT_THROW(science::Validate(e), Failure);
}

}  // namespace
