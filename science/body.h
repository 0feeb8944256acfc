// The science front end's library: a body (a model of uniform density, or
// several of their own densities and point masses, each model checked
// once), its units, mass and loading; its field at points is field.h's,
// its surface products surface.h's, in SI units or in the suite's
// G rho = 1 convention. The polyfield program and the Python module are
// thin faces over it; they re-implement no physics.
//
// Sign convention: U > 0 and g = grad U (the attraction points into the
// body); the gravity gradient tensor is the derivative of g.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/chooser.h"
#include "engine/field_out.h"
#include "engine/threads.h"
#include "mesh/check.h"
#include "mesh/intersect.h"
#include "mesh/mesh.h"
#include "science/mascons.h"
#include "science/request.h"
#include "science/table.h"

namespace science {

// One homogeneous polyhedron of a body, checked once, with its engine.
class Part {
 public:
  // The model, evaluated on `threads` threads (at least 1); with a relative
  // tolerance in (0, 1), by the tree engine where it is the faster.
  // `density` in kg/m^3, 0 for the units' (a body of this part alone).
  Part(mesh::Mesh model, double density, std::string name, unsigned threads, double tolerance);
  Part(const Part&) = delete;
  Part& operator=(const Part&) = delete;

  const mesh::Mesh& model() const { return model_; }
  double density() const { return density_; }
  void SetDensity(double density) { density_ = density; }
  // The model's name in messages (its file), "" for arrays.
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& name() const { return name_; }
  // The check report, made at the first call and kept.
  const mesh::CheckReport& Check() const;
  // The report of the same model's check made elsewhere (by another
  // process), kept as Check's; nothing when the check is made already.
  void TakeCheck(const mesh::CheckReport& report) const;
  // Keep the box tree the check builds, for a body's placement of its
  // parts; TakeTree hands it over (null when none was kept).
  void KeepTree() { keep_tree_ = true; }
  std::unique_ptr<mesh::FaceTree> TakeTree() const { return std::move(tree_); }
  double Volume() const { return volume_; }  // model units cubed
  std::array<double, 3> Centroid() const { return centre_; }
  const std::vector<double>& corners() const { return corners_; }  // nine a face

  // The potential and attraction at n points (model units, G rho = 1), the
  // same bits for every thread count; far points by the model's expansion.
  // The options' tolerance (0: the exact sum), threads and `more` are this
  // call's: a part may be evaluated from several threads at once. False
  // when `more` stopped it.
  bool Field(size_t n, const double* x, const double* y, const double* z, const FieldOut& out,
             const EvaluateOptions& options) const;
  // The gravity gradient tensor (xx, xy, xz, yy, yz, zz per point, 6n
  // values), G rho = 1: in closed form, or under the options' tolerance
  // every component within it times the call's largest; threads and
  // `more` as for Field.
  bool Gradient(size_t n, const double* x, const double* y, const double* z, double* t,
                const EvaluateOptions& options) const;
  // Its engine, for a call planned before it is evaluated: prepared (the
  // table, or the tree under a tolerance) at the first call that needs it,
  // so that what never evaluates the field (the coefficients, the checks)
  // does not make it.
  const Chooser& engine() const;

 private:
  mesh::Mesh model_;
  double density_;
  std::string name_;
  mutable mesh::CheckReport check_;
  mutable std::once_flag checked_;
  bool keep_tree_ = false;
  mutable std::unique_ptr<mesh::FaceTree> tree_;
  std::vector<double> corners_;  // nine coordinates per face
  double volume_ = 0;
  std::array<double, 3> centre_{};
  mutable Chooser engine_{TableGuard::kRelative};
  mutable std::once_flag loaded_;
};

// A body: one or more parts, each a polyhedron of its own density (the
// density of a point is the sum of the densities of the parts that hold it,
// so a core in a mantle is the mantle at its density over the outer shape
// and the core at the core's density minus the mantle's), and point masses.
// The first part's surface is the body's surface. A body of one part and no
// point masses is a homogeneous model: its density comes with the units
// (density, mass or GM), or in the G rho = 1 convention without them.
class Body {
 public:
  // The first part, evaluated on `threads` threads (at least 1); with a
  // relative tolerance in (0, 1), by the tree engine where it is the faster
  // (every part alike).
  Body(mesh::Mesh model, unsigned threads, double tolerance = 0);
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  // Another part, of `density` kg/m^3 (finite, not 0: negative for a cavity
  // or a lighter core given as a contrast), named in messages by `name`;
  // a density refused is named by `what` ("--add core.stl:0").
  void AddPart(mesh::Mesh model, double density, std::string name, const std::string& what);
  // The first part's density (kg/m^3, positive), when the body carries its
  // densities (as it must with more parts or point masses); refused
  // under `what`.
  void SetDensity(double density, const std::string& what);
  // Point masses, from `source` (a file's name, "" for arrays; a file is
  // one of the sources).
  void AddMascons(std::vector<Mascon> mascons, std::string source);
  // A file the body was read from, under the quantity that named it: no
  // output of its results may replace it (Outputs).
  void AddSource(std::string quantity, std::string path);
  const FileList& sources() const { return sources_; }

  size_t PartCount() const { return parts_.size(); }
  const Part& part(size_t i) const { return *parts_[i]; }
  const std::vector<Mascon>& mascons() const { return mascons_; }
  const std::string& mascon_source() const { return mascon_source_; }
  // One part and no point masses.
  bool Homogeneous() const { return parts_.size() == 1 && mascons_.empty(); }
  unsigned threads() const { return threads_; }

  // The first part's: the surface.
  const mesh::Mesh& model() const { return parts_[0]->model(); }
  void SetName(std::string name) { parts_[0]->SetName(std::move(name)); }
  const std::string& name() const { return parts_[0]->name(); }
  const mesh::CheckReport& Check() const { return parts_[0]->Check(); }
  double Volume() const { return parts_[0]->Volume(); }  // model units cubed
  // The first part's centroid: the homogeneous model's centre of mass
  // (MassOf gives the body's).
  std::array<double, 3> CentreOfMass() const { return parts_[0]->Centroid(); }
  double Area() const;
  ThreadTeam& Team() const { return team_; }

  // The model's length unit (its name, for the coordinates in messages) and
  // the scale its coordinates were multiplied by to be in it.
  void SetUnit(std::string unit, double scale = 1) { unit_ = std::move(unit), scale_ = scale; }
  const std::string& unit() const { return unit_; }
  double scale() const { return scale_; }
  // The file the surface was read from: the body's name when it is a
  // source under "model" ("" for arrays, or a model moved from another).
  std::string File() const;
  // How the parts lie against each other, found once (by RequireFit, every
  // part fit): the refusal of a part of negative density that is not inside
  // the parts of positive density ("" when every one is), and a line for
  // each two parts of positive density that overlap (their densities add
  // there, as asked, but two parts of one body seldom mean to).
  struct Placement {
    std::string problem;
    std::vector<std::string> overlaps;
  };
  const Placement& Placed() const;

 private:
  std::vector<std::unique_ptr<Part>> parts_;
  std::vector<Mascon> mascons_;
  std::string mascon_source_;
  FileList sources_;
  unsigned threads_;
  double tolerance_;
  std::string unit_;
  double scale_ = 1;
  mutable ThreadTeam team_;  // for the point masses
  mutable Placement placement_;
  mutable std::once_flag placed_;
};

// The request's units as the body takes them: a body that carries its
// densities fills in the first part's (a density given must be it, a mass
// or GM is refused); a body of several parts or point masses needs its
// densities (kBadValue otherwise).
UnitsRequest UnitsFor(const UnitsRequest& request, const Body& body);
// The request's checks with the body's units, and the units resolved.
void Validate(const FieldRequest& request, const Body& body);
void Validate(const SurfaceRequest& request, const Body& body);
Units Resolve(const UnitsRequest& request, const Body& body);

// The body's mass and centre of mass in the units: for a homogeneous model
// its mass (0 in G rho = 1) and centroid; else the sum over the parts of
// density x volume and the point masses (kg), and the mass-weighted centre.
struct Mass {
  double mass = 0;
  std::array<double, 3> centre{};
};
Mass MassOf(const Body& body, const Units& units);
// The units with part i's density: the units' own for the first part.
Units PartUnits(const Body& body, size_t i, const Units& units);
// Refuses a body of parts whose total mass is not positive, for products
// that divide by it (`what`: "the centre of mass and U/U0").
void RequirePositiveMass(const Body& body, const Units& units, const std::string& what);

// What a body's header says of it beyond the homogeneous model's lines:
// for a body of parts or point masses, each part with its density, facet
// count and mass, the point masses, the total mass and centre of mass and
// how densities add; nothing for a homogeneous model.
std::vector<std::string> BodyLines(const Body& body, const Units& units);

// A part as given: a model read already, or the file `name` to read at the
// units' scale; its density (kg/m^3; absent for the first part of a
// homogeneous model, whose density comes with the units), refused under
// `what`; its name in messages ("" for arrays); the files it came from,
// under their quantities, which no output may replace.
struct PartSource {
  std::string name;
  std::optional<mesh::Mesh> model;
  std::optional<double> density;
  std::string what;
  FileList sources;
};
// How a part's file becomes its model at a scale: LoadModel when none is
// given. A face may read the file another way (one process for many), as
// long as it makes the same model or throws what LoadModel would.
using ModelReader = std::function<mesh::Mesh(const std::string& path, double scale)>;
// A body of the parts, the first its surface (at least one), in the units'
// length unit and scale, evaluated on the evaluation's threads and under its
// tolerance, the files read by `read`. Not checked: RequireFit.
std::unique_ptr<Body> BodyOf(std::vector<PartSource> parts, const UnitsRequest& units,
                             const Evaluation& evaluation, const ModelReader& read = {});

// A body from files: the model (the first part, the surface) at the
// request's scale and, with more parts or point masses, at the request's
// density; parts as "PATH:DENSITY", point masses from a file. The
// BodyRequest's checks run before any file is read.
struct BodyRequest {
  std::string model;
  std::vector<std::string> parts;  // "PATH:DENSITY" each
  std::string mascons;             // "" none
  // The files read, for Validate(Files): (quantity, path).
  std::vector<std::pair<std::string, std::string>> Inputs() const;
};
// A part's "PATH:DENSITY" (split at its last colon), its density checked.
std::pair<std::string, double> PartOf(const std::string& text);
void Validate(const BodyRequest& body, const UnitsRequest& units);
std::unique_ptr<Body> LoadBody(const BodyRequest& body, const UnitsRequest& units,
                               const Evaluation& evaluation, const ModelReader& read = {});

// Refuses a body with a part that fails the check (kind kUnfit), naming
// its file, then one with a part of negative density outside the parts of
// positive density (kind kMisplaced), naming the part and a point of it
// that lies outside them.
void RequireFit(const Body& body);

// Each facet's area, |(B - A) x (C - A)| / 2.
std::vector<double> FaceAreas(const mesh::Mesh& model);

}  // namespace science
