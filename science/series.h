// The spherical-harmonic series of a set of coefficients (harmonics.h)
// summed at points: the potential and its gradient, to a chosen degree.
#pragma once

#include <cstddef>
#include <optional>

#include "science/harmonics.h"

namespace science {

// U and g = grad U of the series of `h` at n points (x y z in turn, model
// units, from the model's origin like the field's points) to `max_degree`
// (none: h.degree), into U[n] and g[3 n] (null: not wanted). The units are
// those of h.GM: m^2/s^2 and m/s^2 with SI units, else G rho = 1 in model
// units. The series converges outside the Brillouin sphere (h.brillouin:
// the reference sphere); the points inside it are counted in the result,
// for the faces to tell. Refuses a degree outside 0..h.degree and a point
// that is not finite or lies at the coefficients' origin.
size_t SeriesAt(const Harmonics& h, const std::optional<int>& max_degree, size_t n,
                const double* xyz, double* U, double* g);

}  // namespace science
