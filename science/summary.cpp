// The summary of a surface run. The second moments are exact for the
// polyhedron: the simplex rule over the tetrahedra that join each facet to
// the centre of mass; the principal axes by cyclic Jacobi rotations.
#include "science/summary.h"

#include <algorithm>
#include <cmath>

#include "common/geometry.h"

namespace science {

AreaStatistics Statistics(const std::vector<double>& value, const std::vector<double>& area,
                          const std::vector<double>& percentiles,
                          const std::vector<double>& thresholds) {
  AreaStatistics st;
  const size_t n = value.size();
  std::vector<size_t> order;
  for (size_t i = 0; i < n; ++i)
    if (std::isfinite(value[i])) order.push_back(i);
  if (order.empty()) return st;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return value[a] < value[b]; });
  st.min_facet = order.front();
  st.max_facet = order.back();
  double total = 0;
  for (size_t i : order) total += area[i];
  for (double p : percentiles) {
    // The smallest value whose facets with smaller or equal values cover
    // p percent of the area.
    double covered = 0;
    double v = value[order.back()];
    for (size_t i : order) {
      covered += area[i];
      if (covered >= p / 100 * total) {
        v = value[i];
        break;
      }
    }
    st.percentiles.emplace_back(p, v);
  }
  for (double t : thresholds) {
    double above = 0;
    for (size_t i : order)
      if (value[i] > t) above += area[i];
    st.above.emplace_back(t, total > 0 ? above / total : 0);
  }
  return st;
}

namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

// Eigenvalues (the diagonal left in a) and eigenvectors (the columns of v)
// of the symmetric matrix a, by cyclic Jacobi rotations, each of which sets
// one off-diagonal element to zero; a few sweeps reach rounding for 3 x 3.
void Jacobi(Matrix& a, Matrix& v) {
  v = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  for (int sweep = 0; sweep < 64; ++sweep) {
    if (a[0][1] == 0 && a[0][2] == 0 && a[1][2] == 0) return;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        // An element at the rounding of the diagonal is zero: a body whose
        // moments are equal (a cube) keeps its own axes.
        if (std::fabs(a[p][q]) <= 1e-14 * (std::fabs(a[p][p]) + std::fabs(a[q][q]))) {
          a[p][q] = a[q][p] = 0;
          continue;
        }
        // tan of the angle that zeroes a[p][q], the smaller root.
        const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const double t = std::isfinite(theta * theta)
                             ? std::copysign(1.0, theta) / (std::fabs(theta) + std::hypot(theta, 1))
                             : 0.5 / theta;
        const double c = 1 / std::hypot(t, 1), s = t * c;
        for (int k = 0; k < 3; ++k) {
          const double kp = a[k][p], kq = a[k][q];
          a[k][p] = c * kp - s * kq, a[k][q] = s * kp + c * kq;
        }
        for (int k = 0; k < 3; ++k) {
          const double pk = a[p][k], qk = a[q][k];
          a[p][k] = c * pk - s * qk, a[q][k] = s * pk + c * qk;
        }
        for (int k = 0; k < 3; ++k) {
          const double kp = v[k][p], kq = v[k][q];
          v[k][p] = c * kp - s * kq, v[k][q] = s * kp + c * kq;
        }
      }
  }
}

// The volume and the first and second moments of a model about o: over the
// tetrahedron (o, A, B, C), with a, b, c taken from o and v = a . (b x c) / 6
// its signed volume, the integral of r is v s / 4 and that of r r^T is
// v (a a^T + b b^T + c c^T + s s^T) / 20, s = a + b + c.
struct Moments {
  double volume = 0, first[3] = {0, 0, 0};  // of a body of parts: mass-weighted
  Matrix second{};
};

Moments MomentsAbout(const mesh::Mesh& m, const double o[3]) {
  Moments mo;
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    double p[3][3];
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < 3; ++i) p[k][i] = m.vertices[3 * m.faces[3 * f + k] + i] - o[i];
    const double* a = p[0];
    const double* b = p[1];
    const double* c = p[2];
    const double v = (a[0] * (b[1] * c[2] - b[2] * c[1]) + a[1] * (b[2] * c[0] - b[0] * c[2]) +
                      a[2] * (b[0] * c[1] - b[1] * c[0])) /
                     6;
    const double s[3] = {a[0] + b[0] + c[0], a[1] + b[1] + c[1], a[2] + b[2] + c[2]};
    mo.volume += v;
    for (int i = 0; i < 3; ++i) {
      mo.first[i] += v * s[i] / 4;
      for (int j = 0; j < 3; ++j)
        mo.second[i][j] += v * (a[i] * a[j] + b[i] * b[j] + c[i] * c[j] + s[i] * s[j]) / 20;
    }
  }
  return mo;
}

// The centre, the tensor about it (times `factor`), the principal moments
// and axes, from the moments of a mass distribution about o.
Inertia FromMoments(const Moments& mo, const double o[3], double factor) {
  Inertia in;
  const double volume = mo.volume;
  const auto& first = mo.first;
  const auto& second = mo.second;
  in.volume = volume;
  for (int i = 0; i < 3; ++i) in.centre[i] = o[i] + (volume != 0 ? first[i] / volume : 0);
  // About the centre of mass: C = M2 - m1 m1^T / V.
  Matrix cov{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      cov[i][j] = second[i][j] - (volume != 0 ? first[i] * first[j] / volume : 0);
  const double trace = cov[0][0] + cov[1][1] + cov[2][2];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) in.tensor[i][j] = factor * ((i == j ? trace : 0) - cov[i][j]);
  Matrix d = in.tensor, v;
  Jacobi(d, v);
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int x, int y) { return d[x][x] < d[y][y]; });
  for (int r = 0; r < 3; ++r) {
    in.moments[r] = d[order[r]][order[r]];
    for (int i = 0; i < 3; ++i) in.axes[r][i] = v[i][order[r]];
  }
  // Each axis's sign: its largest component positive, the third completing
  // a right-handed frame.
  for (int r = 0; r < 2; ++r) {
    auto& e = in.axes[r];
    const double* big = &*std::max_element(
        e.begin(), e.end(), [](double x, double y) { return std::fabs(x) < std::fabs(y); });
    if (*big < 0)
      for (double& x : e) x = -x;
  }
  const auto& e0 = in.axes[0];
  const auto& e1 = in.axes[1];
  in.axes[2] = {e0[1] * e1[2] - e0[2] * e1[1], e0[2] * e1[0] - e0[0] * e1[2],
                e0[0] * e1[1] - e0[1] * e1[0]};
  return in;
}

}  // namespace

Inertia InertiaOf(const mesh::Mesh& m, const Units& units) {
  if (m.FaceCount() == 0) return {};
  // About the first corner of the first face, as the body's volume (a
  // listed vertex need not be on the surface).
  const geometry::Vec corner = m.Corner(0, 0);
  const double o[3] = {corner.x, corner.y, corner.z};
  const double factor = units.Physical() ? units.density * std::pow(units.metres, 5) : 1;
  return FromMoments(MomentsAbout(m, o), o, factor);
}

Inertia InertiaOf(const Body& body, const Units& units) {
  if (body.Homogeneous()) return InertiaOf(body.model(), units);
  RequirePositiveMass(body, units, "the centre of mass and the inertia tensor");
  // In kg and model units about the first part's first corner, then in
  // kg m^2.
  const geometry::Vec corner = body.model().Corner(0, 0);
  const double o[3] = {corner.x, corner.y, corner.z};
  const double cubic = units.metres * units.metres * units.metres;
  Moments total;
  for (size_t p = 0; p < body.PartCount(); ++p) {
    const Moments mo = MomentsAbout(body.part(p).model(), o);
    const double w = (p == 0 ? units.density : body.part(p).density()) * cubic;
    total.volume += w * mo.volume;
    for (int i = 0; i < 3; ++i) {
      total.first[i] += w * mo.first[i];
      for (int j = 0; j < 3; ++j) total.second[i][j] += w * mo.second[i][j];
    }
  }
  for (const Mascon& q : body.mascons()) {
    const double d[3] = {q.x - o[0], q.y - o[1], q.z - o[2]};
    total.volume += q.mass;
    for (int i = 0; i < 3; ++i) {
      total.first[i] += q.mass * d[i];
      for (int j = 0; j < 3; ++j) total.second[i][j] += q.mass * d[i] * d[j];
    }
  }
  Inertia in = FromMoments(total, o, units.metres * units.metres);
  in.volume = body.Volume();
  return in;
}

Inertia InertiaOf(const Body& body, const UnitsRequest& units) {
  return InertiaOf(body, Resolve(units, body));
}

Summary Summarise(const Body& body, const SurfaceRequest& request, const Surface& surface) {
  Summary s;
  s.units = Resolve(request.units, body);
  s.volume = body.Volume();
  s.area = body.Area();
  const Mass mass = MassOf(body, s.units);
  s.centre = mass.centre;
  s.mass = mass.mass;
  s.gm = s.units.G * s.mass;
  s.U0 = surface.U0;
  const bool spin = !surface.slopeeff.empty();
  s.slope_name = spin ? "slopeeff" : "slope";
  s.slope = Statistics(spin ? surface.slopeeff : surface.slope, surface.area, request.percentiles,
                       request.slopes);
  s.potential = Statistics(surface.U, surface.area, {}, {});
  s.inertia = InertiaOf(body, s.units);
  return s;
}

}  // namespace science
