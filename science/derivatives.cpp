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

std::string PointText(const Points& p, size_t j) {
  return "row " + std::to_string(j) + " (" + ShortestDigits(p.x[j]) + ", " +
         ShortestDigits(p.y[j]) + ", " + ShortestDigits(p.z[j]) + ")";
}

// What every product needs: the request's checks, the units, and the
// factors of each part: U and g per model unit of the part's integrals,
// and per unit of its density.
struct Setting {
  Units units;
  std::vector<double> fU, fg, dU, dg;  // per part
  unsigned threads = 1;
};

Setting Prepare(const Body& body, const FieldRequest& request, const Points& p) {
  Validate(request, body);
  if (request.gradient) Refuse(Quantity("gradient") + ": the tensor's derivatives are not given");
  if (request.evaluation.Tolerance() > 0)
    Refuse(Quantity("tolerance") + ": derivatives are exact (no tolerance)");
  if (request.evaluation.check) RequireFit(body);
  for (size_t j = 0; j < p.n; ++j)
    if (!(std::isfinite(p.x[j]) && std::isfinite(p.y[j]) && std::isfinite(p.z[j])))
      Refuse(Quantity("points") + ": " + PointText(p, j) + " is not three finite numbers x y z");
  Setting s;
  s.units = Resolve(request.units, body);
  s.threads = request.evaluation.Threads();
  const double m = s.units.metres, G = s.units.G;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Units u = PartUnits(body, i, s.units);
    s.fU.push_back(u.PotentialFactor());
    s.fg.push_back(u.AttractionFactor());
    s.dU.push_back(s.units.Physical() ? G * m * m : 1);
    s.dg.push_back(s.units.Physical() ? G * m : 1);
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

// The part's U and g at the points (model units, G rho = 1), exact.
void PartField(const Part& part, const Points& p, unsigned threads, std::vector<double>* U,
               std::vector<double>* g) {
  U->assign(p.n, 0);
  std::vector<double> gx(p.n), gy(p.n), gz(p.n);
  EvaluateOptions o;
  o.tolerance = 0;
  o.threads = threads;
  part.Field(p.n, p.x, p.y, p.z, {U->data(), gx.data(), gy.data(), gz.data()}, o);
  g->resize(3 * p.n);
  for (size_t j = 0; j < p.n; ++j)
    (*g)[3 * j] = gx[j], (*g)[3 * j + 1] = gy[j], (*g)[3 * j + 2] = gz[j];
}

// The point mass's U and g at p and their derivatives: with d = p - q
// (model units), r = |d| and M metres a model unit, U = G m / (M r) and
// g = -G m d / (M^2 r^3); per model unit of q, dU/dq = G m d / (M r^3) and
// dg/dq = G m (I / r^3 - 3 d d^T / r^5) / M^2.
struct MasconTerms {
  double U_m, g_m[3], U_q[3], g_q[3][3];
};
MasconTerms MasconAt(const Mascon& q, double G, double M, double x, double y, double z) {
  MasconTerms t;
  const double d[3] = {x - q.x, y - q.y, z - q.z};
  const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2], r = std::sqrt(r2);
  const double r3 = r2 * r;
  t.U_m = G / (M * r);
  for (int a = 0; a < 3; ++a) {
    t.g_m[a] = -G * d[a] / (M * M * r3);
    t.U_q[a] = q.mass * G * d[a] / (M * r3);
    for (int b = 0; b < 3; ++b)
      t.g_q[a][b] = G * q.mass * ((a == b ? 1 / r3 : 0) - 3 * d[a] * d[b] / (r3 * r2)) / (M * M);
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
  const auto wU = [&](size_t j) { return w.U ? w.U[j] : 0.0; };
  const auto wg = [&](size_t j, int a) { return w.g ? w.g[3 * j + a] : 0.0; };
  std::vector<char> weighs_g(p.n, 0);
  bool any_g = false;
  for (size_t j = 0; j < p.n; ++j)
    any_g |= weighs_g[j] = wg(j, 0) != 0 || wg(j, 1) != 0 || wg(j, 2) != 0;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& part = body.part(i);
    const mesh::Mesh& model = part.model();
    const size_t F = model.FaceCount();
    const std::vector<double>& corners = part.corners();
    // Per facet and corner, the weighted sum over the points of n . (the
    // displacement's effect): the vertex's gradient is n times it.
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
              layer::Linear(&corners[9 * f], q, any_g, &M);
              if (M.on_facet && weighs_g[j]) {
                surface[t] = std::min(surface[t], j);
                continue;
              }
              for (int k = 0; k < 3; ++k) {
                c[k] += s.fU[i] * wU(j) * M.S[k];
                if (weighs_g[j])
                  c[k] += s.fg[i] * (wg(j, 0) * M.grad[k][0] + wg(j, 1) * M.grad[k][1] +
                                     wg(j, 2) * M.grad[k][2]);
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
    std::vector<double> U, gv;
    PartField(part, p, s.threads, &U, &gv);
    double d = 0;
    for (size_t j = 0; j < p.n; ++j)
      d += s.dU[i] * wU(j) * U[j] +
           s.dg[i] * (wg(j, 0) * gv[3 * j] + wg(j, 1) * gv[3 * j + 1] + wg(j, 2) * gv[3 * j + 2]);
    grad[layout.density + i] = d;
  }
  const auto& mascons = body.mascons();
  for (size_t q = 0; q < mascons.size(); ++q)
    for (size_t j = 0; j < p.n; ++j) {
      const MasconTerms t = MasconAt(mascons[q], s.units.G, s.units.metres, p.x[j], p.y[j], p.z[j]);
      double dm = wU(j) * t.U_m;
      for (int a = 0; a < 3; ++a) {
        dm += wg(j, a) * t.g_m[a];
        double dq = wU(j) * t.U_q[a];
        for (int b = 0; b < 3; ++b) dq += wg(j, b) * t.g_q[b][a];
        grad[layout.positions + 3 * q + a] += dq;
      }
      grad[layout.masses + q] += dm;
    }
  return grad;
}

namespace {

// Row j of the Jacobian (U, gx, gy, gz by every parameter) through
// `visit(j, part, vertex, dU/dv (3), dg/dv (3 x 3: [g axis][v axis]))` for
// every vertex of every facet, the density and point-mass columns through
// the others; points in parallel.
template <class Vertex, class Rest>
void EachPoint(const Body& body, const Setting& s, const Points& p, const Vertex& vertex,
               const Rest& rest) {
  std::vector<size_t> surface(s.threads, kNone);
  std::vector<size_t> surface_part(s.threads, 0);
  body.Team().MultiThreading(
      p.n,
      [&](unsigned t, unsigned m) {
        layer::Moments M;
        for (size_t j = t; j < p.n; j += m) {
          const double q[3] = {p.x[j], p.y[j], p.z[j]};
          for (size_t i = 0; i < body.PartCount() && surface[t] == kNone; ++i) {
            const Part& part = body.part(i);
            const std::vector<double>& corners = part.corners();
            const auto& faces = part.model().faces;
            for (size_t f = 0; f < part.model().FaceCount(); ++f) {
              layer::Linear(&corners[9 * f], q, true, &M);
              if (M.on_facet) {
                surface[t] = j, surface_part[t] = i;
                break;
              }
              for (int k = 0; k < 3; ++k) {
                double dU[3], dg[3][3];
                for (int a = 0; a < 3; ++a) {
                  dU[a] = s.fU[i] * M.normal[a] * M.S[k];
                  for (int b = 0; b < 3; ++b) dg[b][a] = s.fg[i] * M.normal[a] * M.grad[k][b];
                }
                vertex(j, i, faces[3 * f + k], dU, dg);
              }
            }
          }
          if (surface[t] != kNone) return;
        }
      },
      s.threads);
  size_t first = kNone, part = 0;
  for (size_t t = 0; t < surface.size(); ++t)
    if (surface[t] < first) first = surface[t], part = surface_part[t];
  if (first != kNone) OnSurface(body, p, first, part);
  for (size_t i = 0; i < body.PartCount(); ++i) {
    std::vector<double> U, g;
    PartField(body.part(i), p, s.threads, &U, &g);
    for (size_t j = 0; j < p.n; ++j)
      rest.density(j, i, s.dU[i] * U[j], s.dg[i] * g[3 * j], s.dg[i] * g[3 * j + 1],
                   s.dg[i] * g[3 * j + 2]);
  }
  const auto& mascons = body.mascons();
  for (size_t q = 0; q < mascons.size(); ++q)
    for (size_t j = 0; j < p.n; ++j)
      rest.mascon(j, q, MasconAt(mascons[q], s.units.G, s.units.metres, p.x[j], p.y[j], p.z[j]));
}

}  // namespace

void FieldJvp(const Body& body, const FieldRequest& request, const Points& p,
              const std::vector<double>& tangent, double* dU, double* dg) {
  const Setting s = Prepare(body, request, p);
  const ParameterLayout layout = LayoutOf(body);
  if (tangent.size() != layout.count)
    Refuse("a change of " + std::to_string(tangent.size()) + " parameters for a body of " +
           std::to_string(layout.count));
  std::fill(dU, dU + p.n, 0.0);
  std::fill(dg, dg + 3 * p.n, 0.0);
  struct Rest {
    const std::vector<double>& tangent;
    const ParameterLayout& layout;
    double *dU, *dg;
    void density(size_t j, size_t i, double U, double gx, double gy, double gz) const {
      const double d = tangent[layout.density + i];
      dU[j] += d * U, dg[3 * j] += d * gx, dg[3 * j + 1] += d * gy, dg[3 * j + 2] += d * gz;
    }
    void mascon(size_t j, size_t q, const MasconTerms& t) const {
      const double m = tangent[layout.masses + q];
      const double* dq = &tangent[layout.positions + 3 * q];
      dU[j] += m * t.U_m;
      for (int a = 0; a < 3; ++a) {
        dU[j] += t.U_q[a] * dq[a];
        dg[3 * j + a] += m * t.g_m[a];
        for (int b = 0; b < 3; ++b) dg[3 * j + a] += t.g_q[a][b] * dq[b];
      }
    }
  };
  EachPoint(
      body, s, p,
      [&](size_t j, size_t i, size_t v, const double* U, const double(*g)[3]) {
        const double* d = &tangent[layout.vertices[i] + 3 * v];
        dU[j] += U[0] * d[0] + U[1] * d[1] + U[2] * d[2];
        for (int b = 0; b < 3; ++b)
          dg[3 * j + b] += g[b][0] * d[0] + g[b][1] * d[1] + g[b][2] * d[2];
      },
      Rest{tangent, layout, dU, dg});
}

std::vector<double> FieldJacobian(const Body& body, const FieldRequest& request, const Points& p,
                                  size_t limit) {
  const ParameterLayout layout = LayoutOf(body);
  const size_t cols = layout.count;
  if (p.n != 0 && cols > limit / (4 * p.n))
    Refuse("the Jacobian of " + std::to_string(p.n) + " points by " + std::to_string(cols) +
           " parameters has more than " + std::to_string(limit) +
           " values: take products with a vector instead (field_vjp, field_jvp)");
  const Setting s = Prepare(body, request, p);
  std::vector<double> J(4 * p.n * cols, 0);
  struct Rest {
    std::vector<double>& J;
    const ParameterLayout& layout;
    size_t cols;
    void density(size_t j, size_t i, double U, double gx, double gy, double gz) const {
      double* c = &J[4 * j * cols + layout.density + i];
      c[0] = U, c[cols] = gx, c[2 * cols] = gy, c[3 * cols] = gz;
    }
    void mascon(size_t j, size_t q, const MasconTerms& t) const {
      double* row = &J[4 * j * cols];
      row[layout.masses + q] = t.U_m;
      for (int a = 0; a < 3; ++a) {
        row[(a + 1) * cols + layout.masses + q] = t.g_m[a];
        row[layout.positions + 3 * q + a] = t.U_q[a];
        for (int b = 0; b < 3; ++b)
          row[(a + 1) * cols + layout.positions + 3 * q + b] = t.g_q[a][b];
      }
    }
  };
  EachPoint(
      body, s, p,
      [&](size_t j, size_t i, size_t v, const double* U, const double(*g)[3]) {
        double* row = &J[4 * j * cols + layout.vertices[i] + 3 * v];
        for (int a = 0; a < 3; ++a) {
          row[a] += U[a];
          for (int b = 0; b < 3; ++b) row[(b + 1) * cols + a] += g[b][a];
        }
      },
      Rest{J, layout, cols});
  return J;
}

}  // namespace science
