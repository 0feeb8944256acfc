// Exact derivatives of a body's field at points (derivatives.h).
#include "science/derivatives.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "common/failure.h"
#include "common/print.h"
#include "engine/layer.h"
#include "science/shape_harmonics.h"

namespace science {

namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();
// The tensor's six components as (i, j).
constexpr int kPair[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};

std::string PointText(const Points& p, size_t j) {
  return "row " + std::to_string(j) + " (" + ShortestDigits(p.x[j]) + ", " +
         ShortestDigits(p.y[j]) + ", " + ShortestDigits(p.z[j]) + ")";
}

// What every product needs: the request's checks, the units, and each
// part's factors: of U, g and T per model unit of its integrals (G rho),
// and the same per unit of its density (G).
struct Setting {
  Units units;
  std::vector<double> fU, fg, fT, dU, dg, dT;  // per part
  unsigned threads = 1;
};

Setting Prepare(const Body& body, const FieldRequest& request, const Points& p) {
  Validate(request, body);
  if (request.evaluation.Tolerance() > 0)
    Refuse(Quantity("tolerance") + ": derivatives are exact (no tolerance)");
  if (request.evaluation.check) RequireFit(body);
  for (size_t j = 0; j < p.n; ++j)
    if (!(std::isfinite(p.x[j]) && std::isfinite(p.y[j]) && std::isfinite(p.z[j])))
      Refuse(Quantity("points") + ": " + PointText(p, j) + " is not three finite numbers x y z");
  Setting s;
  s.units = Resolve(request.units, body);
  s.threads = request.evaluation.Threads();
  const bool si = s.units.Physical();
  const double m = s.units.metres, G = s.units.G;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Units u = PartUnits(body, i, s.units);
    s.fU.push_back(u.PotentialFactor());
    s.fg.push_back(u.AttractionFactor());
    s.fT.push_back(u.GradientFactor());
    s.dU.push_back(si ? G * m * m : 1);
    s.dg.push_back(si ? G * m : 1);
    s.dT.push_back(si ? G : 1);
  }
  // A point mass's field is infinite at it.
  for (const Mascon& q : body.mascons())
    for (size_t j = 0; j < p.n; ++j)
      if (p.x[j] == q.x && p.y[j] == q.y && p.z[j] == q.z)
        Refuse(Quantity("points") + ": " + PointText(p, j) +
               " is a point mass's position, where its field has no derivative");
  return s;
}

[[noreturn]] void OnSurface(const Body& body, const Points& p, size_t j, size_t part) {
  Refuse(Quantity("points") + ": " + PointText(p, j) + " lies on the surface of " +
         (body.PartCount() > 1 ? "part " + std::to_string(part + 1) + " of " : std::string()) +
         "the body, where the attraction's derivatives with respect to the shape do not exist "
         "(they jump across it; the potential's exist)");
}

// The part's U, g (3 a point) and, when `tensor`, T (6 a point) at the
// points: model units, G rho = 1, exact.
struct PartValues {
  std::vector<double> U, g, T;
};
PartValues PartField(const Part& part, const Points& p, unsigned threads, bool tensor) {
  PartValues v;
  v.U.assign(p.n, 0);
  std::vector<double> gx(p.n), gy(p.n), gz(p.n);
  EvaluateOptions o;
  o.tolerance = 0;
  o.threads = threads;
  part.Field(p.n, p.x, p.y, p.z, {v.U.data(), gx.data(), gy.data(), gz.data()}, o);
  v.g.resize(3 * p.n);
  for (size_t j = 0; j < p.n; ++j)
    v.g[3 * j] = gx[j], v.g[3 * j + 1] = gy[j], v.g[3 * j + 2] = gz[j];
  if (tensor) {
    v.T.resize(6 * p.n);
    part.Gradient(p.n, p.x, p.y, p.z, v.T.data(), o);
  }
  return v;
}

// A point mass's ten outputs at p (U, g, T) per kg of its mass and their
// derivatives by its position: with d = p - q (model units), r = |d| and M
// metres a model unit, U = G m / (M r), g = -G m d / (M^2 r^3) and T = G m
// (3 d d^T / r^5 - I / r^3) / M^3; a move of q is a move of p the other way.
struct MasconTerms {
  double per_kg[10];
  double by_position[10][3];  // [output][axis of q]
};
MasconTerms MasconAt(const Mascon& q, double G, double M, double x, double y, double z) {
  MasconTerms t;
  const double d[3] = {x - q.x, y - q.y, z - q.z};
  const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2], r = std::sqrt(r2);
  const double r3 = r2 * r, r5 = r3 * r2, r7 = r5 * r2;
  const double cU = G / M, cg = G / (M * M), cT = G / (M * M * M);
  t.per_kg[0] = cU / r;
  for (int a = 0; a < 3; ++a) {
    t.per_kg[1 + a] = -cg * d[a] / r3;
    t.by_position[0][a] = q.mass * cU * d[a] / r3;
    for (int b = 0; b < 3; ++b)
      t.by_position[1 + a][b] = q.mass * cg * ((a == b ? 1 / r3 : 0) - 3 * d[a] * d[b] / r5);
  }
  for (int o = 0; o < 6; ++o) {
    const int a = kPair[o][0], b = kPair[o][1];
    t.per_kg[4 + o] = cT * (3 * d[a] * d[b] / r5 - (a == b ? 1 / r3 : 0));
    for (int c = 0; c < 3; ++c) {
      // -d/dp_c of 3 d_a d_b / r^5 - delta_ab / r^3.
      const double dp = 3 * ((a == c ? d[b] : 0) + (b == c ? d[a] : 0)) / r5 -
                        15 * d[a] * d[b] * d[c] / r7 + (a == b ? 3 * d[c] / r5 : 0);
      t.by_position[4 + o][c] = -q.mass * cT * dp;
    }
  }
  return t;
}

// The derivatives of point j's K outputs by every part's density,
// density(j, part, values[K]), and by every point mass, mascon(j, q,
// terms).
template <class Density, class Masses>
void DensitiesAndMasses(const Body& body, const Setting& s, const Points& p, size_t K,
                        const Density& density, const Masses& mascon) {
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const PartValues v = PartField(body.part(i), p, s.threads, K > 4);
    double values[10];
    for (size_t j = 0; j < p.n; ++j) {
      values[0] = s.dU[i] * v.U[j];
      for (int a = 0; a < 3; ++a) values[1 + a] = s.dg[i] * v.g[3 * j + a];
      if (K > 4)
        for (int o = 0; o < 6; ++o) values[4 + o] = s.dT[i] * v.T[6 * j + o];
      density(j, i, values);
    }
  }
  const auto& mascons = body.mascons();
  for (size_t q = 0; q < mascons.size(); ++q)
    for (size_t j = 0; j < p.n; ++j)
      mascon(j, q, MasconAt(mascons[q], s.units.G, s.units.metres, p.x[j], p.y[j], p.z[j]));
}

}  // namespace

ParameterLayout LayoutOf(const Body& body) {
  ParameterLayout l;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    l.vertices.push_back(l.count);
    l.count += body.part(i).model().vertices.size();
  }
  l.density = l.count;
  l.count += body.PartCount();
  l.positions = l.count;
  l.count += 3 * body.mascons().size();
  l.masses = l.count;
  l.count += body.mascons().size();
  return l;
}

std::vector<double> FieldVjp(const Body& body, const FieldRequest& request, const Points& p,
                             const FieldWeights& w) {
  const Setting s = Prepare(body, request, p);
  const ParameterLayout layout = LayoutOf(body);
  std::vector<double> grad(layout.count, 0);
  // The weights of point j's ten outputs.
  const auto weight = [&](size_t j, int o) {
    if (o == 0) return w.U ? w.U[j] : 0.0;
    if (o < 4) return w.g ? w.g[3 * j + o - 1] : 0.0;
    return w.T ? w.T[6 * j + o - 4] : 0.0;
  };
  int most = 0;
  for (size_t j = 0; j < p.n; ++j)
    for (int o = 1; o < 10; ++o)
      if (weight(j, o) != 0) most = std::max(most, o < 4 ? 1 : 2);
  const layer::Adjoint adjoint(p.n, p.x, p.y, p.z, w.U, w.g, most > 1 ? w.T : nullptr);
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    const mesh::Mesh& model = part.model();
    const size_t F = model.FaceCount();
    const std::vector<double>& corners = part.corners();
    // Per facet and corner, the weighted sum over the points of the
    // effect of the corner's move along the normal: the vertex's gradient
    // is the normal times it.
    std::vector<double> along(3 * F, 0), normal(3 * F, 0);
    std::vector<size_t> surface(s.threads, kNone);
    const double factors[3] = {s.fU[i], s.fg[i], s.fT[i]};
    body.Team().MultiThreading(
        F,
        [&](unsigned t, unsigned m) {
          layer::Triangle triangle;
          for (size_t f = t; f < F; f += m) {
            layer::Prepare(&corners[9 * f], &triangle);
            adjoint.Sums(triangle, factors, &along[3 * f], &surface[t]);
            for (int k = 0; k < 3; ++k) normal[3 * f + k] = triangle.n[k];
          }
        },
        s.threads);
    const size_t first = *std::min_element(surface.begin(), surface.end());
    if (first != kNone) OnSurface(body, p, first, i);
    double* g = &grad[layout.vertices[i]];
    for (size_t f = 0; f < F; ++f)
      for (int k = 0; k < 3; ++k) {
        const size_t v = model.faces[3 * f + k];
        for (int a = 0; a < 3; ++a) g[3 * v + a] += normal[3 * f + a] * along[3 * f + k];
      }
  }
  const size_t K = most > 1 ? 10 : 4;
  DensitiesAndMasses(
      body, s, p, K,
      [&](size_t j, size_t i, const double* values) {
        for (size_t o = 0; o < K; ++o) grad[layout.density + i] += weight(j, int(o)) * values[o];
      },
      [&](size_t j, size_t q, const MasconTerms& t) {
        for (size_t o = 0; o < K; ++o) {
          const double wo = weight(j, int(o));
          if (wo == 0) continue;
          grad[layout.masses + q] += wo * t.per_kg[o];
          for (int a = 0; a < 3; ++a)
            grad[layout.positions + 3 * q + a] += wo * t.by_position[o][a];
        }
      });
  return grad;
}

namespace {

// The derivatives of point j's K outputs (U, g and, with the tensor, T)
// through vertex(j, part, vertex, d[K][3]) for every corner of every facet
// (d[o][a]: output o by the vertex's coordinate a), density(j, part,
// values[K]) for every part's density and mascon(j, q, terms) for every
// point mass; points in parallel, each point's calls on one thread.
template <class Vertex, class Density, class Masses>
void EachPoint(const Body& body, const Setting& s, const Points& p, size_t K, const Vertex& vertex,
               const Density& density, const Masses& mascon) {
  std::vector<size_t> surface(s.threads, kNone), surface_part(s.threads, 0);
  const int order = K > 4 ? 2 : 1;
  std::vector<std::vector<layer::Triangle>> triangles(body.PartCount());
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    triangles[i].resize(part.model().FaceCount());
    for (size_t f = 0; f < triangles[i].size(); ++f)
      layer::Prepare(&part.corners()[9 * f], &triangles[i][f]);
  }
  body.Team().MultiThreading(
      p.n,
      [&](unsigned t, unsigned m) {
        layer::Moments M;
        double d[10][3];
        for (size_t j = t; j < p.n && surface[t] == kNone; j += m) {
          const double q[3] = {p.x[j], p.y[j], p.z[j]};
          for (size_t i = 0; i < body.PartCount() && surface[t] == kNone; ++i) {
            const auto& faces = body.part(i).model().faces;
            for (size_t f = 0; f < triangles[i].size(); ++f) {
              layer::Linear(triangles[i][f], q, order, &M);
              if (M.on_facet) {
                surface[t] = j, surface_part[t] = i;
                break;
              }
              for (int k = 0; k < 3; ++k) {
                for (int a = 0; a < 3; ++a) {
                  const double n = M.normal[a];
                  d[0][a] = s.fU[i] * n * M.S[k];
                  for (int b = 0; b < 3; ++b) d[1 + b][a] = s.fg[i] * n * M.grad[k][b];
                  if (K > 4)
                    for (int o = 0; o < 6; ++o)
                      d[4 + o][a] = s.fT[i] * n * M.hessian[k][kPair[o][0]][kPair[o][1]];
                }
                vertex(j, i, faces[3 * f + k], d);
              }
            }
          }
        }
      },
      s.threads);
  size_t first = kNone, part = 0;
  for (size_t t = 0; t < surface.size(); ++t)
    if (surface[t] < first) first = surface[t], part = surface_part[t];
  if (first != kNone) OnSurface(body, p, first, part);
  DensitiesAndMasses(body, s, p, K, density, mascon);
}

}  // namespace

void FieldJvp(const Body& body, const FieldRequest& request, const Points& p,
              const std::vector<double>& tangent, double* dU, double* dg, double* dT) {
  const Setting s = Prepare(body, request, p);
  const ParameterLayout layout = LayoutOf(body);
  if (tangent.size() != layout.count)
    Refuse("a change of " + std::to_string(tangent.size()) + " parameters for a body of " +
           std::to_string(layout.count));
  const size_t K = dT && request.gradient ? 10 : 4;
  std::fill(dU, dU + p.n, 0.0);
  std::fill(dg, dg + 3 * p.n, 0.0);
  if (K > 4) std::fill(dT, dT + 6 * p.n, 0.0);
  // Output o of point j.
  const auto out = [&](size_t j, size_t o) -> double& {
    return o == 0 ? dU[j] : o < 4 ? dg[3 * j + o - 1] : dT[6 * j + o - 4];
  };
  // The shape: each facet's corners moved along its normal by n . the
  // change of their vertices.
  const layer::Forward forward(p.n, p.x, p.y, p.z, K > 4);
  size_t first = kNone, on_part = 0;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    const auto& faces = part.model().faces;
    const size_t F = part.model().FaceCount();
    std::vector<layer::Triangle> triangles(F);
    std::vector<double> sigma(3 * F);
    const double* change = &tangent[layout.vertices[i]];
    for (size_t f = 0; f < F; ++f) {
      layer::Triangle& t = triangles[f];
      layer::Prepare(&part.corners()[9 * f], &t);
      for (int k = 0; k < 3; ++k) {
        const double* d = change + 3 * faces[3 * f + size_t(k)];
        sigma[3 * f + size_t(k)] = t.n[0] * d[0] + t.n[1] * d[1] + t.n[2] * d[2];
      }
    }
    std::vector<size_t> surface(s.threads, kNone);
    const double factors[3] = {s.fU[i], s.fg[i], s.fT[i]};
    body.Team().MultiThreading(
        forward.Groups(),
        [&](unsigned t, unsigned m) {
          for (size_t g = t; g < forward.Groups(); g += m)
            forward.Add(g, triangles, sigma.data(), factors, dU, dg, K > 4 ? dT : nullptr,
                        &surface[t]);
        },
        s.threads);
    const size_t lowest = *std::min_element(surface.begin(), surface.end());
    if (lowest < first) first = lowest, on_part = i;
  }
  if (first != kNone) OnSurface(body, p, first, on_part);
  DensitiesAndMasses(
      body, s, p, K,
      [&](size_t j, size_t i, const double* values) {
        for (size_t o = 0; o < K; ++o) out(j, o) += tangent[layout.density + i] * values[o];
      },
      [&](size_t j, size_t q, const MasconTerms& t) {
        const double* c = &tangent[layout.positions + 3 * q];
        for (size_t o = 0; o < K; ++o)
          out(j, o) += tangent[layout.masses + q] * t.per_kg[o] + t.by_position[o][0] * c[0] +
                       t.by_position[o][1] * c[1] + t.by_position[o][2] * c[2];
      });
}

std::vector<double> FieldJacobian(const Body& body, const FieldRequest& request, const Points& p,
                                  size_t limit) {
  const ParameterLayout layout = LayoutOf(body);
  const size_t cols = layout.count, K = OutputsOf(request);
  if (p.n != 0 && cols > limit / (K * p.n))
    Refuse("the Jacobian of " + std::to_string(p.n) + " points by " + std::to_string(cols) +
           " parameters has more than " + std::to_string(limit) +
           " values: take products with vectors instead (the VJP and the JVP)");
  const Setting s = Prepare(body, request, p);
  std::vector<double> J(K * p.n * cols, 0);
  const auto at = [&](size_t j, size_t o, size_t c) -> double& {
    return J[(K * j + o) * cols + c];
  };
  EachPoint(
      body, s, p, K,
      [&](size_t j, size_t i, size_t v, const double(*d)[3]) {
        for (size_t o = 0; o < K; ++o)
          for (int a = 0; a < 3; ++a) at(j, o, layout.vertices[i] + 3 * v + a) += d[o][a];
      },
      [&](size_t j, size_t i, const double* values) {
        for (size_t o = 0; o < K; ++o) at(j, o, layout.density + i) = values[o];
      },
      [&](size_t j, size_t q, const MasconTerms& t) {
        for (size_t o = 0; o < K; ++o) {
          at(j, o, layout.masses + q) = t.per_kg[o];
          for (int a = 0; a < 3; ++a) at(j, o, layout.positions + 3 * q + a) = t.by_position[o][a];
        }
      });
  return J;
}

namespace {

// The normalised solid harmonics Q_nm (real and imaginary parts at
// shape::Index(n, m)) at (x, y, z), in units of the reference radius, by
// the recursions of the fully normalised functions: Q_mm from Q_{m-1,m-1},
// then Q_{m+1,m} and Q_nm from the two below, their factors made once.
class SolidRecursion {
 public:
  explicit SolidRecursion(int N)
      : N_(N), sector_(size_t(N) + 1), a_(shape::Index(N + 1, 0)), b_(a_.size()) {
    for (int m = 1; m <= N; ++m)
      sector_[size_t(m)] = m == 1 ? std::sqrt(3.0) : std::sqrt((2.0 * m + 1) / (2.0 * m));
    for (int m = 0; m <= N; ++m)
      for (int n = m + 1; n <= N; ++n) {
        const size_t k = shape::Index(n, m);
        if (n == m + 1) {
          a_[k] = std::sqrt(2.0 * m + 3);
          continue;
        }
        const double nm = double(n - m) * double(n + m);
        a_[k] = std::sqrt(double(2 * n - 1) * double(2 * n + 1) / nm);
        b_[k] = std::sqrt(double(2 * n + 1) * double(n + m - 1) * double(n - m - 1) /
                          (nm * double(2 * n - 3)));
      }
  }

  template <class T>
  void operator()(T x, T y, T z, T* re, T* im) const {
    const T u2 = x * x + y * y + z * z;
    T sector_re = 1, sector_im = 0;
    for (int m = 0; m <= N_; ++m) {
      if (m > 0) {
        const double c = sector_[size_t(m)];
        const T r = c * (x * sector_re - y * sector_im), i = c * (x * sector_im + y * sector_re);
        sector_re = r, sector_im = i;
      }
      size_t k = shape::Index(m, m);
      re[k] = sector_re, im[k] = sector_im;
      if (m == N_) break;
      size_t k1 = k;
      k = shape::Index(m + 1, m);
      re[k] = a_[k] * z * re[k1], im[k] = a_[k] * z * im[k1];
      for (int n = m + 2; n <= N_; ++n) {
        const size_t k2 = k1;
        k1 = k;
        k = shape::Index(n, m);
        re[k] = a_[k] * z * re[k1] - b_[k] * u2 * re[k2];
        im[k] = a_[k] * z * im[k1] - b_[k] * u2 * im[k2];
      }
    }
  }

 private:
  int N_;
  std::vector<double> sector_, a_, b_;
};

}  // namespace

void SolidHarmonicsAt(int N, double x, double y, double z, double* re, double* im) {
  const SolidRecursion harmonics(N);
  harmonics(x, y, z, re, im);
}

HarmonicsJacobian HarmonicsJacobianOf(const Body& body, const UnitsRequest& units,
                                      const HarmonicsRequest& request, size_t limit) {
  if (request.origin != HarmonicOrigin::kModel)
    Refuse(Quantity("origin") +
           ": the derivatives are about the model's origin (the centre of mass moves with the "
           "shape)");
  HarmonicsJacobian J;
  const ParameterLayout layout = LayoutOf(body);
  J.columns = layout.count;
  const int N = request.degree;
  CheckHarmonicsRequest(request);
  const size_t K = shape::Index(N + 1, 0), rows = 2 * K + 1;
  if (J.columns > limit / rows)
    Refuse("the Jacobian of " + std::to_string(rows) + " coefficients by " +
           std::to_string(J.columns) + " parameters has more than " + std::to_string(limit) +
           " values");
  J.value = HarmonicsOf(body, units, request);
  const Harmonics& h = J.value;
  const Units& u = h.units;
  const double R0 = h.reference_radius, cube = u.metres * u.metres * u.metres;
  // The densities the sums weigh the parts by, and the mass in their units.
  std::vector<double> density(body.PartCount());
  double M = 0;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    density[i] = u.Physical() ? PartUnits(body, i, u).density : 1;
    M += density[i] * body.part(i).Volume();
  }
  for (const Mascon& q : body.mascons()) M += q.mass / cube;
  const double gm_factor = u.Physical() ? u.G * cube : 1;
  // dI (C then S) and dM by column, then turned into the coefficients'.
  std::vector<double>& out = J.by_column;
  out.assign(rows * J.columns, 0);
  std::vector<double> dM(J.columns, 0);
  std::vector<double> gx, gw;
  const int q = N / 2 + 2;  // lambda Q on a facet: degree N + 1, and the map's (1 - s)
  layer::GaussLegendre(q, &gx, &gw);
  const SolidRecursion SolidHarmonics(N);
  // Facets a block at a time: their integrals on the threads, then added
  // to the vertices' columns in facet order, so that the sums are the same
  // bits for every thread count.
  constexpr size_t kBlock = 256;
  std::vector<double> integrals(kBlock * 3 * 2 * K), normals(kBlock * 3);
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    const auto& faces = part.model().faces;
    const std::vector<double>& corners = part.corners();
    const size_t F = part.model().FaceCount(), first = layout.vertices[i];
    for (size_t from = 0; from < F; from += kBlock) {
      const size_t count = std::min(kBlock, F - from);
      body.Team().MultiThreading(
          count,
          [&](unsigned t, unsigned m) {
            std::vector<double> re(K), im(K);
            for (size_t j = t; j < count; j += m) {
              const double* c = &corners[9 * (from + j)];
              const geometry::Vec A = geometry::At(c), B = geometry::At(c + 3),
                                  C = geometry::At(c + 6);
              const geometry::Vec normal = geometry::FacetNormal(A, B, C);  // 2 area long
              normals[3 * j] = normal.x, normals[3 * j + 1] = normal.y,
                          normals[3 * j + 2] = normal.z;
              double* acc = &integrals[j * 3 * 2 * K];
              std::fill(acc, acc + 3 * 2 * K, 0.0);
              for (int a = 0; a < q; ++a)
                for (int b = 0; b < q; ++b) {
                  // (s, t) = (x_a, x_b (1 - x_a)) on the triangle, weight (1 - s).
                  const double s = gx[size_t(a)], tt = gx[size_t(b)] * (1 - s);
                  const double w = gw[size_t(a)] * gw[size_t(b)] * (1 - s);
                  const double lambda[3] = {1 - s - tt, s, tt};
                  SolidHarmonics((A.x + s * (B.x - A.x) + tt * (C.x - A.x)) / R0,
                                 (A.y + s * (B.y - A.y) + tt * (C.y - A.y)) / R0,
                                 (A.z + s * (B.z - A.z) + tt * (C.z - A.z)) / R0, re.data(),
                                 im.data());
                  const double w0 = w * lambda[0], w1 = w * lambda[1], w2 = w * lambda[2];
                  double *r0 = acc, *r1 = acc + 2 * K, *r2 = acc + 4 * K;
                  for (size_t r = 0; r < K; ++r) {
                    const double qr = re[r], qi = im[r];
                    r0[r] += w0 * qr, r0[K + r] += w0 * qi, r1[r] += w1 * qr, r1[K + r] += w1 * qi;
                    r2[r] += w2 * qr, r2[K + r] += w2 * qi;
                  }
                }
            }
          },
          request.threads);
      // With the map's Jacobian 2 area, the normal's length, the facet's
      // integral of lambda_k Q times its unit normal is normal times the
      // sums; its integral of lambda_k is area / 3.
      for (size_t j = 0; j < count; ++j)
        for (int k = 0; k < 3; ++k) {
          const size_t v = faces[3 * (from + j) + size_t(k)];
          const double* row = &integrals[j * 3 * 2 * K + 2 * K * size_t(k)];
          for (int axis = 0; axis < 3; ++axis) {
            const size_t col = first + 3 * v + size_t(axis);
            const double scale = density[i] * normals[3 * j + size_t(axis)];
            double* o = &out[rows * col];
            for (size_t r = 0; r < 2 * K; ++r) o[r] += scale * row[r];
            dM[col] += scale / 6;
          }
        }
    }
    // The density's column: the part's own volume integrals, its own
    // coefficients times (2n + 1) and its volume.
    std::vector<HarmonicPart> alone = {{corners.data(), F, 1}};
    HarmonicsRequest own = request;
    own.reference_radius = R0;
    own.more = {};
    const Harmonics p = PartsHarmonics(alone, Units{}, own);
    const double V = part.Volume();
    const size_t col = layout.density + i;
    for (int n = 0; n <= N; ++n)
      for (int m = 0; m <= n; ++m) {
        const size_t k = shape::Index(n, m);
        out[rows * col + k] = (2 * n + 1) * V * p.Cnm(n, m);
        out[rows * col + K + k] = (2 * n + 1) * V * p.Snm(n, m);
      }
    dM[col] = V;
  }
  // Point masses: Q at each, and its gradient by complex steps.
  const auto& mascons = body.mascons();
  std::vector<double> re(K), im(K);
  std::vector<std::complex<double>> cre(K), cim(K);
  for (size_t j = 0; j < mascons.size(); ++j) {
    const Mascon& mq = mascons[j];
    const size_t col = layout.masses + j;
    SolidHarmonics(mq.x / R0, mq.y / R0, mq.z / R0, re.data(), im.data());
    for (size_t r = 0; r < K; ++r)
      out[rows * col + r] = re[r] / cube, out[rows * col + K + r] = im[r] / cube;
    dM[col] = 1 / cube;
    constexpr double kStep = 1e-30;
    for (int axis = 0; axis < 3; ++axis) {
      std::complex<double> x[3] = {mq.x / R0, mq.y / R0, mq.z / R0};
      x[axis] += std::complex<double>(0, kStep / R0);
      SolidHarmonics(x[0], x[1], x[2], cre.data(), cim.data());
      const size_t c = layout.positions + 3 * j + size_t(axis);
      for (size_t r = 0; r < K; ++r) {
        out[rows * c + r] = mq.mass / cube * cre[r].imag() / kStep;
        out[rows * c + K + r] = mq.mass / cube * cim[r].imag() / kStep;
      }
    }
  }
  // C_nm + i S_nm = I_nm / ((2n + 1) M): d(C) = dI / ((2n + 1) M) - C dM / M.
  for (size_t col = 0; col < J.columns; ++col) {
    double* o = &out[rows * col];
    for (int n = 0; n <= N; ++n)
      for (int m = 0; m <= n; ++m) {
        const size_t k = shape::Index(n, m);
        o[k] = o[k] / ((2 * n + 1) * M) - h.Cnm(n, m) * dM[col] / M;
        o[K + k] = o[K + k] / ((2 * n + 1) * M) - h.Snm(n, m) * dM[col] / M;
      }
    o[2 * K] = gm_factor * dM[col];
  }
  return J;
}

std::vector<double> PropagateShapeErrors(const mesh::Mesh& model, const ShapeErrors& e,
                                         const double* J, size_t rows, size_t row_stride,
                                         size_t col_stride, size_t first) {
  const size_t V = model.VertexCount();
  const bool full = !e.covariance.empty();
  if (full) {
    if (e.covariance.size() != V * V)
      Refuse(Quantity("covariance") + ": " + std::to_string(V) + " x " + std::to_string(V) +
             " values, one row and column per vertex");
    for (size_t i = 0; i < V; ++i) {
      if (!(e.covariance[i * V + i] >= 0) || !std::isfinite(e.covariance[i * V + i]))
        Refuse(Quantity("covariance") + ": the variance of vertex " + std::to_string(i) + ", " +
               ShortestDigits(e.covariance[i * V + i]) + ", is not a number 0 or more");
      for (size_t j = 0; j < i; ++j)
        if (!(std::fabs(e.covariance[i * V + j] - e.covariance[j * V + i]) <=
              1e-12 * (std::fabs(e.covariance[i * V + j]) + std::fabs(e.covariance[j * V + i]))))
          Refuse(Quantity("covariance") + ": not symmetric at vertices " + std::to_string(j) +
                 " and " + std::to_string(i));
    }
  } else {
    if (e.sigma.size() != V)
      Refuse(Quantity("sigma") + ": one per vertex (" + std::to_string(V) + "), not " +
             std::to_string(e.sigma.size()));
    for (size_t i = 0; i < V; ++i)
      if (!(e.sigma[i] >= 0) || !std::isfinite(e.sigma[i]))
        Refuse(Quantity("sigma") + ": vertex " + std::to_string(i) + "'s, " +
               ShortestDigits(e.sigma[i]) + ", is not a number 0 or more");
  }
  const auto at = [&](size_t r, size_t c) { return J[r * row_stride + c * col_stride]; };
  std::vector<double> cov(rows * rows, 0);
  if (!full && !e.along_normals) {
    for (size_t i = 0; i < V; ++i)
      for (size_t a = 0; a < 3; ++a) {
        const double var = e.sigma[i] * e.sigma[i];
        const size_t c = first + 3 * i + a;
        if (var == 0) continue;
        for (size_t r = 0; r < rows; ++r) {
          const double x = var * at(r, c);
          for (size_t q = 0; q <= r; ++q) cov[r * rows + q] += x * at(q, c);
        }
      }
  } else {
    // A = J N: the outputs' derivatives by each vertex's move along its
    // normal, rows x V.
    std::vector<double> normal(3 * V, 0);
    for (size_t f = 0; f < model.FaceCount(); ++f) {
      const geometry::Vec n = model.Normal(f);
      for (int k = 0; k < 3; ++k) {
        double* v = &normal[3 * size_t(model.faces[3 * f + k])];
        v[0] += n.x, v[1] += n.y, v[2] += n.z;
      }
    }
    std::vector<double> A(rows * V);
    for (size_t i = 0; i < V; ++i) {
      const double* n = &normal[3 * i];
      const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      for (size_t r = 0; r < rows; ++r) {
        double d = 0;
        if (length > 0)
          for (size_t a = 0; a < 3; ++a) d += at(r, first + 3 * i + a) * n[a] / length;
        A[r * V + i] = d;
      }
    }
    if (!full) {
      for (size_t i = 0; i < V; ++i) {
        const double var = e.sigma[i] * e.sigma[i];
        if (var == 0) continue;
        for (size_t r = 0; r < rows; ++r) {
          const double x = var * A[r * V + i];
          for (size_t q = 0; q <= r; ++q) cov[r * rows + q] += x * A[q * V + i];
        }
      }
    } else {
      // (A E) then times A^T.
      std::vector<double> AE(rows * V, 0);
      for (size_t r = 0; r < rows; ++r)
        for (size_t i = 0; i < V; ++i) {
          const double a = A[r * V + i];
          if (a == 0) continue;
          const double* row = &e.covariance[i * V];
          double* out = &AE[r * V];
          for (size_t j = 0; j < V; ++j) out[j] += a * row[j];
        }
      for (size_t r = 0; r < rows; ++r)
        for (size_t q = 0; q <= r; ++q) {
          double sum = 0;
          for (size_t j = 0; j < V; ++j) sum += AE[r * V + j] * A[q * V + j];
          cov[r * rows + q] = sum;
        }
    }
  }
  for (size_t r = 0; r < rows; ++r)
    for (size_t q = 0; q < r; ++q) cov[q * rows + r] = cov[r * rows + q];
  return cov;
}

}  // namespace science
