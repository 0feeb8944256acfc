// The science front end's library: a body (a checked model of uniform
// density), its field at points and on its own surface, in SI units or in
// the suite's G rho = 1 convention, and the surface's statistics. The
// polyfield program is a thin face over it; it re-implements no physics.
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
#include "mesh/mesh.h"

namespace science {

// Physical units. Without a density the results stay in the model's own
// unit with G rho = 1.
struct Units {
  double density = 0;      // kg/m^3; 0: none given
  double G = 6.67430e-11;  // m^3 kg^-1 s^-2
  double metres = 1;       // the model's length unit in metres

  bool Si() const { return density > 0; }
  double PotentialFactor() const { return Si() ? G * density * metres * metres : 1; }
  double AttractionFactor() const { return Si() ? G * density * metres : 1; }
  double GradientFactor() const { return Si() ? G * density : 1; }
  // Unit names in brackets for column headers ("" in the G rho = 1 convention).
  std::string PotentialUnit() const { return Si() ? "[m^2/s^2]" : ""; }
  std::string AttractionUnit() const { return Si() ? "[m/s^2]" : ""; }
  std::string GradientUnit() const { return Si() ? "[1/s^2]" : ""; }
  std::string LengthUnit() const;
};

// The length unit's metres from its name: m, km, cm, mm.
double MetresOf(const std::string& unit);

class Body {
 public:
  // The model, evaluated on `threads` threads (at least 1); with a relative
  // tolerance in (0, 1), by the tree engine where it is the faster.
  Body(mesh::Mesh model, unsigned threads, double tolerance = 0);
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  const mesh::Mesh& model() const { return model_; }
  void SetThreads(unsigned threads) {
    const std::lock_guard<std::mutex> one(busy_);
    engine_.SetThreads(threads);
  }
  // The relative tolerance of later evaluations (0: the exact sum).
  void SetTolerance(double tolerance) {
    const std::lock_guard<std::mutex> one(busy_);
    engine_.SetTolerance(tolerance);
  }
  double Volume() const { return volume_; }  // model units cubed
  std::array<double, 3> CentreOfMass() const { return centre_; }
  double Area() const;

  // The potential and attraction at n points (model units, G rho = 1), the
  // same bits for every thread count.
  // How many points Field will be asked for in all, when known (the choice
  // of the tree engine under a tolerance).
  void Expect(size_t points) const {
    const std::lock_guard<std::mutex> one(busy_);
    engine_.Expect(points);
  }
  void Field(size_t n, const double* x, const double* y, const double* z,
             const FieldOut& out) const;
  // The gravity gradient tensor (xx, xy, xz, yy, yz, zz per point, 6n
  // values) in closed form, G rho = 1.
  void Gradient(size_t n, const double* x, const double* y, const double* z, double* t) const;

 private:
  mesh::Mesh model_;
  std::vector<double> corners_;           // nine coordinates per face
  mutable std::vector<SIEntry> entries_;  // for the tensor, made at its first use
  mutable std::once_flag entries_made_;
  double volume_ = 0;
  std::array<double, 3> centre_{};
  mutable ThreadedEngine engine_{TableGuard::kRelative};
  // One call into the engine at a time: its thread team and its tables are
  // shared, and callers on several threads (the Python module's, without
  // the GIL) would otherwise start workers into the same slots. Each call
  // runs on all the engine's threads anyway.
  mutable std::mutex busy_;
};

// The field at n points in the units asked for: U, gx, gy, gz, and with a
// non-null `tensor` the gradient tensor (six values a point). The points go
// to the engine in blocks of 16,384; after each, `more(share done)` may stop
// the run by returning false (then FieldOf returns false).
bool FieldOf(const Body& body, const Units& units, size_t n, const double* x, const double* y,
             const double* z, double* U, double* gx, double* gy, double* gz, double* tensor,
             const std::function<bool(double share)>& more);

// Each facet's area, |(B - A) x (C - A)| / 2.
std::vector<double> FaceAreas(const mesh::Mesh& model);

// Per-facet results on the surface, at each facet's centroid, in the units
// asked for.
struct SurfaceOptions {
  double spin_period = 0;                    // seconds; 0: no rotation
  std::array<double, 3> spin_axis{0, 0, 1};  // through the centre of mass
};

struct Surface {
  double U0 = 0;  // potential at the centre of mass
  std::vector<double> area, cx, cy, cz, U, gx, gy, gz, g, slope, UU0;
  // With a spin: effective potential and gravity, and the slope from them.
  std::vector<double> Ueff, gxeff, gyeff, gzeff, geff, slopeeff;
};

// The surface products in one pass over the facet centroids; `progress`
// (may be null) is told the share done.
Surface SurfaceOf(const Body& body, const Units& units, const SurfaceOptions& options,
                  void (*progress)(double share) = nullptr);

// Area-weighted statistics of a per-facet quantity.
struct AreaStatistics {
  std::vector<std::pair<double, double>> percentiles;  // (p in percent, value)
  std::vector<std::pair<double, double>> above;        // (threshold, area fraction above)
  size_t min_facet = 0, max_facet = 0;
};
AreaStatistics Statistics(const std::vector<double>& value, const std::vector<double>& area,
                          const std::vector<double>& percentiles,
                          const std::vector<double>& thresholds);

}  // namespace science
