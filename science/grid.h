// Latitude-longitude grids of field points on a sphere, and the field there
// with the columns a map of it needs: the radial component and the departure
// from the point mass of the same GM at the centre of mass.
//
// The grid has nlat rows and nlon columns of cell centres: row i (0 to
// nlat - 1) at latitude 90 - (i + 1/2) 180 / nlat degrees, north first;
// column j (0 to nlon - 1) at longitude -180 + (j + 1/2) 360 / nlon degrees,
// east positive, in (-180, 180). Point k = i nlon + j (rows of longitudes)
// lies at centre + R (cos lat cos lon, cos lat sin lon, sin lat): no point
// lies at a pole or on the 180-degree meridian.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "science/body.h"
#include "science/field.h"
#include "science/request.h"
#include "science/table.h"

namespace science {

struct GridRequest {
  double radius = 0;  // model units (after the scale), from the centre of mass
  uint32_t nlat = 0, nlon = 0;
  // Instead of the radius: each point at this height (model units, 0 or
  // more) above the model's outermost surface in its direction, on the
  // ray from the centre of mass.
  std::optional<double> altitude;
};

// The largest grid accepted, in points (the points alone then take 200 MB).
constexpr uint64_t kMaxGridPoints = uint64_t{1} << 23;

// The checks that need no model (kBadValue): a positive finite radius or an
// altitude of 0 or more (not both), at least one row and one column, and no
// more than kMaxGridPoints points.
void Validate(const GridRequest& request);
// The request from values a face may leave out: refused without a shape,
// or with neither a radius nor an altitude.
GridRequest GridRequestOf(std::optional<double> radius,
                          std::optional<std::pair<uint32_t, uint32_t>> shape,
                          std::optional<double> altitude);
// The grid's and the field's checks (Validate each), and a field of U and g
// alone: the gradient tensor is at points only.
void Validate(const FieldRequest& field, const GridRequest& request);
// The checks with the body: the field's with its units, and a body of
// parts or point masses of positive total mass (its centre of mass is the
// grid's centre and its GM the point mass's).
void Validate(const FieldRequest& field, const GridRequest& request, const Body& body);

struct Grid {
  uint32_t nlat = 0, nlon = 0;
  std::array<double, 3> centre{};
  std::vector<double> lat, lon, x, y, z;  // per point, degrees and model units
};

// The grid's points on the sphere about `centre`.
Grid MakeGrid(const GridRequest& request, const std::array<double, 3>& centre);
// The grid's points at the request's altitude above the model: along each
// direction from `centre`, the farthest crossing of the ray with a facet,
// plus the altitude. A direction whose ray meets no facet (a centre outside
// the model) is refused (kBadValue).
Grid MakeShell(const mesh::Mesh& model, const GridRequest& request,
               const std::array<double, 3>& centre);

// The field on the grid in the units asked for: U and g; gr = g . r-hat,
// r-hat from the grid's centre (negative where g points inward); the point
// mass's departures dU = U - GM / r and dg = g + GM r / r^3, r from the
// centre of mass, GM the body's: of every part and point mass, in m^3/s^2
// (the volume in G rho = 1).
struct GridField {
  std::vector<double> U, gx, gy, gz, gr, dU, dgx, dgy, dgz;
  double GM = 0;
};

// The body's centre of mass and GM (m^3/s^2; the volume in G rho = 1) in the
// units: the centre and the point mass of its grids.
struct GridMass {
  std::array<double, 3> centre{};
  double GM = 0;
};
GridMass GridMassOf(const Body& body, const Units& units);

// The grid (sphere or shell) about the body's centre of mass and the field on it, after the
// requests' checks and the body's (and the model's, when asked), its field
// planned by `maker` and evaluated by `run`. A shell lies above the first
// part's surface (the body's). False when `more` stopped it.
bool GridOf(const Body& body, const FieldRequest& field, const GridRequest& request, Grid* grid,
            GridField* out, const More& more, const FieldRun& run = {},
            const PlanMaker& maker = {});

// The header lines that state a grid of the body: its cells, where they lie
// about the centre of mass, and the columns' point mass with its GM.
std::vector<std::string> GridLines(const Body& body, const GridRequest& request,
                                   const Units& units);

// The grid table's columns: lat lon x y z U gx gy gz gr dU dgx dgy dgz.
std::vector<Column> GridColumns(const Grid& grid, const GridField& field, const Units& units);

}  // namespace science
