// The volume integrals of the solid harmonics over the tetrahedra (origin,
// A, B, C) of a model's facets, exact, by the simplex rule's generating
// function; several facets at a time in the lanes of a vector.
//
// With u = x + iy and the Laurent vector zeta(w) = ((w - 1/w)/2, i(w + 1/w)/2, 1),
//   (zeta . x)^n / n! = sum_m w^m R_n^m(x),  R_n^m = r^n P_nm(sin phi) e^{im lambda} / (n + m)!
// (P_nm the associated Legendre function without the Condon-Shortley phase),
// and over a tetrahedron T = (0, A, B, C) of volume V
//   integral of (zeta . x)^n = 6 V n! / (n + 3)! h_n(zeta . A, zeta . B, zeta . C),
// h_n the complete homogeneous polynomial of degree n (the origin's term is
// 0). h_n(a0, a1, a2) comes from three chains, G0_n = a0 G0_{n-1},
// G1_n = a1 G1_{n-1} + G0_n, G2_n = a2 G2_{n-1} + G1_n, each a Laurent
// polynomial in w whose coefficients obey c_{-m} = (-1)^m conj(c_m), so only
// m >= 0 is kept. The coefficient of w^m at degree n is carried multiplied
// by sqrt((n - m)! (n + m)!) / n!: with the coordinates scaled by s (every
// vertex within distance s of the origin) it is then at most
// (n + 1)(n + 2)(n + 3) / 6 in magnitude, at any degree (the average of a
// normalised solid harmonic over the tetrahedron is at most 1), where the
// unscaled factorials would overflow past degree 85.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/kernel.h"

namespace science::shape {

// Index of (n, m), 0 <= m <= n, with n ascending then m.
inline size_t Index(int n, int m) {
  return size_t(n) * size_t(n + 1) / 2 + size_t(m);
}

// The recursion's factors for one degree limit, and the scratch of one
// thread.
class Integrals {
 public:
  // The vectors of `simd` (the suite's choice unless a test asks for
  // another); the bits do not depend on it.
  explicit Integrals(int degree, kernel::Simd simd = kernel::Best());
  int degree() const { return degree_; }
  // Coefficients (n, m) for n <= degree.
  size_t Count() const { return Index(degree_ + 1, 0); }

  // out[2k], out[2k + 1] (k = Index(n, m)): the real and imaginary parts of
  //   sum over facets f < count of weight V_f T_n^m(f),
  // T_n^m = sqrt((n - m)! (n + m)!) / n! times the coefficient of w^m of
  // h_n(zeta . A, zeta . B, zeta . C), and V_f = A . (B x C) / 6, with the
  // coordinates (corners: nine a facet, A, B, C) taken from `origin` and
  // multiplied by inv_scale. `out` is overwritten. The result depends on
  // the facets and their order only: not on the instruction set, nor on
  // which thread calls.
  void Sum(const double* corners, size_t count, const double origin[3], double inv_scale,
           double weight, double* out);

 private:
  int degree_;
  kernel::Simd simd_;
  // For each (n, m) with n >= 1, three factors of the step from degree
  // n - 1: of alpha c^{m-1}, of b c^m and of -conj(alpha) c^{m+1}.
  std::vector<double> step_;
  std::vector<double> lanes_;  // eight-lane sums of every coefficient
  std::vector<double> chain_;  // the three chains' coefficients, per lane
};

}  // namespace science::shape
