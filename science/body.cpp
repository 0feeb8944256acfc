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

// Points handed to the engine at once, by FieldOf and SurfaceOf alike: the
// progress line moves and Ctrl-C is looked for between blocks, and no result
// depends on the blocking (the engine is told the whole count first).
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
  engine_.Evaluate(n, x, y, z, out);
}

// d g / d p = sum over the faces of n (sum_k m_k L_k - n Omega)^T: the
// derivative of g = -sum n S with S = integral over the face of 1/|x - p|,
// whose gradient in p is -sum_k m_k L_k + n Omega (the edge integrals L_k of
// 1/R along the face's boundary, with the in-plane outward edge normals m_k,
// and the solid angle Omega = 2 omega under which the face is seen). Edge
// terms vanish under the relative guard, as in the field.
void Body::Gradient(size_t n, const double* x, const double* y, const double* z, double* t) const {
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

const mesh::CheckReport& Body::Check() const {
  std::call_once(checked_, [&] { check_ = mesh::Check(model_); });
  return check_;
}

void RequireFit(const Body& body) {
  const std::string problem = body.Check().Problem();
  if (!problem.empty())
    throw Failure((body.name().empty() ? "" : body.name() + ": ") +
                      "unfit for the field formulas: " + problem,
                  Failure::Kind::kUnfit);
}

namespace {

// The settings of one evaluation, under the body's lock.
void Prepare(const Body& body, const Evaluation& e, size_t points) {
  if (e.check) RequireFit(body);
  body.SetThreads(e.Threads());
  body.SetTolerance(e.Tolerance());
  body.Expect(points);
}

}  // namespace

bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more) {
  Validate(request);
  const Units units = Resolve(request.units, body.Volume());
  const auto hold = body.Hold();
  Prepare(body, request.evaluation, n);
  const double fu = units.PotentialFactor(), fg = units.AttractionFactor(),
               ft = units.GradientFactor();
  double* const t = request.gradient ? out.tensor : nullptr;
  for (size_t first = 0; first < n; first += kBlock) {
    const size_t count = std::min(kBlock, n - first);
    body.Field(count, x + first, y + first, z + first,
               {out.U + first, out.gx + first, out.gy + first, out.gz + first});
    if (t) body.Gradient(count, x + first, y + first, z + first, t + 6 * first);
    for (size_t i = first; i < first + count; ++i)
      out.U[i] *= fu, out.gx[i] *= fg, out.gy[i] *= fg, out.gz[i] *= fg;
    if (t)
      for (size_t k = 6 * first; k < 6 * (first + count); ++k) t[k] *= ft;
    if (more && !more(double(first + count) / double(n))) return false;
  }
  return true;
}

bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface,
               const More& more) {
  Validate(request);
  const Units units = Resolve(request.units, body.Volume());
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s = Surface{};
  s.facet.resize(n), s.area.resize(n), s.cx.resize(n), s.cy.resize(n), s.cz.resize(n);
  s.U.resize(n), s.gx.resize(n), s.gy.resize(n), s.gz.resize(n);
  s.g.resize(n), s.slope.resize(n), s.UU0.resize(n);
  std::vector<double> normal(3 * n);
  for (size_t f = 0; f < n; ++f) {
    const double* A = &m.vertices[3 * m.faces[3 * f]];
    const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* C = &m.vertices[3 * m.faces[3 * f + 2]];
    s.facet[f] = static_cast<double>(f);
    s.cx[f] = ((A[0] + B[0]) + C[0]) / 3;
    s.cy[f] = ((A[1] + B[1]) + C[1]) / 3;
    s.cz[f] = ((A[2] + B[2]) + C[2]) / 3;
    const terms::Vec c = terms::Cross({B[0] - A[0], B[1] - A[1], B[2] - A[2]},
                                      {C[0] - A[0], C[1] - A[1], C[2] - A[2]});
    normal[3 * f] = c.x, normal[3 * f + 1] = c.y, normal[3 * f + 2] = c.z;
    s.area[f] = 0.5 * terms::Norm(c);
  }
  const auto centre = body.CentreOfMass();
  {
    const auto hold = body.Hold();
    // The centre of mass first, as one more point of the run.
    Prepare(body, request.evaluation, n + 1);
    body.Field(1, &centre[0], &centre[1], &centre[2], {&s.U0, nullptr, nullptr, nullptr});
    for (size_t first = 0; first < n; first += kBlock) {
      const size_t count = std::min(kBlock, n - first);
      body.Field(count, &s.cx[first], &s.cy[first], &s.cz[first],
                 {&s.U[first], &s.gx[first], &s.gy[first], &s.gz[first]});
      if (more && !more(double(first + count) / double(n))) return false;
    }
  }
  const double fu = units.PotentialFactor(), fg = units.AttractionFactor();
  s.U0 *= fu;
  for (size_t f = 0; f < n; ++f) {
    s.U[f] *= fu, s.gx[f] *= fg, s.gy[f] *= fg, s.gz[f] *= fg;
    s.g[f] = std::sqrt(s.gx[f] * s.gx[f] + s.gy[f] * s.gy[f] + s.gz[f] * s.gz[f]);
    s.slope[f] = Slope(&normal[3 * f], s.gx[f], s.gy[f], s.gz[f]);
    s.UU0[f] = s.U[f] / s.U0;
  }
  if (request.spin_period) {
    const double omega = 2 * kPi / request.SpinSeconds(), w2 = omega * omega;
    const auto& a = request.spin_axis;
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
  return true;
}

std::vector<Column> SurfaceColumns(const Surface& s, const Units& u) {
  std::vector<Column> cols = {{"facet", "", &s.facet, true},     {"area", u.AreaUnit(), &s.area},
                              {"cx", u.LengthUnit(), &s.cx},     {"cy", u.LengthUnit(), &s.cy},
                              {"cz", u.LengthUnit(), &s.cz},     {"U", u.PotentialUnit(), &s.U},
                              {"gx", u.AttractionUnit(), &s.gx}, {"gy", u.AttractionUnit(), &s.gy},
                              {"gz", u.AttractionUnit(), &s.gz}, {"g", u.AttractionUnit(), &s.g},
                              {"slope", "[deg]", &s.slope},      {"U/U0", "", &s.UU0}};
  if (!s.slopeeff.empty()) {
    cols.push_back({"Ueff", u.PotentialUnit(), &s.Ueff});
    cols.push_back({"gxeff", u.AttractionUnit(), &s.gxeff});
    cols.push_back({"gyeff", u.AttractionUnit(), &s.gyeff});
    cols.push_back({"gzeff", u.AttractionUnit(), &s.gzeff});
    cols.push_back({"geff", u.AttractionUnit(), &s.geff});
    cols.push_back({"slopeeff", "[deg]", &s.slopeeff});
  }
  return cols;
}

std::vector<std::string> SurfaceColumnNames(bool spin) {
  Surface s;
  if (spin) s.slopeeff.resize(1);
  std::vector<std::string> names;
  for (const Column& c : SurfaceColumns(s, Units{})) names.push_back(c.name);
  return names;
}

}  // namespace science
