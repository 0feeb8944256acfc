// The equilibria of a spinning body in its own rotating frame: the
// critical points of the effective potential V = U + w^2 rho^2 / 2 (rho
// the distance from the spin axis through the centre of mass), inside the
// body and outside it, each refined by Newton's method on the library's
// field and gradient tensor, classified by the eigenvalues of the motion
// linearised about it (with the Coriolis term), and the whole set checked
// against the topological count the far field fixes.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "render/figure.h"
#include "science/body.h"
#include "science/field.h"
#include "science/request.h"
#include "science/table.h"

namespace science {

struct EquilibriaRequest {
  UnitsRequest units;
  Evaluation evaluation;
  std::optional<double> spin_period;         // hours: required
  std::array<double, 3> spin_axis{0, 0, 1};  // through the centre of mass
  // Seeds across the search region's diameter in the first seeding (each
  // further seeding is finer); 0: the default.
  unsigned seeds = 0;

  double SpinSeconds() const { return spin_period.value_or(0) * kSecondsPerHour; }
};
constexpr unsigned kDefaultSeeds = 48;

// The checks that need no model (kBadValue): a spin period, an axis of
// finite numbers not all zero, SI units.
void Validate(const EquilibriaRequest& request);

// One equilibrium point.
struct Equilibrium {
  std::array<double, 3> position{};  // model units
  double axis_distance = 0;          // from the spin axis, model units
  double potential = 0;              // V, m^2/s^2
  double jacobi = 0;    // -V: the Jacobi integral v^2/2 - V of a particle at rest there
  bool inside = false;  // in the body's first part (its surface)
  // The eigenvalues of the linearised motion in the rotating frame, 1/s,
  // by decreasing real part, then imaginary part.
  std::array<std::complex<double>, 6> eigenvalues{};
  bool stable = false;              // every eigenvalue imaginary and distinct (case 1)
  int topological_case = 0;         // 1..8 of the classification (docs/equilibria.md); 0 degenerate
  int index = 0;                    // sign of det Hessian(V); 0 degenerate
  std::array<double, 3> hessian{};  // the Hessian's eigenvalues, 1/s^2, increasing
  double residual = 0;              // |grad V| left, over GM / R^2 (R the body's largest radius)
  double error = 0;                 // the position's error bound, model units
  unsigned seeds = 0;               // how many seeds converged to it
};

// The sum of sign(det Hessian) over the non-degenerate critical points of
// V in all space: the far field's degree, that of the rotating point mass
// (-1), less the index of each point mass's singularity (-1 for a positive
// mass, +1 for a negative one); docs/equilibria.md.
int IndexSum(const Body& body);

struct Equilibria {
  std::vector<Equilibrium> points;  // outside by longitude, then inside by depth
  double omega = 0;                 // rad/s
  std::array<double, 3> centre{};   // the centre of mass, model units
  std::array<double, 3> axis{};     // the unit spin axis
  double mass = 0, gm = 0;          // kg, m^3/s^2
  // The region that holds every equilibrium (model units): the points
  // within `radius` of the axis and `height` of the equatorial plane.
  double radius = 0, height = 0;
  std::vector<size_t> seedings;  // the seeds of each seeding, in order
  int index_sum = 0;             // over the non-degenerate points
  int expected = -1;             // IndexSum(body)
  bool complete = false;         // the count holds, no point degenerate, seedings agree
  std::string completeness;      // how completeness was established, or why not
  double tolerance = 0;          // the evaluation's
};

// Every equilibrium of the body spinning as asked, after the request's
// checks (and the parts', when asked). Refuses a body whose total mass is
// not positive. `more` is asked between seedings and Newton's rounds.
Equilibria EquilibriaOf(const Body& body, const EquilibriaRequest& request,
                        const More& more = nullptr);

// The equilibria followed as one parameter goes from `from` to `to`: the
// spin period (hours) or the density (kg/m^3; a body of parts has every
// density and point mass scaled with its first part's). The equilibria
// depend on w^2 / density alone, so both are one continuation in it.
struct ContinuationRequest {
  std::string parameter;  // "spin-period" or "density"
  double from = 0, to = 0;
};
// "spin-period:FROM:TO" or "density:FROM:TO", refused under
// Quantity("continue") when it is not one.
ContinuationRequest ContinuationOf(const std::string& text);

// A branch: its points in the order followed (pseudo-arclength
// continuation), each at its parameter value.
struct Branch {
  std::vector<double> parameter, x, y, z, jacobi, index;
};
// Two equilibria that collide and annihilate (or are created, as the
// parameter goes from `from` to `to`): the parameter where the Hessian of
// V is singular on the branch, found to rounding, and where.
struct Event {
  double parameter = 0;
  std::array<double, 3> position{};
  size_t branch = 0;  // the branch that turns there (one branch through both)
  bool annihilation = true;
  // At the body's surface, where the tensor jumps: the branch has a corner
  // there rather than a smooth turn (the parameter to about 1e-10).
  bool surface = false;
};
struct Continuation {
  ContinuationRequest request;
  Equilibria start, end;  // at `from` and at `to` (at the request's density or spin)
  std::vector<Branch> branches;
  std::vector<Event> events;
};
// After the request's checks (the spin period, and the density or mass
// given, are the other parameter's value).
Continuation ContinueEquilibria(const Body& body, const EquilibriaRequest& request,
                                const ContinuationRequest& continuation,
                                const More& more = nullptr);
// The branches as one table (a row a point, the branch's number first),
// and the header's lines on the events.
struct ContinuationTable {
  std::vector<double> branch, parameter, x, y, z, jacobi, index;
  std::vector<Column> Columns(const Continuation& c, const Units& units) const;
};
ContinuationTable TableOf(const Continuation& c);
std::vector<std::string> ContinuationLines(const Continuation& c, const Units& units);

// The effective potential on a grid in a plane through the centre of mass
// (the zero-velocity curves are its contours at the equilibria's -jacobi):
// `normal` (default the spin axis: the equatorial plane), nu x nv cell
// centres over the square of half-side `extent` (model units; default
// 1.25 times the farthest equilibrium's distance, at least 1.5 times the
// body's radius). Rows along v, u fastest.
struct PlaneRequest {
  std::optional<std::array<double, 3>> normal;
  uint32_t nu = 0, nv = 0;
  std::optional<double> extent;
};
void Validate(const PlaneRequest& request);
struct PlaneGrid {
  std::array<double, 3> e1{}, e2{};  // the plane's directions u and v
  double extent = 0;
  std::vector<double> u, v, x, y, z, V, inside;
  std::vector<Column> Columns(const Units& units) const;
};
PlaneGrid PlaneOf(const Body& body, const EquilibriaRequest& request, const Equilibria& e,
                  const PlaneRequest& plane, const More& more = nullptr);

// The section of a model by the plane through `origin` spanned by the unit
// vectors `e1` and `e2` (u and v coordinates, model units): the facets'
// crossings of the plane chained, by the edges they cross, into rings
// (closed where the model is; a vertex on the plane counts on its normal's
// side, so that each crossing is met once).
using Ring = std::vector<std::pair<double, double>>;
std::vector<Ring> SectionOf(const mesh::Mesh& model, const std::array<double, 3>& origin,
                            const std::array<double, 3>& e1, const std::array<double, 3>& e2);

// The zero-velocity figure: V's contours in the grid's plane at each
// equilibrium's V (marked) and at a few levels evenly spaced between V's
// 5th and 95th percentiles outside the body, the body's section filled,
// the equilibria (projected on the plane) as dots named E1.. in the table's
// order, titled by the body and spin. Pixels (points) `size`, cut to the
// square plot; false when the output fails.
// The figure's grid, nu = nv, when no grid is asked for the table.
constexpr uint32_t kZeroVelocityGrid = 160;
struct ZeroVelocityRequest {
  std::optional<std::pair<uint32_t, uint32_t>> size;  // absent: at most 800 x 600, fitted
  bool dark = false;
  std::string title;  // "": the body, the spin and the plane
};
bool WriteZeroVelocityFigure(FILE* out, figure::Output kind, const Body& body,
                             const EquilibriaRequest& request, const Equilibria& e,
                             const PlaneGrid& g, const PlaneRequest& plane,
                             const ZeroVelocityRequest& figure);

// The table of the equilibria: columns in order, their units, and the
// header's lines on the search.
struct EquilibriaTable {
  std::vector<double> x, y, z, rho, V, jacobi, inside, eig[12], stable, cases, index, residual,
      error, seeds;
  std::vector<Column> Columns(const Units& units) const;
};
EquilibriaTable TableOf(const Equilibria& e);
std::vector<std::string> EquilibriaLines(const Equilibria& e, const Units& units);

}  // namespace science
