// Exact derivatives of a body's field at points (derivatives.h).
#include "science/derivatives.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/failure.h"
#include "common/print.h"
#include "engine/layer.h"

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
  std::vector<char> order(p.n, 0);  // of the derivatives point j needs
  int most = 0;
  for (size_t j = 0; j < p.n; ++j) {
    for (int o = 1; o < 10; ++o)
      if (weight(j, o) != 0) order[j] = std::max<char>(order[j], o < 4 ? 1 : 2);
    most = std::max<int>(most, order[j]);
  }
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
    body.Team().MultiThreading(
        F,
        [&](unsigned t, unsigned m) {
          layer::Moments M;
          for (size_t f = t; f < F; f += m) {
            double c[3] = {0, 0, 0};
            for (size_t j = 0; j < p.n; ++j) {
              const double q[3] = {p.x[j], p.y[j], p.z[j]};
              layer::Linear(&corners[9 * f], q, order[j], &M);
              if (M.on_facet && order[j] > 0) {
                surface[t] = std::min(surface[t], j);
                continue;
              }
              for (int k = 0; k < 3; ++k) {
                c[k] += s.fU[i] * weight(j, 0) * M.S[k];
                if (order[j] > 0)
                  for (int a = 0; a < 3; ++a) c[k] += s.fg[i] * weight(j, 1 + a) * M.grad[k][a];
                if (order[j] > 1)
                  for (int o = 0; o < 6; ++o)
                    c[k] += s.fT[i] * weight(j, 4 + o) * M.hessian[k][kPair[o][0]][kPair[o][1]];
              }
            }
            for (int k = 0; k < 3; ++k) along[3 * f + k] = c[k], normal[3 * f + k] = M.normal[k];
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
    const PartValues v = PartField(part, p, s.threads, most > 1);
    double d = 0;
    for (size_t j = 0; j < p.n; ++j) {
      d += s.dU[i] * weight(j, 0) * v.U[j];
      for (int a = 0; a < 3; ++a) d += s.dg[i] * weight(j, 1 + a) * v.g[3 * j + a];
      if (most > 1)
        for (int o = 0; o < 6; ++o) d += s.dT[i] * weight(j, 4 + o) * v.T[6 * j + o];
    }
    grad[layout.density + i] = d;
  }
  const auto& mascons = body.mascons();
  for (size_t q = 0; q < mascons.size(); ++q)
    for (size_t j = 0; j < p.n; ++j) {
      const MasconTerms t = MasconAt(mascons[q], s.units.G, s.units.metres, p.x[j], p.y[j], p.z[j]);
      for (int o = 0; o < 10; ++o) {
        const double wo = weight(j, o);
        if (wo == 0) continue;
        grad[layout.masses + q] += wo * t.per_kg[o];
        for (int a = 0; a < 3; ++a) grad[layout.positions + 3 * q + a] += wo * t.by_position[o][a];
      }
    }
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
  body.Team().MultiThreading(
      p.n,
      [&](unsigned t, unsigned m) {
        layer::Moments M;
        double d[10][3];
        for (size_t j = t; j < p.n && surface[t] == kNone; j += m) {
          const double q[3] = {p.x[j], p.y[j], p.z[j]};
          for (size_t i = 0; i < body.PartCount() && surface[t] == kNone; ++i) {
            const Part& part = body.part(i);
            const std::vector<double>& corners = part.corners();
            const auto& faces = part.model().faces;
            for (size_t f = 0; f < part.model().FaceCount(); ++f) {
              layer::Linear(&corners[9 * f], q, order, &M);
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
  EachPoint(
      body, s, p, K,
      [&](size_t j, size_t i, size_t v, const double(*d)[3]) {
        const double* c = &tangent[layout.vertices[i] + 3 * v];
        for (size_t o = 0; o < K; ++o)
          out(j, o) += d[o][0] * c[0] + d[o][1] * c[1] + d[o][2] * c[2];
      },
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

}  // namespace science
