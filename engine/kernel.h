// The vectorised table-form evaluator. The model is prepared once into runs
// ("chunks") of facets; within a chunk, vertices that are exactly equal are
// one vertex and every edge is stored once, so that at a field point each
// vertex distance R and each edge logarithm is computed once and shared by
// the facets that meet there. A chunk is small enough (with its distances
// and logarithms) to stay in the processor's cache while up to 128 points are
// evaluated on it.
//
// Two ways through a chunk, one per lane width W: W points at once, one per
// lane, the facet's values broadcast (no gathers: the common case, many
// points); or one point with W facets at once, the distances and logarithms
// gathered by index (a point alone, as fieldpts_s reads them, and the few
// points left over). Both call the same lane formulas and add facet k of a
// group into lane sum k mod W, so a point gets the same bits either way.
//
// Per field point and facet the sum is the table form: the edge terms
// (m_k . r_a) * ln((lambda_k + 1)/(lambda_k - 1)) and the solid-angle term
// -2 h atan2(|(B - A) x (C - A)| h, R1 R2 R3 + ...), summed over the facets
// of each lane in stored order, the lanes then added in a fixed order. The
// result of a point depends only on the point, the model and the instruction
// set: not on which other points are evaluated with it, nor on the thread
// that does it. The same bits for a given instruction set; within about
// 1e-12 (relative) across instruction sets, whose lane counts group the
// facets' sums differently. POLYFIELD_SIMD=baseline|avx2|avx512 fixes the
// instruction set of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/facets.h"
#include "engine/field_out.h"
#include "engine/isa.h"
#include "engine/memory.h"
#include "engine/table.h"

namespace kernel {

// Facets per lane group; every chunk holds whole groups (padded with facets
// that contribute exactly zero).
constexpr int kGroup = 8;

// Doubles per group: 22 vectors of kGroup lanes, in this order.
enum FacetField {
  kNx,
  kNy,
  kNz,  // unit normal
  kM1x,
  kM1y,
  kM1z,  // unit edge normals m1, m2, m3
  kM2x,
  kM2y,
  kM2z,
  kM3x,
  kM3y,
  kM3z,
  kAx,
  kAy,
  kAz,  // vertices A, B, C widened to double
  kBx,
  kBy,
  kBz,
  kCx,
  kCy,
  kCz,
  kArea2,  // |(B - A) x (C - A)|
  kFacetFields
};
// Int32 indices per group: 6 vectors of kGroup lanes: local vertex of A, B, C,
// then local edge of edges 1 (A->B), 2 (B->C), 3 (C->A).
enum CornerField { kVa, kVb, kVc, kE1, kE2, kE3, kCornerFields };

// One run of facets with its own vertex and edge lists (local indices).
struct Chunk {
  uint32_t groups;        // facet groups
  uint32_t vertices;      // local vertices, a multiple of kGroup
  uint32_t edges;         // local edges, a multiple of kGroup
  const double* facet;    // groups * kFacetFields * kGroup
  const int32_t* corner;  // groups * kCornerFields * kGroup
  const double* vx;       // vertices each: coordinates of the local vertices
  const double* vy;
  const double* vz;
  const int32_t* ea;  // edges each: end vertices (local indices)
  const int32_t* eb;
  const double* il;  // edges: 1/L; 0 marks a padding edge
};

// Largest number of facets in one chunk. A chunk has at most 3 * kMaxChunk
// vertices and edges (padding included, kScratch).
constexpr uint32_t kMaxChunk = 1024;
constexpr uint32_t kScratch = 3 * kMaxChunk + kGroup;
// Points per pass over the chunks: each chunk's table is read from memory
// once for this many points.
constexpr size_t kPoints = 128;
// The scratch of one evaluating thread, for up to 8 lanes: the distances and
// logarithms of a chunk at W points (2 * kScratch * W doubles) and the lane
// sums of kPoints points (kPoints * 4 * W doubles): 427 kB, on the heap, so
// that no stack size limits the evaluation.
constexpr size_t kScratchBytes = (2 * size_t{kScratch} + 4 * kPoints) * 8 * sizeof(double);
// The calling thread's scratch block, allocated at its first use and kept
// until the thread ends ("memory allocation error for SI." when it cannot be
// had).
void* ThreadScratch();

// The prepared model: chunks over the non-degenerate facets in stored order.
// Memory is proportional to the model: Build reserves kBytesPerFacet per
// facet at once (plus a few kB per chunk) and never copies it; a closed mesh
// fills about 240 bytes per facet of it.
// At most 34 doubles (22 facet fields, 3 x 3 vertex coordinates, 3 edge
// lengths) and 12 indices (6 corner fields, 2 x 3 edge ends) per facet.
constexpr size_t kBytesPerFacet = 34 * sizeof(double) + 12 * sizeof(int32_t);

class Model {
 public:
  // Builds from the facets ("memory allocation error for SI." when memory
  // cannot be had); facets of zero area are left out: they contribute nothing.
  // `chunk_facets` (a multiple of kGroup, at most kMaxChunk) only changes how
  // the work is cut, never a result.
  void Build(const Facets& facets, uint32_t chunk_facets = kMaxChunk);
  // The same with a chunk starting at each of the facet indices `starts`
  // (increasing) as well.
  void Build(const Facets& facets, const std::vector<uint32_t>& starts);
  void Release();
  size_t chunks() const { return chunk_.size(); }
  const Chunk& chunk(size_t i) const { return chunk_[i]; }
  // Totals over the chunks: facets kept, vertices and edges stored (a vertex
  // or edge on the border of two chunks is stored in each).
  size_t facets() const { return facets_; }
  size_t vertices() const { return vertices_; }
  size_t edges() const { return edges_; }

 private:
  // The steps of Build: the storage reserved for n facets in `chunks`
  // chunks; each chunk built (ChunkBuilder: open, add its facets, close);
  // the chunks published once the storage no longer moves.
  // Offsets of one chunk's arrays while the storage still grows.
  struct Pending {
    uint32_t groups, vertices, edges;
    size_t facet, corner, vx, ea, il;
  };
  class ChunkBuilder;
  void BuildFrom(const Facets& facets, uint32_t chunk_facets, const std::vector<uint32_t>* starts);
  void Reserve(size_t n, size_t chunks);
  void Publish(const std::vector<Pending>& pending);

  std::vector<Chunk> chunk_;
  std::vector<double, memory::Aligned<double>> real_;
  std::vector<int32_t, memory::Aligned<int32_t>> index_;
  size_t facets_ = 0, vertices_ = 0, edges_ = 0;
};

// The smallest lambda whose x = (lambda - 1)/(lambda + 1) is not below the
// relative guard 2.22045e-16: the guard drops an edge term exactly when
// lambda < kGuardLambda.
constexpr double kGuardLambda = 1.0 + 3 * 2.220446049250313e-16;

}  // namespace kernel

// The table-form evaluator the tabled and threaded builds call: the whole
// prepared model `si` at points first, first + step, ... below count, with
// the given edge-term guard, on the instruction set `isa`.
inline void CalculateSI(const kernel::Isa& isa, TableGuard guard, const kernel::Model& si,
                        size_t first, size_t step, size_t count, const double* x, const double* y,
                        const double* z, const FieldOut& out) {
  isa.evaluate[static_cast<int>(guard)](si, first, step, count, x, y, z, out);
}
