// The science front end's library: a body (a model of uniform density,
// checked once), its field at points and on its own surface, in SI units or
// in the suite's G rho = 1 convention. The polyfield program and the Python
// module are thin faces over it; they re-implement no physics.
//
// Sign convention: U > 0 and g = grad U (the attraction points into the
// body); the gravity gradient tensor is the derivative of g.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/field_out.h"
#include "engine/threaded.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/request.h"

namespace science {

class Body {
 public:
  // The model, evaluated on `threads` threads (at least 1); with a relative
  // tolerance in (0, 1), by the tree engine where it is the faster.
  Body(mesh::Mesh model, unsigned threads, double tolerance = 0);
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  const mesh::Mesh& model() const { return model_; }
  // The model's name in messages (its file), "" for arrays.
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& name() const { return name_; }
  // The check report, made at the first call and kept.
  const mesh::CheckReport& Check() const;
  // Evaluations one at a time: the engine below is not reentrant, so each
  // evaluation (settings, then every block of points) runs under this lock.
  std::unique_lock<std::mutex> Hold() const { return std::unique_lock(mutex_); }
  void SetThreads(unsigned threads) const { engine_.SetThreads(threads); }
  // The relative tolerance of later evaluations (0: the exact sum).
  void SetTolerance(double tolerance) const { engine_.SetTolerance(tolerance); }
  double Volume() const { return volume_; }  // model units cubed
  std::array<double, 3> CentreOfMass() const { return centre_; }
  double Area() const;

  // The potential and attraction at n points (model units, G rho = 1), the
  // same bits for every thread count.
  // How many points Field will be asked for in all, when known (the choice
  // of the tree engine under a tolerance).
  void Expect(size_t points) const { engine_.Expect(points); }
  void Field(size_t n, const double* x, const double* y, const double* z,
             const FieldOut& out) const;
  // The gravity gradient tensor (xx, xy, xz, yy, yz, zz per point, 6n
  // values) in closed form, G rho = 1.
  void Gradient(size_t n, const double* x, const double* y, const double* z, double* t) const;

 private:
  mesh::Mesh model_;
  std::string name_;
  mutable mesh::CheckReport check_;
  mutable std::once_flag checked_;
  mutable std::mutex mutex_;
  std::vector<double> corners_;           // nine coordinates per face
  mutable std::vector<SIEntry> entries_;  // for the tensor, made at its first use
  mutable std::once_flag entries_made_;
  double volume_ = 0;
  std::array<double, 3> centre_{};
  mutable ThreadedEngine engine_{TableGuard::kRelative};
};

// The faces' way to follow a long evaluation: after each block of points,
// more(share done) may stop it by returning false.
using More = std::function<bool(double share)>;

// Refuses a model that fails the check (kind kUnfit), naming its file.
void RequireFit(const Body& body);

// Where FieldOf puts the field at n points: U, gx, gy, gz (n values each)
// and, when asked for, the gradient tensor (six values a point).
struct FieldResult {
  double *U, *gx, *gy, *gz, *tensor = nullptr;
};

// The field at n points in the units asked for, after the request's checks
// (and the model's, when asked). False when `more` stopped it.
bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more);

// Each facet's area, |(B - A) x (C - A)| / 2.
std::vector<double> FaceAreas(const mesh::Mesh& model);

// Per-facet results on the surface, at each facet's centroid, in the units
// asked for.
struct Surface {
  double U0 = 0;  // potential at the centre of mass
  std::vector<double> facet, area, cx, cy, cz, U, gx, gy, gz, g, slope, UU0;
  // With a spin: effective potential and gravity, and the slope from them.
  std::vector<double> Ueff, gxeff, gyeff, gzeff, geff, slopeeff;
};

// The surface products in one pass over the facet centroids, after the
// request's checks (and the model's, when asked). False when `more` stopped
// it.
bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface, const More& more);

// A column of a result table: its name as scripts address it, its unit in
// brackets ("" for none), its values, and whether they are indices.
struct Column {
  std::string name, unit;
  const std::vector<double>* values;
  bool integer = false;
};
// The surface table's columns, in order (the spin's when there is one).
std::vector<Column> SurfaceColumns(const Surface& surface, const Units& units);
// Their names before any evaluation, for a request's check.
std::vector<std::string> SurfaceColumnNames(bool spin);

}  // namespace science
