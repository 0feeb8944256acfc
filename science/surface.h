// The surface products of a body, at each facet's centroid, in the units
// asked for: the field, the slope, U/U0 and, with a spin, their effective
// values; the columns of its table.
#pragma once

#include <string>
#include <vector>

#include "science/body.h"
#include "science/field.h"
#include "science/request.h"
#include "science/table.h"

namespace science {

// Per-facet results on the surface, at each facet's centroid, in the units
// asked for.
struct Surface {
  double U0 = 0;  // potential at the centre of mass
  std::vector<double> facet, area, cx, cy, cz, U, gx, gy, gz, g, slope, UU0;
  // With a spin: effective potential and gravity, and the slope from them.
  std::vector<double> Ueff, gxeff, gyeff, gzeff, geff, slopeeff;
  // With a spin, m/s: the launch speed along the facet's normal that
  // escapes (zero inertial energy: |v n + w x r|^2 / 2 = U; 0 where the
  // surface's own speed suffices), and the speed of a circular orbit
  // through the centroid about the centre of mass, sqrt(-g . r) (not a
  // number where g points outward).
  std::vector<double> vesc, vcirc;
};

// The surface products in one pass over the first part's facet centroids,
// after the request's checks (and the parts', when asked): U0 at the body's
// centre of mass, the spin about it (a body of parts whose total mass is
// not positive is refused). The field at the centroids and, last, at the
// centre of mass is one call's, in one section, planned by `maker` and
// evaluated by `run`. False when `more` stopped it.
bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface, const More& more,
               const FieldRun& run = {}, const PlanMaker& maker = {});

// A column of a result table: its name as scripts address it, its unit in
// brackets ("" for none), its values, and whether they are indices.
// The surface table's columns, in order (the spin's when there is one).
std::vector<Column> SurfaceColumns(const Surface& surface, const Units& units);
// Their names before any evaluation, for a request's check.
std::vector<std::string> SurfaceColumnNames(bool spin);

}  // namespace science
