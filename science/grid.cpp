// Grids on a sphere and the field on them.
#include "science/grid.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/failure.h"
#include "common/print.h"

namespace science {

void Validate(const GridRequest& r) {
  if (r.altitude) {
    if (r.radius != 0)
      Refuse(Quantity("radius") + " and " + Quantity("altitude") + " are alternatives: give one");
    if (!(std::isfinite(*r.altitude) && *r.altitude >= 0))
      Refuse(Quantity("altitude") + ": 0 or a positive number in the model's unit");
  } else if (!(std::isfinite(r.radius) && r.radius > 0)) {
    Refuse(Quantity("radius") + ": a positive number in the model's unit");
  }
  if (r.nlat < 1 || r.nlon < 1 || uint64_t{r.nlat} * r.nlon > kMaxGridPoints)
    Refuse(Quantity("shape") + ": rows and columns NLAT, NLON, at least 1 each and at most " +
           std::to_string(kMaxGridPoints) + " points");
}

GridRequest GridRequestOf(std::optional<double> radius,
                          std::optional<std::pair<uint32_t, uint32_t>> shape,
                          std::optional<double> altitude) {
  if (!shape) Refuse(Quantity("shape") + ": (nlat, nlon), the grid's rows and columns");
  if (!radius && !altitude)
    Refuse(Quantity("radius") + " or " + Quantity("altitude") + ": give one");
  return {radius.value_or(0), shape->first, shape->second, altitude};
}

void Validate(const FieldRequest& field, const GridRequest& request) {
  if (field.gradient)
    Refuse(Quantity("gradient") + ": at points only (" + Quantity("points") + "), not on a grid");
  Validate(field);
  Validate(request);
}

void Validate(const FieldRequest& field, const GridRequest& request, const Body& body) {
  Validate(field, request);
  Validate(field, body);
  RequirePositiveMass(body, Resolve(field.units, body),
                      "a grid about the centre of mass and its GM");
}

GridMass GridMassOf(const Body& body, const Units& u) {
  if (body.Homogeneous())
    return {body.CentreOfMass(), u.Physical() ? u.GM(body.Volume()) : body.Volume()};
  const Mass m = MassOf(body, u);
  return {m.centre, u.G * m.mass};
}

std::vector<std::string> GridLines(const Body& body, const GridRequest& g, const Units& u) {
  const GridMass mass = GridMassOf(body, u);
  const std::string L = u.Physical() ? u.unit : "(model units)";
  const std::string centre = ShortestDigits(mass.centre[0]) + " " + ShortestDigits(mass.centre[1]) +
                             " " + ShortestDigits(mass.centre[2]);
  const std::string surface = body.Homogeneous() ? "" : " (the first part's, the body's)";
  return {"grid: " + std::to_string(g.nlat) + " x " + std::to_string(g.nlon) + " cell centres " +
              (g.altitude
                   ? "at the altitude " + ShortestDigits(*g.altitude) + " " + L +
                         " above the outermost surface" + surface + " along each direction from"
                   : "on the sphere of radius " + ShortestDigits(g.radius) + " " + L + " about") +
              " the centre of mass " + centre +
              "; rows from north to south, longitudes from -180 eastward",
          "gr = g . r-hat; dU = U - GM/r, dg = g + GM r/r^3, r from the centre of mass, GM " +
              ShortestDigits(mass.GM) + (u.Physical() ? " m^3/s^2" : " (the volume, G rho = 1)") +
              (body.Homogeneous() ? "" : " (of every part and point mass)")};
}

Grid MakeGrid(const GridRequest& r, const std::array<double, 3>& centre) {
  Validate(r);
  if (r.altitude) Refuse(Quantity("altitude") + ": a shell needs the model");
  for (const double c : centre)
    if (!std::isfinite(c)) Refuse(Quantity("centre") + ": three finite numbers x, y, z");
  Grid g;
  g.nlat = r.nlat, g.nlon = r.nlon, g.centre = centre;
  const size_t n = size_t{r.nlat} * r.nlon;
  g.lat.resize(n), g.lon.resize(n), g.x.resize(n), g.y.resize(n), g.z.resize(n);
  for (uint32_t i = 0; i < r.nlat; ++i) {
    const double lat = 90 - (i + 0.5) * 180 / r.nlat;
    const double cb = std::cos(lat * std::numbers::pi / 180),
                 sb = std::sin(lat * std::numbers::pi / 180);
    for (uint32_t j = 0; j < r.nlon; ++j) {
      const double lon = -180 + (j + 0.5) * 360 / r.nlon;
      const size_t k = size_t{i} * r.nlon + j;
      g.lat[k] = lat, g.lon[k] = lon;
      g.x[k] = centre[0] + r.radius * cb * std::cos(lon * std::numbers::pi / 180);
      g.y[k] = centre[1] + r.radius * cb * std::sin(lon * std::numbers::pi / 180);
      g.z[k] = centre[2] + r.radius * sb;
    }
  }
  return g;
}

namespace {

// The distance along the unit ray u from the origin to the triangle's plane
// where the ray crosses the triangle (edges and corners included, within a
// part in 1e12), or -1.
double Crossing(const double u[3], const double a[3], const double b[3], const double c[3]) {
  const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const double p[3] = {u[1] * e2[2] - u[2] * e2[1], u[2] * e2[0] - u[0] * e2[2],
                       u[0] * e2[1] - u[1] * e2[0]};
  const double det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
  if (det == 0) return -1;
  const double s[3] = {-a[0], -a[1], -a[2]};
  const double bu = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) / det;
  const double q[3] = {s[1] * e1[2] - s[2] * e1[1], s[2] * e1[0] - s[0] * e1[2],
                       s[0] * e1[1] - s[1] * e1[0]};
  const double bv = (u[0] * q[0] + u[1] * q[1] + u[2] * q[2]) / det;
  constexpr double kSlack = 1e-12;
  if (bu < -kSlack || bv < -kSlack || bu + bv > 1 + kSlack) return -1;
  return (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) / det;
}

}  // namespace

Grid MakeShell(const mesh::Mesh& m, const GridRequest& r, const std::array<double, 3>& centre) {
  GridRequest unit = r;
  unit.altitude.reset();
  unit.radius = 1;
  Validate(r);
  Grid g = MakeGrid(unit, {0, 0, 0});
  const size_t n = g.x.size();
  std::vector<double> far(n, -1);
  // Each facet is tried against the directions of the cells its cap of
  // directions (about its corners' mean direction, through the farthest
  // corner) may cover, a cell more on every side; a facet that spans more
  // than 60 degrees is tried against every direction.
  const double cell_lat = 180.0 / r.nlat, cell_lon = 360.0 / r.nlon;
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    double v[3][3], u[3][3], mid[3] = {0, 0, 0};
    bool usable = true;
    for (int k = 0; k < 3; ++k) {
      for (int a = 0; a < 3; ++a) v[k][a] = m.vertices[3 * m.faces[3 * f + k] + a] - centre[a];
      const double len = std::sqrt(v[k][0] * v[k][0] + v[k][1] * v[k][1] + v[k][2] * v[k][2]);
      usable = usable && len > 0;
      for (int a = 0; a < 3; ++a) u[k][a] = len > 0 ? v[k][a] / len : 0, mid[a] += u[k][a];
    }
    const double ml = std::sqrt(mid[0] * mid[0] + mid[1] * mid[1] + mid[2] * mid[2]);
    double cap = 180;
    if (usable && ml > 0) {
      double least = 1;
      for (int k = 0; k < 3; ++k)
        least = std::min(least, (u[k][0] * mid[0] + u[k][1] * mid[1] + u[k][2] * mid[2]) / ml);
      cap = std::acos(std::clamp(least, -1.0, 1.0)) * 180 / std::numbers::pi;
    }
    uint32_t i0 = 0, i1 = r.nlat - 1;
    bool every_lon = true;
    double lon_mid = 0, lon_half = 180;
    if (cap < 60) {
      const double lat_mid = std::asin(std::clamp(mid[2] / ml, -1.0, 1.0)) * 180 / std::numbers::pi;
      const double top = lat_mid + cap, bottom = lat_mid - cap;
      i0 = static_cast<uint32_t>(
          std::clamp(std::floor((90 - top) / cell_lat) - 1, 0.0, double(r.nlat - 1)));
      i1 = static_cast<uint32_t>(
          std::clamp(std::floor((90 - bottom) / cell_lat) + 1, 0.0, double(r.nlat - 1)));
      const double s =
          std::sin(cap * std::numbers::pi / 180) / std::cos(lat_mid * std::numbers::pi / 180);
      if (top < 90 && bottom > -90 && s < 1) {
        every_lon = false;
        lon_mid = std::atan2(mid[1], mid[0]) * 180 / std::numbers::pi;
        lon_half = std::asin(s) * 180 / std::numbers::pi + cell_lon;
      }
    }
    const long nlon = r.nlon;
    long j0 = 0, j1 = nlon - 1;
    if (!every_lon) {
      j0 = static_cast<long>(std::floor((lon_mid - lon_half + 180) / cell_lon)) - 1;
      j1 = static_cast<long>(std::floor((lon_mid + lon_half + 180) / cell_lon)) + 1;
      if (j1 - j0 + 1 >= nlon) j0 = 0, j1 = nlon - 1;
    }
    for (uint32_t i = i0; i <= i1; ++i)
      for (long jj = j0; jj <= j1; ++jj) {
        const size_t k = size_t{i} * r.nlon + static_cast<size_t>(((jj % nlon) + nlon) % nlon);
        const double d[3] = {g.x[k], g.y[k], g.z[k]};
        far[k] = std::max(far[k], Crossing(d, v[0], v[1], v[2]));
      }
  }
  for (size_t k = 0; k < n; ++k) {
    if (!(far[k] > 0))
      Refuse(Quantity("altitude") + ": the ray from the centre of mass toward latitude " +
             ShortestDigits(g.lat[k]) + ", longitude " + ShortestDigits(g.lon[k]) +
             " meets no facet (is the centre of mass inside the model?)");
    const double s = far[k] + *r.altitude;
    g.x[k] = centre[0] + s * g.x[k], g.y[k] = centre[1] + s * g.y[k];
    g.z[k] = centre[2] + s * g.z[k];
  }
  g.centre = centre;
  return g;
}

bool GridOf(const Body& body, const FieldRequest& field, const GridRequest& request, Grid* grid,
            GridField* out, const More& more, const FieldRun& run, const PlanMaker& maker) {
  Validate(field, request, body);
  const Units u = Resolve(field.units, body);
  const GridMass mass = GridMassOf(body, u);
  const std::array<double, 3> mass_centre = mass.centre;
  *grid = request.altitude ? MakeShell(body.model(), request, mass_centre)
                           : MakeGrid(request, mass_centre);
  const Grid& g = *grid;
  const size_t n = g.x.size();
  GridField& f = *out;
  f = GridField{};
  f.GM = mass.GM;
  for (auto* v : {&f.U, &f.gx, &f.gy, &f.gz, &f.gr, &f.dU, &f.dgx, &f.dgy, &f.dgz}) v->resize(n);
  FieldRequest plain = field;
  plain.gradient = false;
  const FieldPlan plan =
      PlanField(body, plain, n, g.x.data(), g.y.data(), g.z.data(), kFieldSection, maker);
  if (!Run(run, plan, {f.U.data(), f.gx.data(), f.gy.data(), f.gz.data()}, more)) return false;
  // The point mass in the same units: G M / r, r in model units, scaled
  // as the field is (G rho V / r for a homogeneous model).
  double mu_U, mu_g;
  if (body.Homogeneous()) {
    const double V = body.Volume();
    mu_U = V * u.PotentialFactor(), mu_g = V * u.AttractionFactor();
  } else {
    mu_U = mass.GM / u.metres, mu_g = mass.GM / (u.metres * u.metres);
  }
  for (size_t k = 0; k < n; ++k) {
    const double p[3] = {g.x[k], g.y[k], g.z[k]};
    const double o[3] = {p[0] - g.centre[0], p[1] - g.centre[1], p[2] - g.centre[2]};
    const double ro = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
    f.gr[k] = (f.gx[k] * o[0] + f.gy[k] * o[1] + f.gz[k] * o[2]) / ro;
    const double c[3] = {p[0] - mass_centre[0], p[1] - mass_centre[1], p[2] - mass_centre[2]};
    const double r = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    const double r3 = r * r * r;
    f.dU[k] = f.U[k] - mu_U / r;
    f.dgx[k] = f.gx[k] + mu_g * c[0] / r3;
    f.dgy[k] = f.gy[k] + mu_g * c[1] / r3;
    f.dgz[k] = f.gz[k] + mu_g * c[2] / r3;
  }
  return true;
}

std::vector<Column> GridColumns(const Grid& g, const GridField& f, const Units& u) {
  const std::string L = u.LengthUnit(), P = u.PotentialUnit(), A = u.AttractionUnit();
  const std::string deg = "[deg]";
  return {{"lat", deg, &g.lat}, {"lon", deg, &g.lon}, {"x", L, &g.x},   {"y", L, &g.y},
          {"z", L, &g.z},       {"U", P, &f.U},       {"gx", A, &f.gx}, {"gy", A, &f.gy},
          {"gz", A, &f.gz},     {"gr", A, &f.gr},     {"dU", P, &f.dU}, {"dgx", A, &f.dgx},
          {"dgy", A, &f.dgy},   {"dgz", A, &f.dgz}};
}

}  // namespace science
