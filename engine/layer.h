// The single layer of a linear density on a triangle, in closed form: for
// the triangle's three hat functions lambda_k (1 at corner k, 0 at the
// others, linear between), S_k(p) = integral over the triangle of
// lambda_k(r) / |p - r| dS and its gradient in p. These are what a shape
// derivative of the field of a homogeneous polyhedron is made of: moving
// the vertices of a facet by d_k (linearly over it) changes the potential
// by G rho n . sum_k d_k S_k and the attraction by G rho sum_k (n . d_k)
// grad S_k, n the facet's unit outward normal.
//
// With rho the foot of p in the facet's plane, h = n . (A - p), the edge
// logarithms L_e = ln((R_a + R_b + l)/(R_a + R_b - l)), the outward edge
// normals m_e (in the plane), t_e = m_e . (corner - p), the signed solid
// angle w (the sign of h) and the uniform layer I = sum t_e L_e - h w:
//   S_k = lambda_k(rho) I + grad lambda_k . sum_e m_e (integral over e of R)
//   grad S_k = n (lambda_k(rho) w - h grad lambda_k . sum_e m_e L_e)
//              + grad lambda_k I - sum_e m_e (integral over e of lambda_k / R),
// every edge integral in closed form (the surface integrals turned into
// edge integrals by the divergence theorem in the facet's plane), and the
// second derivatives of S_k from the gradients of L_e, of the solid angle
// (sum_e K_e d_e x u_e, d_e the way from p to edge e's line, u_e its unit
// vector) and of the edge integrals. The gravity gradient tensor's shape
// derivative is G rho sum_k (n . d_k) of these. Beyond a facet's size from
// it, where the closed forms would lose digits to cancellation, the
// moments come from a Gauss product rule on the triangle, exact to the
// rounding there (layer.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace layer {

struct Moments {
  double S[3];        // S_k, length units
  double grad[3][3];  // grad S_k: [k][x, y, z], no unit
  // The second derivatives d^2 S_k / dp_i dp_j: [k][i][j], per length unit.
  double hessian[3][3][3];
  double normal[3];  // the facet's unit outward normal (0 for no area)
  // p lies on the closed triangle (to the rounding of the coordinates):
  // S_k is the limit there, its derivatives are not (grad S_k jumps across
  // the facet).
  bool on_facet = false;
};

// What a triangle's moments need of it alone, made once for all points:
// corners, unit normal and twice its area, the hat functions' gradients,
// the edges' unit vectors, outward normals and lengths.
struct Triangle {
  double P[9], n[3], area2, grad_lambda[9], u[9], m[9], l[3], gradient_size;
};
void Prepare(const double* abc, Triangle* t);
void Linear(const Triangle& t, const double p[3], int order, Moments* out);

// The moments of the triangle abc (nine doubles, counter-clockwise seen
// from outside) at p, to the order asked: 0 S_k alone, 1 also grad S_k,
// 2 also the second derivatives (the others left unset). A triangle of no
// area has moments 0.
void Linear(const double* abc, const double p[3], int order, Moments* out);

// Points in the order of a space-filling curve through them, in blocks of
// eight (the last padded with copies of the last point), as the products
// of the shape derivatives with many points take them: every block of
// points far from a triangle is summed with the triangle's Gauss nodes in
// vector lanes, with the rule its nearest point needs (the fewest nodes
// that keep the sums within about an ulp); the blocks within a triangle's
// size of it take the closed forms point by point, as Linear does.
class CurvePoints {
 public:
  CurvePoints(size_t n, const double* x, const double* y, const double* z);
  size_t n = 0, blocks = 0;
  std::vector<double> x, y, z;
  std::vector<size_t> index;  // each point's own index (n for padding)
  // The blocks [first, last) by the rule of their nearest point for t:
  // lists[r] for rule r, the last for the closed forms.
  void Classify(const Triangle& t, size_t first, size_t last, std::vector<uint32_t>* lists) const;
};

// The weighted sums of the moments over many points, for a product of the
// shape derivatives with weights on the outputs: for a triangle,
//   c_k = sum_j fa a_j S_k(p_j) + fb b_j . grad S_k(p_j)
//         + fc sum_o c_j,o d^2 S_k / dp_o(p_j),
// o over the six pairs xx, xy, xz, yy, yz, zz (each once). That is the
// integral over the triangle of lambda_k times the potential of the points
// as sources (monopoles a, dipoles b, quadrupoles c). The sums do not
// depend on how the triangles are divided over threads.
class Adjoint {
 public:
  // n points (three columns), their weights a (n values), b (3n: x, y, z
  // per point) and c (6n), each null for none. The arrays are copied.
  Adjoint(size_t n, const double* x, const double* y, const double* z, const double* a,
          const double* b, const double* c);
  // The sums c_k of triangle t, the factors f of a, b and c. A point on the
  // triangle with a weight on b or c (where grad S_k jumps) adds nothing
  // and lowers *on_facet to its index, if lower.
  void Sums(const Triangle& t, const double f[3], double sum[3], size_t* on_facet) const;

 private:
  CurvePoints points_;
  bool tensor_ = false;
  // In the curve's order, 0 for padding: a, b (three columns), c (six),
  // and the order of the derivatives each point needs.
  std::vector<double> a_, b_[3], c_[6];
  std::vector<char> order_;
};

// The other way: at many points, sum over triangles f and corners k of
// sigma_f,k S_k(p), its gradient and (with the tensor) its second
// derivatives, for corner densities sigma (a move of the corners along the
// normal). The points are dealt in groups, each group's sums made in the
// triangles' order whatever thread makes them.
class Forward {
 public:
  Forward(size_t n, const double* x, const double* y, const double* z, bool tensor);
  size_t Groups() const { return (points_.blocks + kGroup - 1) / kGroup; }
  // Adds, at the points of `group`, f[0] times the sum of sigma_k S_k into
  // U[j], f[1] times that of sigma_k grad S_k into g[3j ..] and, with the
  // tensor, f[2] times that of the second derivatives into T[6j ..] (xx,
  // xy, xz, yy, yz, zz), j the point's own index, for every triangle
  // (sigma[3f + k] its corners'; a triangle of no density is passed by). A
  // point on a triangle lowers *on_facet to its index, if lower.
  void Add(size_t group, const std::vector<Triangle>& triangles, const double* sigma,
           const double f[3], double* U, double* g, double* T, size_t* on_facet) const;

 private:
  static constexpr size_t kGroup = 16;  // blocks
  CurvePoints points_;
  bool tensor_ = false;
};

// Gauss-Legendre nodes and weights on [0, 1], q of them (exact to degree
// 2q - 1), by Newton's iteration on P_q.
void GaussLegendre(int q, std::vector<double>* x, std::vector<double>* w);

}  // namespace layer
