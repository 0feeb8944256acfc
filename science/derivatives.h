// Exact derivatives of a body's field at points with respect to its
// parameters: every vertex coordinate of every part, every part's density,
// every point mass's position and mass. The field is linear in the
// densities and masses; for the shape, moving the surface changes the
// volume integral by the surface integral of the integrand times the
// normal displacement, so with the displacement linear over each facet
//   dU/dv_i = G rho sum over the facets f around vertex i of n_f S_f,i(p),
//   dg/dv_i = G rho sum over the same of n_f (x) grad S_f,i(p),
// S_f,i the single layer of facet f's hat function of vertex i
// (engine/layer.h), each in closed form. Derivatives are at fixed
// densities, whatever the units were given as (a mass or GM fixes the
// density from the model's volume once).
//
// Every vertex of a part moves the part's facets alone: a vertex shared by
// two parts (a core touching its mantle) is a parameter of each.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "science/body.h"
#include "science/request.h"

namespace science {

// Where each parameter lies in a flat vector of them: part p's vertex
// coordinates (x, y, z of vertex i at 3i, model units) from vertices[p],
// part p's density (kg/m^3; in the G rho = 1 convention the factor the
// density is multiplied by) at density + p, point mass q's position (model
// units) from positions + 3q and its mass (kg) at masses + q.
struct ParameterLayout {
  std::vector<size_t> vertices;
  size_t density = 0, positions = 0, masses = 0, count = 0;
};
ParameterLayout LayoutOf(const Body& body);

// Points: n of them, as three columns, in model units.
struct Points {
  size_t n = 0;
  const double *x = nullptr, *y = nullptr, *z = nullptr;
};

// Weights on the outputs at the points: U (n values), g (x, y, z per
// point, 3n values) and the tensor T (xx, xy, xz, yy, yz, zz per point, 6n
// values); a null array weighs nothing.
struct FieldWeights {
  const double* U = nullptr;
  const double* g = nullptr;
  const double* T = nullptr;
};

// The outputs a point has in the Jacobian: U, gx, gy, gz and, with the
// tensor, xx, xy, xz, yy, yz, zz.
inline size_t OutputsOf(const FieldRequest& request) {
  return request.gradient ? 10 : 4;
}

// The vector-Jacobian product: the gradient of sum_j wU_j U(p_j) + wg_j .
// g(p_j) + wT_j . T(p_j) with respect to every parameter (LayoutOf's
// order), in the request's units per model unit of length, per kg/m^3 and
// per kg (the request's `gradient` is not needed: the weights say what
// counts). One pass over the facets and points (as one field evaluation,
// with a few times its arithmetic) and one field evaluation per part (and
// one of the tensor with T's weights). Refuses a point on a part's surface
// that weighs on g or T (the attraction's derivatives jump there; the
// potential's are the limit), and one at a point mass.
std::vector<double> FieldVjp(const Body& body, const FieldRequest& request, const Points& points,
                             const FieldWeights& weights);

// The Jacobian-vector product: the change of U (n values), g (3n) and,
// with the request's `gradient`, T (6n) at the points for a change
// `tangent` of the parameters (LayoutOf's order). Refuses a point on a
// part's surface or at a point mass.
void FieldJvp(const Body& body, const FieldRequest& request, const Points& points,
              const std::vector<double>& tangent, double* dU, double* dg, double* dT = nullptr);

// The full Jacobian, row-major: K n rows (K = OutputsOf(request); point j's
// at rows K j .. K j + K - 1) by LayoutOf(body).count columns; at most
// `limit` values (kBadValue beyond: a VJP or JVP serves a large problem).
// Refuses as FieldJvp does.
constexpr size_t kJacobianLimit = size_t{1} << 28;
std::vector<double> FieldJacobian(const Body& body, const FieldRequest& request,
                                  const Points& points, size_t limit = kJacobianLimit);

}  // namespace science
