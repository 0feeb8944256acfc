// Grids as CF netCDF files, written in memory by the netCDF C library.
#include "science/netcdf.h"

#include <netcdf.h>
#include <netcdf_mem.h>

#include <cstdlib>
#include <memory>

#include "common/failure.h"
#include "common/print.h"
#include "science/table.h"

namespace science {

std::vector<GridVariable> GridVariables(const Grid& g, const GridField& f, const Units& u) {
  const bool si = u.Physical();
  // The length units' names m, km, cm, mm are UDUNITS' too.
  const std::string L = si ? u.unit : "", P = si ? "m2 s-2" : "", A = si ? "m s-2" : "";
  std::vector<GridVariable> v;
  GridVariable lat{"lat", "latitude", "degrees_north", "latitude", nullptr, {}, true, false};
  GridVariable lon{"lon", "longitude", "degrees_east", "longitude", nullptr, {}, false, true};
  for (uint32_t i = 0; i < g.nlat; ++i) lat.axis.push_back(g.lat[size_t{i} * g.nlon]);
  lon.axis.assign(g.lon.begin(), g.lon.begin() + g.nlon);
  v.push_back(std::move(lat));
  v.push_back(std::move(lon));
  const auto add = [&](const char* name, const std::string& long_name, const std::string& units,
                       const std::vector<double>& values) {
    v.push_back({name, long_name, units, "", &values, {}, false, false});
  };
  add("x", "x of the grid point in the model's frame", L, g.x);
  add("y", "y of the grid point in the model's frame", L, g.y);
  add("z", "z of the grid point in the model's frame", L, g.z);
  add("U", "gravitational potential (U > 0)", P, f.U);
  add("gx", "gravitational attraction g = grad U, x component", A, f.gx);
  add("gy", "gravitational attraction g = grad U, y component", A, f.gy);
  add("gz", "gravitational attraction g = grad U, z component", A, f.gz);
  add("gr", "radial attraction g . r-hat from the centre of mass (negative inward)", A, f.gr);
  add("dU", "potential less the point mass's, U - GM/r", P, f.dU);
  add("dgx", "attraction less the point mass's, g + GM r/r^3, x component", A, f.dgx);
  add("dgy", "attraction less the point mass's, g + GM r/r^3, y component", A, f.dgy);
  add("dgz", "attraction less the point mass's, g + GM r/r^3, z component", A, f.dgz);
  return v;
}

std::vector<GridAttribute> GridAttributes(const Body& body, const GridRequest& r, const Grid& g,
                                          const GridField& f, const Units& u,
                                          const std::string& history,
                                          const std::vector<std::string>& header) {
  const bool si = u.Physical();
  std::string parts;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& p = body.part(i);
    if (i) parts += "; ";
    parts += p.name().empty() ? std::string("arrays") : p.name();
    if (!body.Homogeneous())
      parts += " (" + ShortestDigits(PartUnits(body, i, u).density) + " kg/m^3)";
  }
  if (!body.mascons().empty())
    parts += "; " + std::to_string(body.mascons().size()) + " point masses from " +
             (body.mascon_source().empty() ? "arrays" : body.mascon_source());
  std::string comment;
  for (const std::string& line : header)
    comment += (comment.empty() ? std::string() : std::string("\n")) + HeaderLine(line);
  std::vector<GridAttribute> a = {
      {"Conventions", "CF-1.8", {}},
      {"title",
       "Gravity field of " + parts + " on a " + std::to_string(g.nlat) + " x " +
           std::to_string(g.nlon) + " latitude-longitude grid about its centre of mass",
       {}},
      {"source", std::string("polyfield ") + POLYFIELD_VERSION, {}},
      {"history", history, {}},
      {"body", parts, {}},
      {"GM", "", {f.GM}},
      {"GM_units", si ? "m3 s-2" : "the volume in model units (G rho = 1)", {}},
      {"centre_of_mass", "", {g.centre[0], g.centre[1], g.centre[2]}},
      {"length_unit", si ? u.unit : "the model's own", {}},
  };
  if (r.altitude)
    a.push_back({"grid_altitude", "", {*r.altitude}});
  else
    a.push_back({"grid_radius", "", {r.radius}});
  if (si) {
    a.push_back({"density", "", {u.density}});
    a.push_back({"G", "", {u.G}});
  } else {
    a.push_back(
        {"units_convention", "G rho = 1: the field in the model's length unit, without units", {}});
  }
  for (GridAttribute& x : a) x.text = HeaderLine(x.text);
  a.push_back({"comment", comment, {}});
  return a;
}

namespace {

void Check(int status) {
  if (status != NC_NOERR) throw Failure(std::string("netCDF: ") + nc_strerror(status));
}

void Text(int id, int var, const std::string& name, const std::string& text) {
  if (!text.empty()) Check(nc_put_att_text(id, var, name.c_str(), text.size(), text.data()));
}

}  // namespace

void WriteGridNetcdf(FILE* out, const std::vector<GridVariable>& variables,
                     const std::vector<GridAttribute>& attributes, const Grid& g) {
  int id = -1;
  Check(nc_create_mem("grid.nc", NC_64BIT_OFFSET, 0, &id));
  // Closed on every way out; the memory the file ends in is freed here.
  struct Closer {
    int id;
    bool open = true;
    ~Closer() {
      if (open) nc_abort(id);
    }
  } closer{id};
  int old_fill;
  Check(nc_set_fill(id, NC_NOFILL, &old_fill));
  int lat_dim, lon_dim;
  Check(nc_def_dim(id, "lat", g.nlat, &lat_dim));
  Check(nc_def_dim(id, "lon", g.nlon, &lon_dim));
  std::vector<int> ids;
  for (const GridVariable& v : variables) {
    const int both[2] = {lat_dim, lon_dim};
    int var;
    if (v.row)
      Check(nc_def_var(id, v.name.c_str(), NC_DOUBLE, 1, &lat_dim, &var));
    else if (v.column)
      Check(nc_def_var(id, v.name.c_str(), NC_DOUBLE, 1, &lon_dim, &var));
    else
      Check(nc_def_var(id, v.name.c_str(), NC_DOUBLE, 2, both, &var));
    Text(id, var, "standard_name", v.standard_name);
    Text(id, var, "long_name", v.long_name);
    Text(id, var, "units", v.units);
    ids.push_back(var);
  }
  for (const GridAttribute& a : attributes) {
    if (a.numbers.empty())
      Text(id, NC_GLOBAL, a.name, a.text);
    else
      Check(nc_put_att_double(id, NC_GLOBAL, a.name.c_str(), NC_DOUBLE, a.numbers.size(),
                              a.numbers.data()));
  }
  Check(nc_enddef(id));
  for (size_t k = 0; k < variables.size(); ++k)
    Check(nc_put_var_double(id, ids[k], variables[k].Values().data()));
  NC_memio memory{};
  closer.open = false;
  Check(nc_close_memio(id, &memory));
  const std::unique_ptr<void, decltype(&std::free)> owned(memory.memory, &std::free);
  std::fwrite(memory.memory, 1, memory.size, out);
}

bool IsNetcdf(const std::string& format) {
  if (format == "nc") return true;
  for (const char* table : {"tsv", "csv", "npy", "npz"})
    if (format == table) return false;
  throw Failure(Quantity("format") + ": \"" + format + "\" is not one of tsv, csv, npy, npz, nc",
                Failure::Kind::kBadValue);
}

}  // namespace science
