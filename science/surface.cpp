// The surface products of a body: the field at every facet centroid and
// at the centre of mass, the slope, U/U0 and, with a spin, their
// effective values.
#include "science/surface.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "common/geometry.h"
#include "engine/terms.h"
#include "science/field.h"

namespace science {

namespace {

double Degrees(double radians) {
  return radians * 180 / std::numbers::pi;
}

// The slope in degrees: the deviation of the vertical (terms::Deviation),
// not a number for a facet of zero area (left out of every statistic).
double Slope(const double n[3], double gx, double gy, double gz) {
  return Degrees(terms::Deviation({gx, gy, gz}, {n[0], n[1], n[2]}));
}

}  // namespace

bool SurfaceOf(const Body& body, const SurfaceRequest& request, Surface* surface, const More& more,
               const FieldRun& run, const PlanMaker& maker) {
  Validate(request, body);
  const Units units = Resolve(request.units, body);
  RequirePositiveMass(body, units, "U/U0 and the spin (about the centre of mass)");
  const mesh::Mesh& m = body.model();
  const size_t n = m.FaceCount();
  Surface& s = *surface;
  s = Surface{};
  s.facet.resize(n), s.area.resize(n), s.cx.resize(n), s.cy.resize(n), s.cz.resize(n);
  for (size_t f = 0; f < n; ++f) {
    const geometry::Vec A = m.Corner(f, 0), B = m.Corner(f, 1), C = m.Corner(f, 2);
    s.facet[f] = static_cast<double>(f);
    s.cx[f] = ((A.x + B.x) + C.x) / 3;
    s.cy[f] = ((A.y + B.y) + C.y) / 3;
    s.cz[f] = ((A.z + B.z) + C.z) / 3;
    s.area[f] = 0.5 * geometry::Norm(geometry::FacetNormal(A, B, C));
  }
  // The centroids and, as one more point of the same call, the centre of
  // mass.
  const auto centre = MassOf(body, units).centre;
  std::vector<double> x(s.cx), y(s.cy), z(s.cz);
  x.push_back(centre[0]), y.push_back(centre[1]), z.push_back(centre[2]);
  s.U.resize(n + 1), s.gx.resize(n + 1), s.gy.resize(n + 1), s.gz.resize(n + 1);
  const FieldPlan plan = PlanField(body, {request.units, request.evaluation, false}, n + 1,
                                   x.data(), y.data(), z.data(), SIZE_MAX, maker);
  if (!Run(run, plan, {s.U.data(), s.gx.data(), s.gy.data(), s.gz.data()}, more)) return false;
  s.U0 = s.U[n];
  s.U.pop_back(), s.gx.pop_back(), s.gy.pop_back(), s.gz.pop_back();
  s.g.resize(n), s.slope.resize(n), s.UU0.resize(n);
  std::vector<double> normal(3 * n);
  for (size_t f = 0; f < n; ++f) {
    const geometry::Vec c = geometry::FacetNormal(m.Corner(f, 0), m.Corner(f, 1), m.Corner(f, 2));
    normal[3 * f] = c.x, normal[3 * f + 1] = c.y, normal[3 * f + 2] = c.z;
  }
  for (size_t f = 0; f < n; ++f) {
    s.g[f] = std::sqrt(s.gx[f] * s.gx[f] + s.gy[f] * s.gy[f] + s.gz[f] * s.gz[f]);
    s.slope[f] = Slope(&normal[3 * f], s.gx[f], s.gy[f], s.gz[f]);
    s.UU0[f] = s.U[f] / s.U0;
  }
  if (request.spin_period) {
    const double omega = 2 * std::numbers::pi / request.SpinSeconds(), w2 = omega * omega;
    const auto& a = request.spin_axis;
    const double len = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    const double k[3] = {a[0] / len, a[1] / len, a[2] / len};
    s.Ueff.resize(n), s.gxeff.resize(n), s.gyeff.resize(n), s.gzeff.resize(n);
    s.geff.resize(n), s.slopeeff.resize(n), s.vesc.resize(n), s.vcirc.resize(n);
    for (size_t f = 0; f < n; ++f) {
      // The centroid's distance from the axis, in metres: r - (r . k) k.
      const double r[3] = {(s.cx[f] - centre[0]) * units.metres,
                           (s.cy[f] - centre[1]) * units.metres,
                           (s.cz[f] - centre[2]) * units.metres};
      const double along = r[0] * k[0] + r[1] * k[1] + r[2] * k[2];
      const double perp[3] = {r[0] - along * k[0], r[1] - along * k[1], r[2] - along * k[2]};
      const double p2 = perp[0] * perp[0] + perp[1] * perp[1] + perp[2] * perp[2];
      s.Ueff[f] = s.U[f] + 0.5 * w2 * p2;
      s.gxeff[f] = s.gx[f] + w2 * perp[0];
      s.gyeff[f] = s.gy[f] + w2 * perp[1];
      s.gzeff[f] = s.gz[f] + w2 * perp[2];
      s.geff[f] =
          std::sqrt(s.gxeff[f] * s.gxeff[f] + s.gyeff[f] * s.gyeff[f] + s.gzeff[f] * s.gzeff[f]);
      s.slopeeff[f] = Slope(&normal[3 * f], s.gxeff[f], s.gyeff[f], s.gzeff[f]);
      // The surface's speed w x r, and the launch along the unit normal.
      const double u[3] = {omega * (k[1] * r[2] - k[2] * r[1]), omega * (k[2] * r[0] - k[0] * r[2]),
                           omega * (k[0] * r[1] - k[1] * r[0])};
      const double* N = &normal[3 * f];
      const double nn = std::sqrt(N[0] * N[0] + N[1] * N[1] + N[2] * N[2]);
      const double nu = (N[0] * u[0] + N[1] * u[1] + N[2] * u[2]) / nn;
      const double disc = nu * nu - (u[0] * u[0] + u[1] * u[1] + u[2] * u[2]) + 2 * s.U[f];
      s.vesc[f] = nn > 0 ? (disc > 0 ? std::max(0.0, -nu + std::sqrt(disc)) : 0.0) : NAN;
      const double gr = s.gx[f] * r[0] + s.gy[f] * r[1] + s.gz[f] * r[2];
      s.vcirc[f] = gr < 0 ? std::sqrt(-gr) : NAN;
    }
  }
  return true;
}

std::vector<Column> SurfaceColumns(const Surface& s, const Units& u) {
  std::vector<Column> cols = {{"facet", "", &s.facet, true},     {"area", u.AreaUnit(), &s.area},
                              {"cx", u.LengthUnit(), &s.cx},     {"cy", u.LengthUnit(), &s.cy},
                              {"cz", u.LengthUnit(), &s.cz},     {"U", u.PotentialUnit(), &s.U},
                              {"gx", u.AttractionUnit(), &s.gx}, {"gy", u.AttractionUnit(), &s.gy},
                              {"gz", u.AttractionUnit(), &s.gz}, {"g", u.AttractionUnit(), &s.g},
                              {"slope", "[deg]", &s.slope},      {"U/U0", "", &s.UU0}};
  if (!s.slopeeff.empty()) {
    cols.push_back({"Ueff", u.PotentialUnit(), &s.Ueff});
    cols.push_back({"gxeff", u.AttractionUnit(), &s.gxeff});
    cols.push_back({"gyeff", u.AttractionUnit(), &s.gyeff});
    cols.push_back({"gzeff", u.AttractionUnit(), &s.gzeff});
    cols.push_back({"geff", u.AttractionUnit(), &s.geff});
    cols.push_back({"slopeeff", "[deg]", &s.slopeeff});
    cols.push_back({"vesc", "[m/s]", &s.vesc});
    cols.push_back({"vcirc", "[m/s]", &s.vcirc});
  }
  return cols;
}

std::vector<std::string> SurfaceColumnNames(bool spin) {
  Surface s;
  if (spin) s.slopeeff.resize(1);
  std::vector<std::string> names;
  for (const Column& c : SurfaceColumns(s, Units{})) names.push_back(c.name);
  return names;
}

}  // namespace science
