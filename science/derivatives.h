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
#include "science/harmonics.h"
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
// counts). Every facet meets every point: the points far from a facet as
// sources summed at its Gauss nodes in vector lanes, the near ones by the
// closed forms (layer::Adjoint); memory of the model's and the points'
// size, and one field evaluation per part (and one of the tensor with T's
// weights). Refuses a point on a part's surface that weighs on g or T (the
// attraction's derivatives jump there; the potential's are the limit), and
// one at a point mass.
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

// The Stokes coefficients' derivatives by every parameter (LayoutOf's
// order), about the model's origin at a fixed reference radius (the one
// asked for, or the Brillouin radius of the body as it is, held fixed).
// With M the mass and Q_nm = (r/R0)^n Pbar_nm(sin phi) e^{im lambda}, a
// polynomial of degree n, C_nm + i S_nm = I_nm / ((2n + 1) M) where I_nm
// sums each part's density times its volume integral of Q_nm and each
// point mass's mass times Q_nm at it; a vertex moves I_nm by the density
// times sum_f n_f (integral over f of lambda_i Q_nm) (a polynomial of
// degree n + 1 on the facet, integrated exactly by a Gauss product rule)
// and M likewise by sum_f n_f area_f / 3; a point mass's position by its
// mass times grad Q_nm (a complex step: exact for a polynomial). The
// coefficients, their origin and units are those of HarmonicsOf(body).
struct HarmonicsJacobian {
  Harmonics value;
  size_t columns = 0;
  // Per parameter (column), the derivatives of C_nm and S_nm at
  // shape::Index(n, m) (C then S, Index(N + 1, 0) of each) and of GM last:
  // rows() doubles a column, column c's from rows() c.
  std::vector<double> by_column;
  size_t Coefficients() const { return size_t(value.degree + 1) * size_t(value.degree + 2) / 2; }
  size_t rows() const { return 2 * Coefficients() + 1; }
};
// Refuses the centre of mass as the origin (it moves with the shape) and
// what HarmonicsOf refuses; at most `limit` values.
HarmonicsJacobian HarmonicsJacobianOf(const Body& body, const UnitsRequest& units,
                                      const HarmonicsRequest& request,
                                      size_t limit = kJacobianLimit);

// The normalised solid harmonics Q_nm = u^n Pbar_nm(sin phi) e^{im lambda}
// at (x, y, z) in units of the reference radius (u = r / R0): real and
// imaginary parts at shape::Index(n, m), n <= N.
void SolidHarmonicsAt(int N, double x, double y, double z, double* re, double* im);

// Errors of a part's vertex positions (model units), independent between
// vertices unless a covariance is given: `sigma` one per vertex, in each
// coordinate or, `along_normals`, along the vertex's normal (the
// area-weighted mean of its facets' normals); or `covariance` (V x V,
// row-major) of the displacements along the normals.
struct ShapeErrors {
  std::vector<double> sigma;
  bool along_normals = true;
  std::vector<double> covariance;
};
// The first-order covariance A E A^T (rows x rows, row-major) of outputs
// whose Jacobian by the part's vertex coordinates is J (J(r, c) =
// J[r row_stride + c col_stride], vertex i's coordinates at the columns
// first + 3i ..), E the errors' covariance. Refuses sigmas that are
// negative or not numbers and a covariance of the wrong size, not
// symmetric or with a negative variance.
std::vector<double> PropagateShapeErrors(const mesh::Mesh& model, const ShapeErrors& errors,
                                         const double* J, size_t rows, size_t row_stride,
                                         size_t col_stride, size_t first);

}  // namespace science
