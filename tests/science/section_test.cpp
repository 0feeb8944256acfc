// Under a tolerance FieldOf evaluates the points in sections of
// kFieldSection points, each a call of its own: the last section's bits
// are those of a call over its points alone, whatever the points before
// it, and every result is within the tolerance of the section's largest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "science/body.h"
#include "science/field.h"
#include "science/model.h"
#include "tests/support/asteroid.h"

namespace {

mesh::Mesh Unwelded(const std::vector<Facet>& facets) {
  std::vector<double> corners;
  for (const Facet& f : facets) corners.insert(corners.end(), f.v, f.v + 9);
  std::vector<int64_t> faces(corners.size() / 3);
  for (size_t i = 0; i < faces.size(); ++i) faces[i] = int64_t(i);
  return science::ModelFromArrays(corners.data(), faces.size(), faces.data(), faces.size() / 3);
}

// The field and tensor of points [first, first + n) by one FieldOf call.
struct Result {
  std::vector<double> U, gx, gy, gz, t;
};
Result Field(const science::Body& body, double tolerance, const std::vector<double>& x,
             const std::vector<double>& y, const std::vector<double>& z, size_t first, size_t n) {
  science::FieldRequest request;
  request.gradient = true;
  request.evaluation.check = false;
  request.evaluation.threads = 2;
  if (tolerance > 0) request.evaluation.tolerance = tolerance;
  Result r{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n),
           std::vector<double>(n), std::vector<double>(6 * n)};
  EXPECT_TRUE(science::FieldOf(body, request, n, &x[first], &y[first], &z[first],
                               {r.U.data(), r.gx.data(), r.gy.data(), r.gz.data(), r.t.data()},
                               {}));
  return r;
}

bool SameBits(const double* a, const double* b, size_t n) {
  return std::memcmp(a, b, n * sizeof(double)) == 0;
}

TEST(Section, UnderAToleranceEachSectionIsACallOfItsOwn) {
  // 2,352 facets of a 1.4 x 1 x 0.8 asteroid; a section of points in and
  // around it, then 3000 more around it and far away.
  const science::Body body(Unwelded(models::Asteroid(14)), 2);
  const size_t S = science::kFieldSection, extra = 3000, n = S + extra;
  std::vector<double> x(n), y(n), z(n);
  for (size_t i = 0; i < n; ++i) {
    const double k = double(i), far = i >= S && i % 7 == 0 ? 25 : 1;
    x[i] = far * 1.1 * std::sin(k * 0.37), y[i] = far * 0.8 * std::cos(k * 0.71);
    z[i] = far * 0.6 * std::sin(k * 1.3);
  }
  const double tolerance = 1e-6;
  const Result whole = Field(body, tolerance, x, y, z, 0, n);
  const Result last = Field(body, tolerance, x, y, z, S, extra);
  EXPECT_TRUE(SameBits(&whole.U[S], last.U.data(), extra));
  EXPECT_TRUE(SameBits(&whole.gz[S], last.gz.data(), extra));
  EXPECT_TRUE(SameBits(&whole.t[6 * S], last.t.data(), 6 * extra));
  // Within the tolerance of the last section's largest |U|, |g| and
  // tensor component, against the closed form; the tree took them (the
  // bits differ).
  const Result exact = Field(body, 0, x, y, z, S, extra);
  double U = 0, g = 0, t = 0, eU = 0, eg = 0, et = 0;
  for (size_t i = 0; i < extra; ++i) {
    U = std::max(U, std::fabs(exact.U[i]));
    g = std::max(g, std::hypot(exact.gx[i], exact.gy[i], exact.gz[i]));
    eU = std::max(eU, std::fabs(last.U[i] - exact.U[i]));
    eg = std::max(eg, std::hypot(last.gx[i] - exact.gx[i], last.gy[i] - exact.gy[i],
                                 last.gz[i] - exact.gz[i]));
  }
  for (size_t k = 0; k < 6 * extra; ++k) {
    t = std::max(t, std::fabs(exact.t[k]));
    et = std::max(et, std::fabs(last.t[k] - exact.t[k]));
  }
  EXPECT_LE(eU, tolerance * U);
  EXPECT_LE(eg, tolerance * g);
  EXPECT_LE(et, tolerance * t);
  EXPECT_GT(eU, 0);
  EXPECT_GT(et, 0);
}

}  // namespace
