// Per-facet integral table (SIEntry) and the scalar table-form evaluator, the
// reference the vectorised CalculateSI (kernel.h) is held to.
#pragma once

#include <cstdint>

#include "common/facet.h"
#include "engine/facets.h"

// Fifteen doubles per facet: unit normal, then for each edge (A->B, B->C,
// C->A) its reciprocal length and its in-plane unit edge normal (outward).
struct SIEntry {
  double nx, ny, nz;
  double il1, m1x, m1y, m1z;
  double il2, m2x, m2y, m2z;
  double il3, m3x, m3y, m3z;
};

// Edge-term guard of a table-form evaluator.
enum class TableGuard {
  kRelative,  // edge term 0 when x_k < 2.22045e-16 (points may lie on edges)
  kNone,      // always evaluated (field points at facet centroids only)
};

// The entry of facet v (A, B, C as nine floats). A facet of zero area gets an
// all-zero entry, which every evaluator skips: it contributes nothing.
// `area2`, when given, receives |(B - A) x (C - A)|, twice the area.
SIEntry MakeSIEntry(const double v[9], double* area2 = nullptr);
SIEntry MakeSIEntry(const float v[9], double* area2 = nullptr);

// Evaluates the whole model at (x, y, z) by the table form, one facet after
// the other in stored order, and stores (does not add) the totals. Any of the
// four result pointers may be null when not wanted.
template <TableGuard G>
void CalculateSIReference(const Facets& facets, const SIEntry* si, double x, double y, double z,
                          double* U, double* gx, double* gy, double* gz);

// A point at height h over a facet's plane lies in it to within rounding
// when |h| <= kInPlane (|px| + |py| + |pz| + R1 + R2 + R3): a few units in
// the last place of the coordinates and corner distances h is made from.
constexpr double kInPlane = 8 * 2.220446049250313e-16;

// The gravity gradient tensor of facet e (corners v, A B C) at p, added into
// T (row a, column b: d g_a / d p_b): n (sum_k m_k L_k - n Omega)^T, the
// derivative of g = -n S with S = integral over the facet of 1/|x - p|,
// whose gradient in p is -sum_k m_k L_k + n Omega (the edge integrals L_k of
// 1/R along the facet's boundary, with its in-plane outward edge normals
// m_k, and the solid angle Omega = 2 omega under which it is seen). Edge
// terms vanish under the relative guard, as in the field. The tensor jumps
// by 4 pi n n^T across the facet; a point in its plane to within rounding
// (kInPlane) takes the mean of the two sides, Omega = 0, where the sign of
// a rounding remainder would otherwise pick a side.
void TensorFacet(const SIEntry& e, const double v[9], double px, double py, double pz,
                 double T[3][3]);

// The symmetric tensor of the whole model at p, in the order xx, xy, xz, yy,
// yz, zz, from its facets and their entries (facets of zero area skipped).
void TensorSI(const Facets& facets, const SIEntry* si, double px, double py, double pz,
              double t[6]);
