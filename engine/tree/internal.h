// What the tree engine's units share: the median split of the source and
// the target trees, the threaded loop, a chunk's facet fields, and the
// moments (moments.cpp) the model's own expansion makes as the cells do,
// with the order rules the evaluation takes them by.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/kernel.h"
#include "engine/threads.h"

namespace tree::detail {

// The coordinates of the items split: key[k][i] is coordinate k of item i.
struct Keys {
  const double* key[3];
  double operator()(uint32_t i, int k) const { return key[k][i]; }
};

// Splits perm[begin, end) at `mid` by coordinate `axis` of the keys, ties
// by item number: a split that depends only on the items.
inline void SplitAt(uint32_t* perm, size_t begin, size_t mid, size_t end, const Keys& key,
                    int axis) {
  std::nth_element(perm + begin, perm + mid, perm + end, [&](uint32_t a, uint32_t b) {
    const double ka = key(a, axis), kb = key(b, axis);
    return ka < kb || (ka == kb && a < b);
  });
}

// The axis of the largest extent of the keys over perm[begin, end).
inline int LongestAxis(const uint32_t* perm, size_t begin, size_t end, const Keys& key) {
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t i = begin; i < end; ++i)
    for (int k = 0; k < 3; ++k) {
      const double v = key(perm[i], k);
      lo[k] = std::min(lo[k], v);
      hi[k] = std::max(hi[k], v);
    }
  int axis = 0;
  for (int k = 1; k < 3; ++k)
    if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
  return axis;
}

inline void ForThreads(ThreadTeam* team, size_t items,
                       const std::function<void(unsigned, unsigned)>& f, unsigned threads = 0) {
  if (team)
    team->MultiThreading(items, f, threads);
  else
    f(0, 1);
}

// The facet fields of lane l of group g of a chunk.
inline double Field(const kernel::Chunk& ch, uint32_t g, int field, int lane) {
  return ch
      .facet[(size_t(g) * kernel::kFacetFields + size_t(field)) * kernel::kGroup + size_t(lane)];
}

// ---------------------------------------------------------------- moments

std::vector<double> InverseFactorials(int P);

// P2M: the exact moments of the facets of chunks [first, last) of a table
// about the ball (c, a) to order P, the densities s = n . (A - c0) and the
// normal's three components, added into M (without the factor 2 of m > 0).
void ChunkMoments(const kernel::Model& table, size_t first, size_t last, const double c[3],
                  double a, const double c0[3], int P, const kernel::Isa& isa,
                  const double* inv_fact2, double* M, std::vector<double>* scratch);

// The factor 2 of the orders m > 0, folded in.
void FoldOrders(double* M, int P);

// The normal densities' monopole of chunks [first, last) is half the sum of
// the facets' A x B + B x C + C x A: zero for a closed surface, whose edges
// cancel pairwise. Summed exactly, so that far away (where the field is the
// dipole's) no rounding remainder of it stands in for the field.
void ExactMonopole(const kernel::Model& table, size_t first, size_t last, double* M);

// The factors of Norms at Index(n, m, P): sqrt((n+m)! (n-m)!), made before
// squaring (each factor alone would overflow or underflow at high orders);
// the stored factor 2 of m > 0 undone, and +m and -m counted: (1/2)^2 x 2.
std::vector<double> NormFactors(int P);

// Per order n, |M_n| = sqrt(sum over -n <= m <= n of |M_n^m|^2 (n+m)! (n-m)!):
// the norm that bounds the order's term at x by |M_n| rho^(n+1)/a (the
// addition theorem in the Schmidt-normalised basis). For the normal
// densities, the norm of the three as one vector; out[2n], out[2n + 1].
void Norms(const double* M, int P, const std::vector<double>& factor, double* out);

// The smallest order p >= 1 of an expansion with norms `norm` (stored to
// order P) at ratio rho whose truncation bounds, times r, stay within
// budget_g for the normal densities (Q = area) and budget_0 for s (Q = q0);
// -1 when none up to P does. Times r, the term of order n is |M_n| rho^n and
// the tail beyond P is Q rho^(P+1)/(1 - rho).
int OrderWithin(const double* norm, int P, double area, double q0, double rho, double budget_g,
                double budget_0);

// The smallest order p >= 1 at which the gradient of an expansion of the
// normal densities (norms `norm`, stored to order P, Q = area) at ratio
// rho misses by at most budget / r^2 in each component; -1 when none up to
// P does. The term of order n is r^-(n+1) Y_n with |Y_n| <= |M_n| a^n; its
// gradient, radial (n + 1) Y_n/r^(n+2) and tangential (at most n |Y_n| /
// r^(n+2), Bernstein's inequality on the sphere), is at most (2n + 1)
// |M_n| rho^(n+2)/a^2, which times r^2 is (2n + 1) |M_n| rho^n. The tail
// beyond P, with |M_n| <= Q: Q GradientTail(rho, P).
int GradientOrderWithin(const double* norm, int P, double area, double rho, double budget);

}  // namespace tree::detail
