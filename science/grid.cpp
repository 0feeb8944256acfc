// Grids on a sphere and the field on them.
#include "science/grid.h"

#include <cmath>

#include "common/failure.h"
#include "common/print.h"

namespace science {

namespace {

constexpr double kPi = 3.141592653589793;

[[noreturn]] void Refuse(const std::string& message) {
  throw Failure(message, Failure::Kind::kBadValue);
}

}  // namespace

void Validate(const GridRequest& r) {
  if (!(std::isfinite(r.radius) && r.radius > 0))
    Refuse(Quantity("radius") + ": a positive number in the model's unit");
  if (r.nlat < 1 || r.nlon < 1 || uint64_t{r.nlat} * r.nlon > kMaxGridPoints)
    Refuse(Quantity("shape") + ": rows and columns NLAT, NLON, at least 1 each and at most " +
           std::to_string(kMaxGridPoints) + " points");
}

Grid MakeGrid(const GridRequest& r, const std::array<double, 3>& centre) {
  Validate(r);
  Grid g;
  g.nlat = r.nlat, g.nlon = r.nlon, g.centre = centre;
  const size_t n = size_t{r.nlat} * r.nlon;
  g.lat.resize(n), g.lon.resize(n), g.x.resize(n), g.y.resize(n), g.z.resize(n);
  for (uint32_t i = 0; i < r.nlat; ++i) {
    const double lat = 90 - (i + 0.5) * 180 / r.nlat;
    const double cb = std::cos(lat * kPi / 180), sb = std::sin(lat * kPi / 180);
    for (uint32_t j = 0; j < r.nlon; ++j) {
      const double lon = -180 + (j + 0.5) * 360 / r.nlon;
      const size_t k = size_t{i} * r.nlon + j;
      g.lat[k] = lat, g.lon[k] = lon;
      g.x[k] = centre[0] + r.radius * cb * std::cos(lon * kPi / 180);
      g.y[k] = centre[1] + r.radius * cb * std::sin(lon * kPi / 180);
      g.z[k] = centre[2] + r.radius * sb;
    }
  }
  return g;
}

bool GridOf(const Body& body, const FieldRequest& field, const GridRequest& request, Grid* grid,
            GridField* out, const More& more) {
  Validate(field);
  Validate(request);
  const std::array<double, 3> mass_centre = body.CentreOfMass();
  *grid = MakeGrid(request, mass_centre);
  const Grid& g = *grid;
  const size_t n = g.x.size();
  GridField& f = *out;
  f = GridField{};
  for (auto* v : {&f.U, &f.gx, &f.gy, &f.gz, &f.gr, &f.dU, &f.dgx, &f.dgy, &f.dgz}) v->resize(n);
  FieldRequest plain = field;
  plain.gradient = false;
  if (!FieldOf(body, plain, n, g.x.data(), g.y.data(), g.z.data(),
               {f.U.data(), f.gx.data(), f.gy.data(), f.gz.data()}, more))
    return false;
  // The point mass in the same units: G rho V / r, scaled as the field is.
  const Units u = Resolve(field.units, body.Volume());
  const double V = body.Volume();
  const double mu_U = V * u.PotentialFactor(), mu_g = V * u.AttractionFactor();
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
