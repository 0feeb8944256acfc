// Per-facet integral table (SIEntry) and the scalar table-form evaluator, the
// reference the vectorised CalculateSI (kernel.h) is held to.
#pragma once

#include <cstdint>

#include "common/facet.h"

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
void CalculateSIReference(const FacetView& facets, const SIEntry* si, double x, double y, double z,
                          double* U, double* gx, double* gy, double* gz);
