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

// Gauss-Legendre nodes and weights on [0, 1], q of them (exact to degree
// 2q - 1), by Newton's iteration on P_q.
void GaussLegendre(int q, std::vector<double>* x, std::vector<double>* w);

}  // namespace layer
