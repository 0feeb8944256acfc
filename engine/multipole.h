// The multipole moments of the tree engine (tree/tree.h): their harmonics,
// their layout in memory, and the truncation bound that sets their order.
//
// Harmonics (x scaled by the cell's radius a, u = x + iy, r^2 = |x|^2):
//   regular    R_n^m, the w^m coefficient of (z + w u/2 - u*/(2w))^n / n!,
//   irregular  I_0^0 = 1/r, I_m^m = (2m - 1) u I_{m-1}^{m-1} / r^2,
//              I_{m+1}^m = (2m + 1) z I_m^m / r^2,
//              I_n^m = ((2n - 1) z I_{n-1}^m - (n - 1 + m)(n - 1 - m) I_{n-2}^m) / r^2,
// with R^-m = (-1)^m conj(R^m), the same for I, and for |y| < |x|
//   1/|x - y| = sum_n sum_{m=-n..n} conj(R_n^m(y)) I_n^m(x).
// A cell's moment of density s is M_n^m = integral of s conj(R_n^m((y - c)/a))
// over its facets; the potential of the cell at x is then
//   (1/a) sum_n (M_n^0 I_n^0 + 2 Re sum_{m>0} M_n^m I_n^m)((x - c)/a).
//
// Moments are stored by column m, each column holding orders n = m .. P;
// each coefficient as eight doubles (real parts of the four densities, then
// imaginary parts); the factor 2 of m > 0 is folded into the stored values.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "engine/isa.h"

namespace multipole {

// The highest order moments are made to.
constexpr int kMaxOrder = 80;

// The index of coefficient (n, m) when the moments go to order P, and how
// many there are.
inline size_t Index(int n, int m, int P) {
  return size_t(m) * size_t(P + 1) - size_t(m) * size_t(m - 1) / 2 + size_t(n - m);
}
inline size_t Count(int P) {
  return size_t(P + 1) * size_t(P + 2) / 2;
}

// The truncation bound: for |y - c| <= a < r = |x - c| and rho = a/r,
//   |1/|x - y| - (terms to order p)| <= rho^(p + 1) / ((1 - rho) r),
// so a cell's expansion to order p misses its potential of density s by at
// most Q rho^(p + 1) / ((1 - rho) r), Q = integral of |s| over the cell.
// The smallest p with rho^(p + 1)/(1 - rho) <= eps (at least 1).
int Order(double rho, double eps);

}  // namespace multipole

namespace multipole {

// M2M by rotation: a cell's moments translated to another centre and radius
// in O(P^3). The frame is turned so that the shift lies along z (where the
// regular harmonics of the shift are those of m = 0 alone, and the
// translation keeps every m apart), shifted, and turned back. A turn about y
// by b is made of two fixed quarter turns about y and turns about z,
//   d^n(b)_{m'm} = i^(m - m') sum_k d^n(pi/2)_{m'k} d^n(pi/2)_{mk} e^(-i k b),
// applied to the moments in the basis in which the turns are orthogonal
// (M_n^m scaled by (-1)^m sqrt((n + m)! (n - m)!)). As every turned set of
// moments is that of real densities, only m >= 0 is kept: a quarter turn
// pairs the columns m and -m of d^n(pi/2).
class Translation {
 public:
  // The tables for moments stored to order P; the turns and the shift on
  // the lanes of `isa`.
  Translation(int P, const kernel::Isa& isa);
  int order() const { return P_; }
  // Adds the moments S (about centre `from` scaled by radius a_from; stored
  // as multipole.h says, factor 2 of m > 0 folded in) translated to the
  // centre `to` and radius a_to into M, stored alike. Scratch space is the
  // caller's (one per thread).
  void Add(const double* S, const double from[3], double a_from, const double to[3], double a_to,
           double* M, std::vector<double>* scratch) const;

 private:
  int P_;
  const kernel::Isa* isa_;
  // Per degree n, at n (n + 1)(2n + 1)/6, for m, then m' = 0 .. n: the
  // quarter turn's factor of the pair (of the real parts when n + m + m' is
  // even, else of the imaginary parts).
  std::vector<double> turn_;
  // sqrt((n + m)! (n - m)!) at n (n + 1) / 2 + m, and 1/k!.
  std::vector<double> scale_, inv_scale_, inv_fact_;
};

}  // namespace multipole
