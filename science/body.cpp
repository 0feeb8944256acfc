// The body: field through the suite's vector kernel, gradient tensor in
// closed form, surface products and statistics.
#include "science/body.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <numeric>

#include "common/geometry.h"
#include "common/print.h"
#include "engine/terms.h"
#include "mesh/intersect.h"
#include "mesh/mesh.h"
#include "mesh/solid.h"
#include "science/model.h"

namespace science {

namespace {

constexpr double kPi = 3.141592653589793;

double Degrees(double radians) {
  return radians * 180 / kPi;
}

// The slope in degrees: the deviation of the vertical (terms::Deviation),
// not a number for a facet of zero area (left out of every statistic).
double Slope(const double n[3], double gx, double gy, double gz) {
  return Degrees(terms::Deviation({gx, gy, gz}, {n[0], n[1], n[2]}));
}

}  // namespace

Part::Part(mesh::Mesh model, double density, std::string name, unsigned threads, double tolerance)
    : model_(std::move(model)), density_(density), name_(std::move(name)) {
  corners_ = model_.FaceCorners();
  const uint32_t n = static_cast<uint32_t>(model_.FaceCount());
  const geometry::VolumeAbout sum = mesh::VolumeOf(model_);
  volume_ = sum.Volume();
  const geometry::Vec c = sum.Centroid();
  centre_ = {c.x, c.y, c.z};
  engine_.SetTolerance(tolerance);
  engine_.SetFarExpansion(true);
  engine_.SetThreads(threads);
  engine_.Load(Facets(n, corners_.data()));
}

bool Part::Field(size_t n, const double* x, const double* y, const double* z, const FieldOut& out,
                 const EvaluateOptions& options) const {
  return engine_.Evaluate(n, x, y, z, out, options);
}

bool Part::Gradient(size_t n, const double* x, const double* y, const double* z, double* t,
                    const EvaluateOptions& options, const uint8_t* wanted) const {
  return engine_.Gradient(n, x, y, z, t, options, wanted);
}

const mesh::CheckReport& Part::Check() const {
  std::call_once(checked_, [&] { check_ = mesh::Check(model_, keep_tree_ ? &tree_ : nullptr); });
  return check_;
}

namespace {

[[noreturn]] void Refuse(const std::string& message) {
  throw Failure(message, Failure::Kind::kBadValue);
}

void CheckDensity(const std::string& what, double density) {
  if (!(std::isfinite(density) && density != 0))
    Refuse(what + ": density " + ShortestDigits(density) +
           " is not a finite non-zero number (kg/m^3; negative for a cavity or a lighter core)");
}

}  // namespace

Body::Body(mesh::Mesh model, unsigned threads, double tolerance)
    : threads_(threads), tolerance_(tolerance) {
  parts_.push_back(std::make_unique<Part>(std::move(model), 0, "", threads, tolerance));
  team_.SetCount(threads);
}

void Body::AddPart(mesh::Mesh model, double density, std::string name, const std::string& what) {
  CheckDensity(what, density);
  parts_.push_back(
      std::make_unique<Part>(std::move(model), density, std::move(name), threads_, tolerance_));
  // The placement of the parts looks again at the faces the check sorts.
  parts_[0]->KeepTree();
  parts_.back()->KeepTree();
}

void Body::SetDensity(double density, const std::string& what) {
  if (!(std::isfinite(density) && density > 0))
    Refuse(what + ": density " + ShortestDigits(density) +
           " is not a positive number (kg/m^3): the first part is the body's outer shape");
  parts_[0]->SetDensity(density);
}

void Body::AddMascons(std::vector<Mascon> mascons, std::string source) {
  mascons_.insert(mascons_.end(), mascons.begin(), mascons.end());
  mascon_source_ = std::move(source);
}

void Body::AddSource(std::string quantity, std::string path) {
  if (!path.empty()) sources_.emplace_back(std::move(quantity), std::move(path));
}

std::vector<double> FaceAreas(const mesh::Mesh& m) {
  std::vector<double> area(m.FaceCount());
  for (size_t f = 0; f < area.size(); ++f)
    area[f] = geometry::FacetArea(m.Corner(f, 0), m.Corner(f, 1), m.Corner(f, 2));
  return area;
}

double Body::Area() const {
  double total = 0;
  for (double a : FaceAreas(model())) total += a;
  return total;
}

namespace {

using geometry::Vec;
using Where = mesh::Solid::Where;

std::string PointText(Vec p, const std::string& unit) {
  return ShortestDigits(p.x) + " " + ShortestDigits(p.y) + " " + ShortestDigits(p.z) +
         (unit.empty() ? "" : " " + unit);
}

// "part 2 (core.stl)", as the header numbers the parts.
std::string PartText(const Body& body, size_t i) {
  const Part& p = body.part(i);
  return "part " + std::to_string(i + 1) + " (" + (p.name().empty() ? "arrays" : p.name()) + ")";
}

// Calls found(f, g, t, u) for faces f of a and g of b (corners t and u)
// that cross, where t reaches beyond the plane of u by more than the
// tolerance on the side `side` of it (+1: along u's outward normal, out of
// b; -1: into b), until found returns true; whether it did. Faces that only
// graze each other (a face of one on a face of the other, to rounding) do
// not count.
template <class Found>
bool Crossing(const mesh::Solid& a, const mesh::Solid& b, double tolerance, int side, Found found) {
  bool done = false;
  a.tree().PairsWith(b.tree(), [&](uint32_t f, uint32_t g) {
    if (done) return;
    Vec t[3], u[3];
    a.Triangle(f, t), b.Triangle(g, u);
    if (!mesh::TrianglesCross(t, u)) return;
    const Vec n = geometry::FacetNormal(u[0], u[1], u[2]);
    const double length = geometry::Norm(n);
    double reach = 0;
    for (int k = 0; k < 3; ++k)
      reach = std::max(reach, side * geometry::Dot(t[k] - u[0], n) / length);
    if (reach > tolerance) done = found(f, g, t, u);
  });
  return done;
}

// Where the edges of each of two crossing triangles pass through the
// other: the ends of the segment they share.
std::vector<Vec> CrossingPoints(const Vec t[3], const Vec u[3]) {
  std::vector<Vec> points;
  const auto pierce = [&](Vec p, Vec q, const Vec w[3]) {
    const int s = mesh::SegmentCrossing(p, q, w);
    if (s != 1 && s != -1) return;
    const Vec n = geometry::FacetNormal(w[0], w[1], w[2]);
    const double along = geometry::Dot(q - p, n);
    if (along == 0) return;
    const double f = geometry::Dot(w[0] - p, n) / along;
    points.push_back({p.x + f * (q.x - p.x), p.y + f * (q.y - p.y), p.z + f * (q.z - p.z)});
  };
  for (int k = 0; k < 3; ++k) {
    pierce(t[k], t[(k + 1) % 3], u);
    pierce(u[k], u[(k + 1) % 3], t);
  }
  return points;
}

// The points of s that stand for all of it against the surfaces of
// `others`, where s crosses none of them: s's vertices farther than the
// tolerance from every one of those surfaces, in groups joined by s's
// edges between two of them (the first vertex of each group), and the
// centroids of s's faces whose corners are all on them. Without crossings
// every point of a group lies where its first vertex does (inside or
// outside each of the others), as does a face of corners on them where its
// centroid does; only those are located by rays.
struct Representative {
  Vec p;
  bool vertex;  // else a face's centroid
};
std::vector<Representative> Representatives(const mesh::Solid& s,
                                            const std::vector<const mesh::Solid*>& others,
                                            double tolerance) {
  const mesh::Mesh& m = s.model();
  const size_t V = m.VertexCount();
  std::vector<uint8_t> on(V, 0);
  std::vector<uint32_t> group(V);
  std::iota(group.begin(), group.end(), 0u);
  const auto find = [&](uint32_t i) {
    while (group[i] != i) i = group[i] = group[group[i]];
    return i;
  };
  const std::vector<uint32_t> used = mesh::UsedVertices(m);
  for (const uint32_t v : used) {
    const Vec p = geometry::At(&m.vertices[3 * size_t{v}]);
    for (const mesh::Solid* o : others) on[v] = on[v] || o->Near(p, tolerance);
  }
  for (size_t f = 0; f < m.FaceCount(); ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = m.faces[3 * f + k], b = m.faces[3 * f + (k + 1) % 3];
      if (on[a] || on[b]) continue;
      const uint32_t ra = find(a), rb = find(b);
      if (ra != rb) group[std::max(ra, rb)] = std::min(ra, rb);
    }
  std::vector<Representative> out;
  std::vector<uint8_t> taken(V, 0);
  for (const uint32_t v : used) {
    if (on[v]) continue;
    const uint32_t r = find(v);
    if (taken[r]) continue;
    taken[r] = 1;
    out.push_back({geometry::At(&m.vertices[3 * size_t{v}]), true});
  }
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    const uint32_t* c = &m.faces[3 * f];
    if (!(on[c[0]] && on[c[1]] && on[c[2]])) continue;
    const Vec a = m.Corner(f, 0), b = m.Corner(f, 1), d = m.Corner(f, 2);
    out.push_back({{(a.x + b.x + d.x) / 3, (a.y + b.y + d.y) / 3, (a.z + b.z + d.z) / 3}, false});
  }
  return out;
}

// Whether the insides of two solids overlap: their surfaces crossing, a
// point of one inside the other, or one all on the other's surface (the
// same solid twice). Solids that touch (a face on a face, a vertex on a
// face) do not overlap.
bool Overlap(const mesh::Solid& a, const mesh::Solid& b, double tolerance) {
  if (Crossing(a, b, tolerance, -1,
               [](uint32_t, uint32_t, const Vec*, const Vec*) { return true; }))
    return true;
  for (const auto& [s, o] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    bool all_on = true;
    for (const Representative& r : Representatives(*s, {o}, tolerance)) {
      const Where w = o->Locate(r.p, tolerance);
      if (w == Where::kInside) return true;
      all_on = all_on && w == Where::kOn;
    }
    if (all_on) return true;
  }
  return false;
}

// The placement of a body's parts (each fit for the field formulas). A
// point is inside the parts of positive density when it is inside or on
// one of them; a part of negative density is inside them when its vertices
// are and its surface crosses none of theirs but where another positive
// part goes on beyond the face it crosses (a cavity across two parts that
// touch). Distances below the tolerance, a billionth of the body's size
// (and some rounding of its coordinates), are taken as touching: a cavity
// that shares a face's plane with its host is inside. The trees the parts'
// checks built are taken over: the cost is a look at the faces near each
// vertex, a ray from one vertex of each piece (Representatives) and the
// pairs of faces whose boxes meet.
Body::Placement Place(const Body& body, const std::string& unit) {
  Body::Placement out;
  const size_t P = body.PartCount();
  std::vector<size_t> positive, negative;
  for (size_t i = 0; i < P; ++i) (body.part(i).density() < 0 ? negative : positive).push_back(i);
  if (negative.empty() && positive.size() < 2) return out;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  for (size_t i = 0; i < P; ++i) {
    const mesh::Mesh& m = body.part(i).model();
    for (const uint32_t v : m.faces)
      for (int k = 0; k < 3; ++k) {
        const double c = m.vertices[3 * size_t{v} + k];
        lo[k] = std::min(lo[k], c), hi[k] = std::max(hi[k], c);
        magnitude = std::max(magnitude, std::fabs(c));
      }
  }
  const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  const double tolerance = 1e-9 * extent + 1e-13 * magnitude;
  std::vector<std::unique_ptr<mesh::Solid>> solids(P);
  const auto solid = [&](size_t i) -> const mesh::Solid& {
    if (solids[i]) return *solids[i];
    const Part& part = body.part(i);
    std::unique_ptr<mesh::FaceTree> tree = part.TakeTree();
    solids[i] = tree ? std::make_unique<mesh::Solid>(part.model(), std::move(*tree))
                     : std::make_unique<mesh::Solid>(part.model());
    return *solids[i];
  };
  for (const size_t b : negative) {
    const std::string& name = body.part(b).name();
    const std::string refused =
        (name.empty() ? PartText(body, b) : name + ": part " + std::to_string(b + 1)) +
        ", of density " + ShortestDigits(body.part(b).density()) +
        " kg/m^3, reaches outside the parts of positive density (a "
        "negative mass in empty space): ";
    std::vector<const mesh::Solid*> hosts;
    for (const size_t a : positive) hosts.push_back(&solid(a));
    const auto held = [&](Vec p) {
      for (const mesh::Solid* a : hosts)
        if (a->Locate(p, tolerance) != Where::kOutside) return true;
      return false;
    };
    for (const Representative& r : Representatives(solid(b), hosts, tolerance))
      if (!held(r.p)) {
        out.problem = refused + (r.vertex ? "its vertex at " : "the centroid of its face at ") +
                      PointText(r.p, unit) + " lies outside them";
        return out;
      }
    for (const size_t a : positive) {
      const auto uncovered = [&](uint32_t, uint32_t, const Vec* t, const Vec* u) {
        // A crossing where another part of positive density goes on
        // beyond this one's face (it holds the points just outside it) is
        // no way out.
        const std::vector<Vec> points = CrossingPoints(t, u);
        const Vec n = geometry::FacetNormal(u[0], u[1], u[2]);
        const double step = 16 * tolerance / geometry::Norm(n);
        bool covered = !points.empty();
        for (const Vec& p : points) {
          const Vec q{p.x + step * n.x, p.y + step * n.y, p.z + step * n.z};
          bool inside = false;
          for (const size_t c : positive)
            inside = inside || (c != a && solid(c).Locate(q, tolerance) == Where::kInside);
          covered = covered && inside;
        }
        if (covered) return false;
        // A corner of the face that crosses out, if one lies outside.
        for (int k = 0; k < 3; ++k)
          if (!held(t[k])) {
            out.problem = refused + "its vertex at " + PointText(t[k], unit) + " lies outside them";
            return true;
          }
        const Vec p = points.empty() ? t[0] : points[0];
        out.problem = refused + "its surface crosses that of " + PartText(body, a) + " at " +
                      PointText(p, unit);
        return true;
      };
      if (Crossing(solid(b), solid(a), tolerance, +1, uncovered)) return out;
    }
  }
  for (size_t x = 0; x < positive.size(); ++x)
    for (size_t y = x + 1; y < positive.size(); ++y) {
      const size_t i = positive[x], j = positive[y];
      if (!Overlap(solid(i), solid(j), tolerance)) continue;
      const double di = body.part(i).density(), dj = body.part(j).density();
      const std::string& name = body.part(j).name();
      out.overlaps.push_back(
          (name.empty() ? PartText(body, j) : name + ": part " + std::to_string(j + 1)) +
          " overlaps " + PartText(body, i) +
          ", both of positive density: their densities add where they "
          "overlap (" +
          ShortestDigits(di) + " + " + ShortestDigits(dj) + " = " + ShortestDigits(di + dj) +
          " kg/m^3)");
    }
  return out;
}

}  // namespace

const Body::Placement& Body::Placed() const {
  std::call_once(placed_, [&] { placement_ = Place(*this, unit_); });
  return placement_;
}

void RequireFit(const Body& body) {
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    const std::string problem = part.Check().Problem();
    if (!problem.empty())
      throw Failure((part.name().empty() ? "" : part.name() + ": ") +
                        "unfit for the field formulas: " + problem,
                    Failure::Kind::kUnfit);
  }
  if (body.PartCount() < 2) return;
  const std::string& problem = body.Placed().problem;
  if (!problem.empty()) throw Failure(problem, Failure::Kind::kMisplaced);
}

UnitsRequest UnitsFor(const UnitsRequest& request, const Body& body) {
  const double first = body.part(0).density();
  if (first == 0) {
    if (!body.Homogeneous())
      Refuse(Quantity("density") +
             " is needed for a body of several parts or point masses (the first part's; the "
             "others carry theirs)");
    return request;
  }
  if (request.mass || request.gm)
    Refuse(Quantity(request.mass ? "mass" : "gm") +
           ": the body's parts carry their densities (a mass or GM is for one homogeneous "
           "model)");
  if (request.density && *request.density != first)
    Refuse(Quantity("density") + ": " + ShortestDigits(*request.density) +
           " is not the first part's density, " + ShortestDigits(first));
  UnitsRequest r = request;
  r.density = first;
  return r;
}

void Validate(const FieldRequest& request, const Body& body) {
  FieldRequest r = request;
  r.units = UnitsFor(request.units, body);
  Validate(r);
}

void Validate(const SurfaceRequest& request, const Body& body) {
  SurfaceRequest r = request;
  r.units = UnitsFor(request.units, body);
  Validate(r);
}

Units Resolve(const UnitsRequest& request, const Body& body) {
  return Resolve(UnitsFor(request, body), body.Volume());
}

namespace {

// The units with part i's density: the units' own for the first part.
Units PartUnits(const Body& body, size_t i, const Units& units) {
  Units u = units;
  if (i > 0) u.density = body.part(i).density();
  return u;
}

// Cubic metres of a cubic model unit.
double Cubic(const Units& u) {
  return u.metres * u.metres * u.metres;
}

}  // namespace

Mass MassOf(const Body& body, const Units& units) {
  Mass m;
  if (body.Homogeneous()) {
    m.mass = units.Mass(body.Volume());
    m.centre = body.CentreOfMass();
    return m;
  }
  double moment[3] = {0, 0, 0};
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& p = body.part(i);
    const double mass = PartUnits(body, i, units).density * p.Volume() * Cubic(units);
    const auto c = p.Centroid();
    m.mass += mass;
    for (int k = 0; k < 3; ++k) moment[k] += mass * c[k];
  }
  for (const Mascon& q : body.mascons()) {
    m.mass += q.mass;
    moment[0] += q.mass * q.x, moment[1] += q.mass * q.y, moment[2] += q.mass * q.z;
  }
  for (int k = 0; k < 3; ++k) m.centre[k] = moment[k] / m.mass;
  return m;
}

void RequirePositiveMass(const Body& body, const Units& units, const std::string& what) {
  if (body.Homogeneous()) return;
  const double mass = MassOf(body, units).mass;
  if (!(mass > 0))
    throw Failure((body.name().empty() ? "" : body.name() + ": ") + what +
                      " need a positive total mass: the parts and point masses add up to " +
                      ShortestDigits(mass) + " kg",
                  Failure::Kind::kBadValue);
}

std::vector<std::string> BodyLines(const Body& body, const Units& units) {
  if (body.Homogeneous()) return {};
  const size_t P = body.PartCount(), K = body.mascons().size();
  std::vector<std::string> lines;
  lines.push_back(
      "body: " + std::to_string(P) + (P == 1 ? " part" : " parts") +
      (K ? " and " + std::to_string(K) + (K == 1 ? " point mass" : " point masses") : "") +
      (P > 1 ? "; where parts overlap their densities add (the density of a point "
               "is the sum of the densities of the parts that hold it)"
             : ""));
  for (size_t i = 0; i < P; ++i) {
    const Part& p = body.part(i);
    const double density = PartUnits(body, i, units).density;
    lines.push_back("part " + std::to_string(i + 1) + ": " +
                    (p.name().empty() ? "arrays" : p.name()) + ", density " +
                    ShortestDigits(density) + " kg/m^3, " + std::to_string(p.model().FaceCount()) +
                    " facets, mass " + ShortestDigits(density * p.Volume() * Cubic(units)) + " kg" +
                    (i == 0 ? " (its surface is the body's)" : ""));
  }
  if (K) {
    double mass = 0;
    for (const Mascon& q : body.mascons()) mass += q.mass;
    lines.push_back(
        "point masses: " + (body.mascon_source().empty() ? "arrays" : body.mascon_source()) + ", " +
        std::to_string(K) + " of total mass " + ShortestDigits(mass) + " kg");
  }
  const Mass m = MassOf(body, units);
  lines.push_back("total mass: " + ShortestDigits(m.mass) + " kg; centre of mass: " +
                  (m.mass > 0 ? ShortestDigits(m.centre[0]) + " " + ShortestDigits(m.centre[1]) +
                                    " " + ShortestDigits(m.centre[2]) + " " + units.unit
                              : "none (the total mass is not positive)"));
  return lines;
}

std::pair<std::string, double> PartOf(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    Refuse(Quantity("add") + ": \"" + text +
           "\" is not PART:DENSITY (a model file and its density in kg/m^3)");
  const std::string path = text.substr(0, colon), number = text.substr(colon + 1);
  CheckPath("add", path);
  char* end;
  const double density = std::strtod(number.c_str(), &end);
  if (*end != '\0' || std::isspace(static_cast<unsigned char>(number[0])))
    Refuse(Quantity("add") + " " + text + ": the density \"" + number + "\" is not a number");
  CheckDensity(Quantity("add") + " " + text, density);
  return {path, density};
}

std::vector<std::pair<std::string, std::string>> BodyRequest::Inputs() const {
  std::vector<std::pair<std::string, std::string>> files = {{"model", model}};
  for (const std::string& part : parts) files.emplace_back("add", PartOf(part).first);
  if (!mascons.empty()) files.emplace_back("mascons", mascons);
  return files;
}

void Validate(const BodyRequest& body, const UnitsRequest& units) {
  if (body.parts.empty() && body.mascons.empty()) return;
  for (const std::string& part : body.parts) PartOf(part);
  const std::string added = Quantity(body.parts.empty() ? "mascons" : "add");
  if (units.mass || units.gm)
    Refuse(Quantity(units.mass ? "mass" : "gm") + " is for one homogeneous model: with " + added +
           " give " + Quantity("density") + " (the model's; each part carries its own)");
  if (!units.density)
    Refuse(added + " needs " + Quantity("density") + " (the model's, kg/m^3; each part carries " +
           "its own)");
}

std::unique_ptr<Body> LoadBody(const BodyRequest& request, const UnitsRequest& units,
                               const Evaluation& evaluation) {
  Validate(request, units);
  auto body = std::make_unique<Body>(LoadModel(request.model, units.scale), evaluation.Threads(),
                                     evaluation.Tolerance());
  body->SetName(request.model);
  body->SetUnit(units.unit);
  for (const auto& [quantity, path] : request.Inputs()) body->AddSource(quantity, path);
  if (!request.parts.empty() || !request.mascons.empty()) {
    body->SetDensity(*units.density, Quantity("density"));
    for (const std::string& text : request.parts) {
      const auto [path, density] = PartOf(text);
      body->AddPart(LoadModel(path, units.scale), density, path, Quantity("add") + " " + text);
    }
    if (!request.mascons.empty())
      body->AddMascons(ReadMascons(request.mascons, units.scale), request.mascons);
  }
  if (evaluation.check) RequireFit(*body);
  return body;
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

void Scale(size_t n, const FieldOut& out, double fu, double fg) {
  for (size_t i = 0; i < n; ++i) out.U[i] *= fu, out.gx[i] *= fg, out.gy[i] *= fg, out.gz[i] *= fg;
}

// The largest |U| and |g| of n results.
std::pair<double, double> Largest(size_t n, const FieldOut& f) {
  double U = 0, g = 0;
  for (size_t i = 0; i < n; ++i) {
    U = std::max(U, std::fabs(f.U[i]));
    g = std::max(g, std::sqrt(f.gx[i] * f.gx[i] + f.gy[i] * f.gy[i] + f.gz[i] * f.gz[i]));
  }
  return {U, g};
}

// The body's field at n points in the units (every result array given).
// Part by part in their order, then the point masses. Under a tolerance t
// each part's error is at most t times its largest |U| (|g|) of the call:
// their sum must stay within the body's tolerance of the body's largest,
// else the parts are evaluated again at the tolerance that meets it (half
// of it, for the change of the maxima), and exactly when that is below the
// floor or falls short again.
bool Evaluate(const Body& body, const Units& units, size_t n, const double* x, const double* y,
              const double* z, const FieldOut& out, const EvaluateOptions& options) {
  if (body.Homogeneous()) {
    if (!body.part(0).Field(n, x, y, z, out, options)) return false;
    Scale(n, out, units.PotentialFactor(), units.AttractionFactor());
    return true;
  }
  if (options.parts > 1) {
    // A body of parts is evaluated whole in every process (its tolerance
    // is decided over all the call's points), each keeping its share.
    EvaluateOptions whole = options;
    whole.part = 0, whole.parts = 1, whole.mine = nullptr;
    if (!Evaluate(body, units, n, x, y, z, out, whole)) return false;
    for (size_t i = 0; i < n; ++i) options.mine[i] = i % options.parts == options.part;
    return true;
  }
  const size_t P = body.PartCount();
  const double tolerance = std::max(0.0, options.tolerance);
  std::vector<double> U(P > 1 ? n : 0), gx(U.size()), gy(U.size()), gz(U.size());
  for (double t = tolerance;;) {
    double bound_U = 0, bound_g = 0;  // the sums of the parts' largest
    for (size_t i = 0; i < P; ++i) {
      const FieldOut o = i == 0 ? out : FieldOut{U.data(), gx.data(), gy.data(), gz.data()};
      EvaluateOptions part = options;
      part.tolerance = t;
      if (options.monitor)
        part.monitor = [&, i](double share) {
          return options.monitor((double(i) + share) / double(P));
        };
      if (!body.part(i).Field(n, x, y, z, o, part)) return false;
      const Units u = PartUnits(body, i, units);
      Scale(n, o, u.PotentialFactor(), u.AttractionFactor());
      if (t > 0) {
        const auto [largest_U, largest_g] = Largest(n, o);
        bound_U += largest_U, bound_g += largest_g;
      }
      if (i > 0)
        for (size_t k = 0; k < n; ++k)
          out.U[k] += U[k], out.gx[k] += gx[k], out.gy[k] += gy[k], out.gz[k] += gz[k];
    }
    AddMasconField(body.mascons(), units.G, units.metres, n, x, y, z, out, nullptr, body.Team(),
                   options.threads);
    if (t == 0) return true;
    const auto [largest_U, largest_g] = Largest(n, out);
    // The share of the tolerance the parts' bounds may take.
    const double share =
        std::min(bound_U > 0 ? largest_U / bound_U : 1.0, bound_g > 0 ? largest_g / bound_g : 1.0);
    if (t * std::max(bound_U, 0.0) <= tolerance * largest_U &&
        t * std::max(bound_g, 0.0) <= tolerance * largest_g)
      return true;
    const double tighter = 0.5 * tolerance * share;
    t = t < tolerance || tighter < kMinTolerance ? 0 : tighter;
  }
}

// The body's gradient tensor at n points in the units, of the points i
// with wanted[i] set (all without it). Part by part in their order, then the
// point masses; under a tolerance (a homogeneous body only) every component
// within it times the call's largest.
bool BodyGradient(const Body& body, const Units& units, size_t n, const double* x, const double* y,
                  const double* z, double* t, const EvaluateOptions& options,
                  const uint8_t* wanted) {
  std::vector<size_t> index;
  for (size_t i = 0; i < n; ++i)
    if (!wanted || wanted[i]) index.push_back(i);
  const size_t P = body.PartCount();
  std::vector<double> part(P > 1 ? 6 * n : 0);
  for (size_t i = 0; i < P; ++i) {
    double* const o = i == 0 ? t : part.data();
    EvaluateOptions one = options;
    if (options.monitor)
      one.monitor = [&, i](double share) {
        return options.monitor((double(i) + share) / double(P));
      };
    if (!body.part(i).Gradient(n, x, y, z, o, one, wanted)) return false;
    const double f = PartUnits(body, i, units).GradientFactor();
    for (size_t j : index)
      for (size_t k = 6 * j; k < 6 * j + 6; ++k) o[k] *= f;
    if (i > 0)
      for (size_t j : index)
        for (size_t k = 6 * j; k < 6 * j + 6; ++k) t[k] += o[k];
  }
  if (body.mascons().empty()) return true;
  // The point masses' at the wanted points, gathered.
  const size_t c = index.size();
  std::vector<double> p(3 * c), q(6 * c, 0.0);
  for (size_t k = 0; k < c; ++k)
    p[k] = x[index[k]], p[c + k] = y[index[k]], p[2 * c + k] = z[index[k]];
  AddMasconField(body.mascons(), units.G, units.metres, c, &p[0], &p[c], &p[2 * c], {}, q.data(),
                 body.Team(), options.threads);
  for (size_t k = 0; k < c; ++k)
    for (size_t j = 0; j < 6; ++j) t[6 * index[k] + j] += q[6 * k + j];
  return true;
}

}  // namespace

namespace {

// FieldOf of one section of points, its options made.
bool SectionField(const Body& body, const FieldRequest& request, const Units& units, size_t n,
                  const double* x, const double* y, const double* z, const FieldResult& out,
                  const EvaluateOptions& options) {
  // The field of every point in one call (under a tolerance the tree forms
  // its batches from all of them); the tensor in blocks, between which the
  // monitor is told again, of this share's points (all in one process).
  std::vector<uint8_t> flags(options.parts > 1 && !out.mine ? n : 0);
  EvaluateOptions share = options;
  share.mine = options.parts == 1 ? nullptr : out.mine ? out.mine : flags.data();
  if (!Evaluate(body, units, n, x, y, z, {out.U, out.gx, out.gy, out.gz}, share)) return false;
  double* const t = request.gradient ? out.tensor : nullptr;
  if (!t) return true;
  // The tensor of this share's points, in one call over all of them (under
  // a tolerance the tree forms its batches from all the call's points, as
  // for the field, so the bits do not depend on the division). The parts of
  // a body of several are summed in closed form: their tolerances would
  // have to be shared as the field's are.
  EvaluateOptions tensor = options;
  tensor.part = 0, tensor.parts = 1, tensor.mine = nullptr;
  if (!body.Homogeneous()) tensor.tolerance = 0;
  return BodyGradient(body, units, n, x, y, z, t, tensor, share.mine);
}

}  // namespace

bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more) {
  Validate(request, body);
  const Units units = Resolve(request.units, body);
  const EvaluateOptions options = OptionsOf(body, request.evaluation, more);
  // Without a tolerance a point's result is its own: one section.
  if (!(options.tolerance > 0) || n <= kFieldSection)
    return SectionField(body, request, units, n, x, y, z, out, options);
  for (size_t first = 0; first < n; first += kFieldSection) {
    const size_t m = std::min(kFieldSection, n - first);
    EvaluateOptions part = options;
    if (more)
      part.monitor = [&, first, m](double share) {
        return more((double(first) + share * double(m)) / double(n));
      };
    const FieldResult o{out.U + first,
                        out.gx + first,
                        out.gy + first,
                        out.gz + first,
                        out.tensor ? out.tensor + 6 * first : nullptr,
                        out.mine ? out.mine + first : nullptr};
    if (!SectionField(body, request, units, m, x + first, y + first, z + first, o, part))
      return false;
  }
  return true;
}

bool SurfaceField(const Body& body, const SurfaceRequest& request, Surface* surface,
                  const More& more) {
  Validate(request, body);
  const Units units = Resolve(request.units, body);
  RequirePositiveMass(body, units, "U/U0 and the spin (about the centre of mass)");
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s = Surface{};
  s.facet.resize(n), s.area.resize(n), s.cx.resize(n), s.cy.resize(n), s.cz.resize(n);
  for (size_t f = 0; f < n; ++f) {
    const geometry::Vec A = m.Corner(f, 0), B = m.Corner(f, 1), C = m.Corner(f, 2);
    s.facet[f] = static_cast<double>(f);
    s.cx[f] = ((A.x + B.x) + C.x) / 3;
    s.cy[f] = ((A.y + B.y) + C.y) / 3;
    s.cz[f] = ((A.z + B.z) + C.z) / 3;
    s.area[f] = 0.5 * geometry::Norm(geometry::FacetNormal(A, B, C));
  }
  // The centroids and, as one more point of the same call, the centre of
  // mass.
  const auto centre = MassOf(body, units).centre;
  std::vector<double> x(s.cx), y(s.cy), z(s.cz);
  x.push_back(centre[0]), y.push_back(centre[1]), z.push_back(centre[2]);
  s.U.resize(n + 1), s.gx.resize(n + 1), s.gy.resize(n + 1), s.gz.resize(n + 1);
  EvaluateOptions options = OptionsOf(body, request.evaluation, more);
  if (options.parts > 1) {
    s.mine.resize(n + 1);
    options.mine = s.mine.data();
  }
  return Evaluate(body, units, n + 1, x.data(), y.data(), z.data(),
                  {s.U.data(), s.gx.data(), s.gy.data(), s.gz.data()}, options);
}

void FinishSurface(const Body& body, const SurfaceRequest& request, Surface* surface) {
  const Units units = Resolve(request.units, body);
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s.mine.clear();
  s.U0 = s.U[n];
  s.U.pop_back(), s.gx.pop_back(), s.gy.pop_back(), s.gz.pop_back();
  s.g.resize(n), s.slope.resize(n), s.UU0.resize(n);
  std::vector<double> normal(3 * n);
  for (size_t f = 0; f < n; ++f) {
    const geometry::Vec c = geometry::FacetNormal(m.Corner(f, 0), m.Corner(f, 1), m.Corner(f, 2));
    normal[3 * f] = c.x, normal[3 * f + 1] = c.y, normal[3 * f + 2] = c.z;
  }
  for (size_t f = 0; f < n; ++f) {
    s.g[f] = std::sqrt(s.gx[f] * s.gx[f] + s.gy[f] * s.gy[f] + s.gz[f] * s.gz[f]);
    s.slope[f] = Slope(&normal[3 * f], s.gx[f], s.gy[f], s.gz[f]);
    s.UU0[f] = s.U[f] / s.U0;
  }
  if (request.spin_period) {
    const auto centre = MassOf(body, units).centre;
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
