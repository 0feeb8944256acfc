// The body: its parts and point masses, their units, mass and loading.
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

Part::Part(mesh::Mesh model, double density, std::string name, unsigned threads, double tolerance)
    : model_(std::move(model)), density_(density), name_(std::move(name)) {
  corners_ = model_.FaceCorners();
  const geometry::VolumeAbout sum = mesh::VolumeOf(model_);
  volume_ = sum.Volume();
  const geometry::Vec c = sum.Centroid();
  centre_ = {c.x, c.y, c.z};
  engine_.SetTolerance(tolerance);
  engine_.SetFarExpansion(true);
  engine_.SetThreads(threads);
}

const Chooser& Part::engine() const {
  std::call_once(loaded_, [&] {
    engine_.Load(Facets(static_cast<uint32_t>(model_.FaceCount()), corners_.data()));
  });
  return engine_;
}

bool Part::Field(size_t n, const double* x, const double* y, const double* z, const FieldOut& out,
                 const EvaluateOptions& options) const {
  return engine().Evaluate(n, x, y, z, out, options);
}

bool Part::Gradient(size_t n, const double* x, const double* y, const double* z, double* t,
                    const EvaluateOptions& options) const {
  return engine().Gradient(n, x, y, z, t, options);
}

const mesh::CheckReport& Part::Check() const {
  std::call_once(checked_, [&] { check_ = mesh::Check(model_, keep_tree_ ? &tree_ : nullptr); });
  return check_;
}

void Part::TakeCheck(const mesh::CheckReport& report) const {
  std::call_once(checked_, [&] { check_ = report; });
}

namespace {

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
  AddSource("mascons", mascon_source_);
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

Units PartUnits(const Body& body, size_t i, const Units& units) {
  Units u = units;
  if (i > 0) u.density = body.part(i).density();
  return u;
}

namespace {

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

std::string Body::File() const {
  for (const auto& [quantity, path] : sources_)
    if (quantity == "model" && path == name()) return path;
  return "";
}

std::unique_ptr<Body> BodyOf(std::vector<PartSource> parts, const UnitsRequest& units,
                             const Evaluation& evaluation, const ModelReader& read) {
  std::unique_ptr<Body> body;
  for (PartSource& p : parts) {
    mesh::Mesh m = p.model ? std::move(*p.model)
                   : read  ? read(p.name, units.scale)
                           : LoadModel(p.name, units.scale);
    if (!body) {
      body = std::make_unique<Body>(std::move(m), evaluation.Threads(), evaluation.Tolerance());
      body->SetName(p.name);
      body->SetUnit(units.unit, units.scale);
      if (p.density) body->SetDensity(*p.density, p.what);
    } else {
      body->AddPart(std::move(m), p.density.value_or(0), p.name, p.what);
    }
    for (auto& [quantity, path] : p.sources) body->AddSource(quantity, path);
  }
  return body;
}

std::unique_ptr<Body> LoadBody(const BodyRequest& request, const UnitsRequest& units,
                               const Evaluation& evaluation, const ModelReader& read) {
  Validate(request, units);
  // The model carries its density when the body has more parts or point masses.
  const bool more = !request.parts.empty() || !request.mascons.empty();
  const FileList model = {{"model", request.model}};
  std::vector<PartSource> list(
      1, {request.model, {}, more ? units.density : std::nullopt, Quantity("density"), model});
  for (const std::string& text : request.parts) {
    const auto [path, density] = PartOf(text);
    list.push_back({path, {}, density, Quantity("add") + " " + text, {{"add", path}}});
  }
  auto body = BodyOf(std::move(list), units, evaluation, read);
  if (!request.mascons.empty()) {
    body->AddMascons(ReadMascons(request.mascons, units.scale), request.mascons);
  }
  if (evaluation.check) RequireFit(*body);
  return body;
}

}  // namespace science
