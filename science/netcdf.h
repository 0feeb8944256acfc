// A latitude-longitude grid in the formats geoscience tools read: netCDF
// with the CF conventions (1.8), and the same names, units and attributes
// for any face that builds its own dataset (the Python module's xarray).
//
// The file has the dimensions lat (rows, north first) and lon (columns,
// eastward from -180), their coordinate variables in degrees_north and
// degrees_east, and a variable (lat, lon) for each of the grid table's
// columns x y z U gx gy gz gr dU dgx dgy dgz, each with its long_name and,
// in SI units, its units (UDUNITS spelling: m2 s-2, m s-2, the model's
// length unit). In the G rho = 1 convention the field's variables carry no
// units: a global attribute says so. The global attributes: Conventions,
// title, source, history, the body, its GM and centre of mass, the grid's
// radius or altitude, and the table's header lines as the comment.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "science/body.h"
#include "science/grid.h"
#include "science/request.h"

namespace science {

// A variable of the grid: its values, one per point (a grid's own, not
// copied), or one per row or column for lat and lon, and its attributes
// ("" left out).
struct GridVariable {
  std::string name, long_name, units, standard_name;
  const std::vector<double>* values = nullptr;  // per point
  std::vector<double> axis;                     // lat, lon
  bool row = false, column = false;             // lat (per row), lon (per column)
  const std::vector<double>& Values() const { return values ? *values : axis; }
};
// The variables of `grid` and `field`, which must outlive them.
std::vector<GridVariable> GridVariables(const Grid& grid, const GridField& field,
                                        const Units& units);

// A global attribute: text, or numbers when `numbers` is not empty.
struct GridAttribute {
  std::string name, text;
  std::vector<double> numbers;
};
// `history`: how the file was made (the command line); `header`: the grid
// table's header lines.
std::vector<GridAttribute> GridAttributes(const Body& body, const GridRequest& request,
                                          const Grid& grid, const GridField& field,
                                          const Units& units, const std::string& history,
                                          const std::vector<std::string>& header);

// The netCDF file (the 64-bit offset format, which every netCDF reader
// opens) of the variables and attributes above, made in memory and written
// to `out` (whose errors the caller's output checks when it commits).
void WriteGridNetcdf(FILE* out, const std::vector<GridVariable>& variables,
                     const std::vector<GridAttribute>& attributes, const Grid& grid);

// Whether a grid's output format is netCDF ("nc") rather than a table's
// (tsv, csv, npy, npz); any other is refused.
bool IsNetcdf(const std::string& format);

}  // namespace science
