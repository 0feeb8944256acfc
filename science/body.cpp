// The body: field through the suite's vector kernel, gradient tensor in
// closed form, surface products and statistics.
#include "science/body.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>

#include "engine/terms.h"
#include "mesh/mesh.h"

namespace science {

namespace {

constexpr double kPi = 3.141592653589793;

// Points handed to the kernel at once: the progress line moves between
// blocks, and no result depends on the blocking.
constexpr size_t kBlock = 4096;

double Degrees(double radians) {
  return radians * 180 / kPi;
}

// The slope in degrees: the deviation of the vertical (terms::Deviation),
// not a number for a facet of zero area (left out of every statistic).
double Slope(const double n[3], double gx, double gy, double gz) {
  return Degrees(terms::Deviation({gx, gy, gz}, {n[0], n[1], n[2]}));
}

}  // namespace

std::string Units::LengthUnit() const {
  if (metres == 1) return "m";
  if (metres == 1000) return "km";
  if (metres == 0.01) return "cm";
  if (metres == 0.001) return "mm";
  return std::to_string(metres) + " m";
}

double MetresOf(const std::string& unit) {
  if (unit == "m") return 1;
  if (unit == "km") return 1000;
  if (unit == "cm") return 0.01;
  if (unit == "mm") return 0.001;
  throw mesh::Failure("--unit: \"" + unit + "\" is not one of m, km, cm, mm");
}

Body::Body(mesh::Mesh model, unsigned threads, double tolerance) : model_(std::move(model)) {
  corners_ = model_.FaceCorners();
  const uint32_t n = static_cast<uint32_t>(model_.FaceCount());
  terms::VolumeSum sum;
  for (uint32_t f = 0; f < n; ++f) {
    const double* v = &corners_[9 * size_t{f}];
    sum.Add({v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]});
  }
  volume_ = sum.Volume();
  const terms::Vec c = sum.Centroid();
  centre_ = {c.x, c.y, c.z};
  engine_.SetTolerance(tolerance);
  engine_.Load(n, corners_.data());
  engine_.SetThreads(threads);
}

std::vector<double> FaceAreas(const mesh::Mesh& m) {
  std::vector<double> area(m.FaceCount());
  for (size_t f = 0; f < area.size(); ++f) {
    const double* A = &m.vertices[3 * m.faces[3 * f]];
    const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* C = &m.vertices[3 * m.faces[3 * f + 2]];
    area[f] = 0.5 * terms::Norm(terms::Cross({B[0] - A[0], B[1] - A[1], B[2] - A[2]},
                                             {C[0] - A[0], C[1] - A[1], C[2] - A[2]}));
  }
  return area;
}

double Body::Area() const {
  double total = 0;
  for (double a : FaceAreas(model_)) total += a;
  return total;
}

void Body::Field(size_t n, const double* x, const double* y, const double* z,
                 const FieldOut& out) const {
  const std::lock_guard<std::mutex> one(busy_);
  engine_.Evaluate(n, x, y, z, out);
}

// d g / d p = sum over the faces of n (sum_k m_k L_k - n Omega)^T: the
// derivative of g = -sum n S with S = integral over the face of 1/|x - p|,
// whose gradient in p is -sum_k m_k L_k + n Omega (the edge integrals L_k of
// 1/R along the face's boundary, with the in-plane outward edge normals m_k,
// and the solid angle Omega = 2 omega under which the face is seen). Edge
// terms vanish under the relative guard, as in the field.
void Body::Gradient(size_t n, const double* x, const double* y, const double* z, double* t) const {
  const std::lock_guard<std::mutex> one(busy_);
  const size_t faces = model_.FaceCount();
  // The per-face table (unit normal, edge normals, reciprocal lengths), made
  // at the first tensor asked for: a body that is only asked for its field
  // keeps no second table.
  std::call_once(entries_made_, [&] {
    entries_.reserve(faces);
    for (size_t f = 0; f < faces; ++f) entries_.push_back(MakeSIEntry(&corners_[9 * f]));
  });
  engine_.Threads().MultiThreading(n, [&](unsigned first, unsigned step) {
    for (size_t i = first; i < n; i += step) {
      double T[3][3] = {};
      const terms::Vec p{x[i], y[i], z[i]};
      for (size_t f = 0; f < faces; ++f) {
        const SIEntry& e = entries_[f];
        if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;
        const double* v = &corners_[9 * f];
        const terms::Vec A{v[0], v[1], v[2]}, B{v[3], v[4], v[5]}, C{v[6], v[7], v[8]};
        const terms::Vec r[3] = {A - p, B - p, C - p};
        const double R[3] = {terms::Norm(r[0]), terms::Norm(r[1]), terms::Norm(r[2])};
        const double il[3] = {e.il1, e.il2, e.il3};
        const terms::Vec m[3] = {
            {e.m1x, e.m1y, e.m1z}, {e.m2x, e.m2y, e.m2z}, {e.m3x, e.m3y, e.m3z}};
        double w[3] = {0, 0, 0};  // sum_k m_k L_k
        for (int k = 0; k < 3; ++k) {
          const double lambda = (R[k] + R[(k + 1) % 3]) * il[k];
          if (!((lambda - 1) / (lambda + 1) >= terms::kRelativeGuard)) continue;
          const double L = terms::EdgeLogTable(lambda);
          w[0] += m[k].x * L, w[1] += m[k].y * L, w[2] += m[k].z * L;
        }
        const double triple = terms::Dot(terms::Cross(B - A, C - A), r[0]);
        const double omega2 = 2 * terms::SolidAngle(triple, r[0], r[1], r[2], R[0], R[1], R[2]);
        const double nn[3] = {e.nx, e.ny, e.nz};
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b) T[a][b] += nn[a] * (w[b] - nn[b] * omega2);
      }
      double* o = t + 6 * i;
      o[0] = T[0][0];
      o[1] = 0.5 * (T[0][1] + T[1][0]);
      o[2] = 0.5 * (T[0][2] + T[2][0]);
      o[3] = T[1][1];
      o[4] = 0.5 * (T[1][2] + T[2][1]);
      o[5] = T[2][2];
    }
  });
}

bool FieldOf(const Body& body, const Units& units, size_t n, const double* x, const double* y,
             const double* z, double* U, double* gx, double* gy, double* gz, double* tensor,
             const std::function<bool(double)>& more) {
  constexpr size_t kPointBlock = size_t{1} << 14;
  for (size_t first = 0; first < n; first += kPointBlock) {
    const size_t count = std::min(kPointBlock, n - first);
    body.Field(count, x + first, y + first, z + first,
               {U + first, gx + first, gy + first, gz + first});
    if (tensor) body.Gradient(count, x + first, y + first, z + first, tensor + 6 * first);
    for (size_t i = first; i < first + count; ++i) {
      U[i] *= units.PotentialFactor();
      gx[i] *= units.AttractionFactor(), gy[i] *= units.AttractionFactor();
      gz[i] *= units.AttractionFactor();
    }
    if (tensor)
      for (size_t k = 6 * first; k < 6 * (first + count); ++k) tensor[k] *= units.GradientFactor();
    if (!more(double(first + count) / double(n))) return false;
  }
  return true;
}

Surface SurfaceOf(const Body& body, const Units& units, const SurfaceOptions& options,
                  void (*progress)(double)) {
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface s;
  s.area.resize(n), s.cx.resize(n), s.cy.resize(n), s.cz.resize(n);
  s.U.resize(n), s.gx.resize(n), s.gy.resize(n), s.gz.resize(n);
  s.g.resize(n), s.slope.resize(n), s.UU0.resize(n);
  std::vector<double> normal(3 * n);
  for (size_t f = 0; f < n; ++f) {
    const double* A = &m.vertices[3 * m.faces[3 * f]];
    const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* C = &m.vertices[3 * m.faces[3 * f + 2]];
    s.cx[f] = ((A[0] + B[0]) + C[0]) / 3;
    s.cy[f] = ((A[1] + B[1]) + C[1]) / 3;
    s.cz[f] = ((A[2] + B[2]) + C[2]) / 3;
    const terms::Vec c = terms::Cross({B[0] - A[0], B[1] - A[1], B[2] - A[2]},
                                      {C[0] - A[0], C[1] - A[1], C[2] - A[2]});
    normal[3 * f] = c.x, normal[3 * f + 1] = c.y, normal[3 * f + 2] = c.z;
    s.area[f] = 0.5 * terms::Norm(c);
  }
  const auto centre = body.CentreOfMass();
  body.Field(1, &centre[0], &centre[1], &centre[2], {&s.U0, nullptr, nullptr, nullptr});
  for (size_t first = 0; first < n; first += kBlock) {
    const size_t count = std::min(kBlock, n - first);
    body.Field(count, &s.cx[first], &s.cy[first], &s.cz[first],
               {&s.U[first], &s.gx[first], &s.gy[first], &s.gz[first]});
    if (progress) progress(double(first + count) / double(n));
  }
  const double fu = units.PotentialFactor(), fg = units.AttractionFactor();
  s.U0 *= fu;
  for (size_t f = 0; f < n; ++f) {
    s.U[f] *= fu, s.gx[f] *= fg, s.gy[f] *= fg, s.gz[f] *= fg;
    s.g[f] = std::sqrt(s.gx[f] * s.gx[f] + s.gy[f] * s.gy[f] + s.gz[f] * s.gz[f]);
    s.slope[f] = Slope(&normal[3 * f], s.gx[f], s.gy[f], s.gz[f]);
    s.UU0[f] = s.U[f] / s.U0;
  }
  if (options.spin_period > 0) {
    const double omega = 2 * kPi / options.spin_period, w2 = omega * omega;
    const auto& a = options.spin_axis;
    const double len = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    const double k[3] = {a[0] / len, a[1] / len, a[2] / len};
    s.Ueff.resize(n), s.gxeff.resize(n), s.gyeff.resize(n), s.gzeff.resize(n);
    s.geff.resize(n), s.slopeeff.resize(n);
    for (size_t f = 0; f < n; ++f) {
      // The centroid's distance from the axis, in metres: r - (r . k) k.
      const double r[3] = {(s.cx[f] - centre[0]) * units.metres,
                           (s.cy[f] - centre[1]) * units.metres,
                           (s.cz[f] - centre[2]) * units.metres};
      const double along = r[0] * k[0] + r[1] * k[1] + r[2] * k[2];
      const double perp[3] = {r[0] - along * k[0], r[1] - along * k[1], r[2] - along * k[2]};
      const double p2 = perp[0] * perp[0] + perp[1] * perp[1] + perp[2] * perp[2];
      s.Ueff[f] = s.U[f] + 0.5 * w2 * p2;
      s.gxeff[f] = s.gx[f] + w2 * perp[0];
      s.gyeff[f] = s.gy[f] + w2 * perp[1];
      s.gzeff[f] = s.gz[f] + w2 * perp[2];
      s.geff[f] =
          std::sqrt(s.gxeff[f] * s.gxeff[f] + s.gyeff[f] * s.gyeff[f] + s.gzeff[f] * s.gzeff[f]);
      s.slopeeff[f] = Slope(&normal[3 * f], s.gxeff[f], s.gyeff[f], s.gzeff[f]);
    }
  }
  return s;
}

AreaStatistics Statistics(const std::vector<double>& value, const std::vector<double>& area,
                          const std::vector<double>& percentiles,
                          const std::vector<double>& thresholds) {
  AreaStatistics st;
  const size_t n = value.size();
  std::vector<size_t> order;
  for (size_t i = 0; i < n; ++i)
    if (std::isfinite(value[i])) order.push_back(i);
  if (order.empty()) return st;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return value[a] < value[b]; });
  st.min_facet = order.front();
  st.max_facet = order.back();
  double total = 0;
  for (size_t i : order) total += area[i];
  for (double p : percentiles) {
    // The smallest value whose facets with smaller or equal values cover
    // p percent of the area.
    double covered = 0;
    double v = value[order.back()];
    for (size_t i : order) {
      covered += area[i];
      if (covered >= p / 100 * total) {
        v = value[i];
        break;
      }
    }
    st.percentiles.emplace_back(p, v);
  }
  for (double t : thresholds) {
    double above = 0;
    for (size_t i : order)
      if (value[i] > t) above += area[i];
    st.above.emplace_back(t, total > 0 ? above / total : 0);
  }
  return st;
}

}  // namespace science
