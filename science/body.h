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

#include "engine/chooser.h"
#include "engine/field_out.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/request.h"
#include "science/table.h"

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
  double Volume() const { return volume_; }  // model units cubed
  std::array<double, 3> CentreOfMass() const { return centre_; }
  double Area() const;

  // The potential and attraction at n points (model units, G rho = 1), the
  // same bits for every thread count; far points by the model's expansion.
  // The options' tolerance (0: the exact sum), threads and monitor are this
  // call's: a body may be evaluated from several threads at once. False
  // when the monitor stopped it.
  bool Field(size_t n, const double* x, const double* y, const double* z, const FieldOut& out,
             const EvaluateOptions& options) const;
  // The gravity gradient tensor (xx, xy, xz, yy, yz, zz per point, 6n
  // values) in closed form, G rho = 1, on `threads` threads (0: every core).
  void Gradient(size_t n, const double* x, const double* y, const double* z, double* t,
                unsigned threads) const;

 private:
  mesh::Mesh model_;
  std::string name_;
  mutable mesh::CheckReport check_;
  mutable std::once_flag checked_;
  std::vector<double> corners_;  // nine coordinates per face
  double volume_ = 0;
  std::array<double, 3> centre_{};
  mutable Chooser engine_{TableGuard::kRelative};
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
  // With the evaluation's parts above 1: n flags, 1 for each point of this
  // part's share, whose results alone are written.
  uint8_t* mine = nullptr;
};

// The field at n points in the units asked for, after the request's checks
// (and the model's, when asked); with parts, this part's share of them
// (FieldResult::mine). False when `more` stopped it.
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
  // Between the two steps of a divided run: 1 for each point of this part's
  // share, the facets' then the centre of mass's (n + 1 flags).
  std::vector<uint8_t> mine;
};

// The surface products in one pass over the facet centroids, after the
// request's checks (and the model's, when asked). False when `more` stopped
// it. With the evaluation's parts above 1 only its first step is made.
bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface, const More& more);
// Its two steps, for a run divided over processes: the facets' geometry and
// this part's share of the field at the centroids and at the centre of mass
// (U, gx, gy, gz of n + 1 points in model units, the centre's last, where
// `mine` is 1); then, once the shares are put together in one surface, every
// other product.
bool SurfaceField(const Body& body, const SurfaceRequest& request, Surface* surface,
                  const More& more);
void FinishSurface(const Body& body, const SurfaceRequest& request, Surface* surface);

// A column of a result table: its name as scripts address it, its unit in
// brackets ("" for none), its values, and whether they are indices.
// The surface table's columns, in order (the spin's when there is one).
std::vector<Column> SurfaceColumns(const Surface& surface, const Units& units);
// Their names before any evaluation, for a request's check.
std::vector<std::string> SurfaceColumnNames(bool spin);

}  // namespace science
