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
  engine_.SetFarExpansion(true);
  engine_.SetThreads(threads);
  engine_.Load(Facets(n, corners_.data()));
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

bool Body::Field(size_t n, const double* x, const double* y, const double* z, const FieldOut& out,
                 const EvaluateOptions& options) const {
  return engine_.Evaluate(n, x, y, z, out, options);
}

void Body::Gradient(size_t n, const double* x, const double* y, const double* z, double* t,
                    unsigned threads) const {
  engine_.Gradient(n, x, y, z, t, {nullptr, threads});
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

// One evaluation's engine options: its tolerance and threads, and the
// face's monitor (told the share done, from the calling thread).
EvaluateOptions OptionsOf(const Body& body, const Evaluation& e, const More& more) {
  if (e.check) RequireFit(body);
  EvaluateOptions options;
  options.tolerance = e.Tolerance();
  options.threads = e.Threads();
  options.part = e.part, options.parts = e.parts;
  if (more) options.monitor = more;
  return options;
}

// The facet's normal times twice its area, (B - A) x (C - A).
terms::Vec AreaNormal(const mesh::Mesh& m, size_t f) {
  const double* A = &m.vertices[3 * m.faces[3 * f]];
  const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
  const double* C = &m.vertices[3 * m.faces[3 * f + 2]];
  return terms::Cross({B[0] - A[0], B[1] - A[1], B[2] - A[2]},
                      {C[0] - A[0], C[1] - A[1], C[2] - A[2]});
}

}  // namespace

bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more) {
  Validate(request);
  const Units units = Resolve(request.units, body.Volume());
  const EvaluateOptions options = OptionsOf(body, request.evaluation, more);
  const double fu = units.PotentialFactor(), fg = units.AttractionFactor(),
               ft = units.GradientFactor();
  // The field of every point in one call (under a tolerance the tree forms
  // its batches from all of them); the tensor in blocks, between which the
  // monitor is told again, of this part's points (all in one process).
  std::vector<uint8_t> flags(options.parts > 1 && !out.mine ? n : 0);
  EvaluateOptions share = options;
  share.mine = options.parts == 1 ? nullptr : out.mine ? out.mine : flags.data();
  if (!body.Field(n, x, y, z, {out.U, out.gx, out.gy, out.gz}, share)) return false;
  const auto mine = [&](size_t i) { return !share.mine || share.mine[i]; };
  for (size_t i = 0; i < n; ++i)
    if (mine(i)) out.U[i] *= fu, out.gx[i] *= fg, out.gy[i] *= fg, out.gz[i] *= fg;
  double* const t = request.gradient ? out.tensor : nullptr;
  if (!t) return true;
  std::vector<size_t> index;
  for (size_t i = 0; i < n; ++i)
    if (mine(i)) index.push_back(i);
  const size_t count = index.size();
  std::vector<double> p(share.mine ? 3 * std::min(kBlock, count) : 0), q(p.size() * 2);
  for (size_t first = 0; first < count; first += kBlock) {
    const size_t c = std::min(kBlock, count - first);
    if (share.mine) {
      // This part's points, gathered.
      for (size_t k = 0; k < c; ++k) {
        const size_t i = index[first + k];
        p[k] = x[i], p[c + k] = y[i], p[2 * c + k] = z[i];
      }
      body.Gradient(c, &p[0], &p[c], &p[2 * c], q.data(), options.threads);
      for (size_t k = 0; k < c; ++k)
        for (size_t j = 0; j < 6; ++j) t[6 * index[first + k] + j] = q[6 * k + j] * ft;
    } else {
      body.Gradient(c, x + first, y + first, z + first, t + 6 * first, options.threads);
      for (size_t k = 6 * first; k < 6 * (first + c); ++k) t[k] *= ft;
    }
    if (more && !more(double(first + c) / double(count))) return false;
  }
  return true;
}

bool SurfaceField(const Body& body, const SurfaceRequest& request, Surface* surface,
                  const More& more) {
  Validate(request);
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s = Surface{};
  s.facet.resize(n), s.area.resize(n), s.cx.resize(n), s.cy.resize(n), s.cz.resize(n);
  for (size_t f = 0; f < n; ++f) {
    const double* A = &m.vertices[3 * m.faces[3 * f]];
    const double* B = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* C = &m.vertices[3 * m.faces[3 * f + 2]];
    s.facet[f] = static_cast<double>(f);
    s.cx[f] = ((A[0] + B[0]) + C[0]) / 3;
    s.cy[f] = ((A[1] + B[1]) + C[1]) / 3;
    s.cz[f] = ((A[2] + B[2]) + C[2]) / 3;
    s.area[f] = 0.5 * terms::Norm(AreaNormal(m, f));
  }
  // The centroids and, as one more point of the same call, the centre of
  // mass.
  const auto centre = body.CentreOfMass();
  std::vector<double> x(s.cx), y(s.cy), z(s.cz);
  x.push_back(centre[0]), y.push_back(centre[1]), z.push_back(centre[2]);
  s.U.resize(n + 1), s.gx.resize(n + 1), s.gy.resize(n + 1), s.gz.resize(n + 1);
  EvaluateOptions options = OptionsOf(body, request.evaluation, more);
  if (options.parts > 1) {
    s.mine.resize(n + 1);
    options.mine = s.mine.data();
  }
  return body.Field(n + 1, x.data(), y.data(), z.data(),
                    {s.U.data(), s.gx.data(), s.gy.data(), s.gz.data()}, options);
}

void FinishSurface(const Body& body, const SurfaceRequest& request, Surface* surface) {
  const Units units = Resolve(request.units, body.Volume());
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s.mine.clear();
  s.U0 = s.U[n];
  s.U.pop_back(), s.gx.pop_back(), s.gy.pop_back(), s.gz.pop_back();
  s.g.resize(n), s.slope.resize(n), s.UU0.resize(n);
  const double fu = units.PotentialFactor(), fg = units.AttractionFactor();
  s.U0 *= fu;
  std::vector<double> normal(3 * n);
  for (size_t f = 0; f < n; ++f) {
    const terms::Vec c = AreaNormal(m, f);
    normal[3 * f] = c.x, normal[3 * f + 1] = c.y, normal[3 * f + 2] = c.z;
  }
  for (size_t f = 0; f < n; ++f) {
    s.U[f] *= fu, s.gx[f] *= fg, s.gy[f] *= fg, s.gz[f] *= fg;
    s.g[f] = std::sqrt(s.gx[f] * s.gx[f] + s.gy[f] * s.gy[f] + s.gz[f] * s.gz[f]);
    s.slope[f] = Slope(&normal[3 * f], s.gx[f], s.gy[f], s.gz[f]);
    s.UU0[f] = s.U[f] / s.U0;
  }
  if (request.spin_period) {
    const auto centre = body.CentreOfMass();
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
}

bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface,
               const More& more) {
  if (!SurfaceField(body, request, surface, more)) return false;
  if (request.evaluation.parts == 1) FinishSurface(body, request, surface);
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
