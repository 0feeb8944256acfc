// What a surface run says about the body as a whole: volume, mass, centre
// of mass, area-weighted slope statistics, the extreme facets, and the
// inertia tensor of the body (homogeneous, or its parts and point masses)
// with its principal axes.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "science/body.h"
#include "science/request.h"
#include "science/surface.h"

namespace science {

// Area-weighted statistics of a per-facet quantity; values that are not
// numbers (the slope of a facet of zero area) are left out.
struct AreaStatistics {
  std::vector<std::pair<double, double>> percentiles;  // (p in percent, value)
  std::vector<std::pair<double, double>> above;        // (threshold, area fraction above)
  size_t min_facet = 0, max_facet = 0;
};
AreaStatistics Statistics(const std::vector<double>& value, const std::vector<double>& area,
                          const std::vector<double>& percentiles,
                          const std::vector<double>& thresholds);

// The inertia tensor of the homogeneous body about its centre of mass,
// I = integral of rho (|r|^2 1 - r r^T) dV, in kg m^2 with SI units, else
// for unit density in model units to the fifth; its principal moments in
// increasing order and the principal axes, the rows of the rotation R that
// takes model coordinates into the principal frame (R I R^T diagonal,
// det R = +1). Summed about a corner of the model, so that a model far from
// its origin loses no digits.
struct Inertia {
  double volume = 0;               // model units cubed
  std::array<double, 3> centre{};  // of mass, model units
  std::array<std::array<double, 3>, 3> tensor{};
  std::array<double, 3> moments{};
  std::array<std::array<double, 3>, 3> axes{};
};
Inertia InertiaOf(const mesh::Mesh& model, const Units& units);
// The body's: its parts at their densities and its point masses (volume
// is the first part's); a body of parts whose total mass is not positive is
// refused.
Inertia InertiaOf(const Body& body, const Units& units);
Inertia InertiaOf(const Body& body, const UnitsRequest& units);

struct Summary {
  Units units;
  double volume = 0, area = 0;  // model units cubed and squared, of the first part
  double mass = 0, gm = 0;      // kg and m^3/s^2 (SI units only), of the body
  std::array<double, 3> centre{};
  double U0 = 0;
  std::string slope_name;  // "slope", or "slopeeff" with a spin
  AreaStatistics slope, potential;
  Inertia inertia;
};

// The summary of a surface run (Surface from SurfaceOf with the same
// request): statistics over the slope with the spin where there is one.
Summary Summarise(const Body& body, const SurfaceRequest& request, const Surface& surface);

}  // namespace science
