// The instruction sets the vectorised pieces are compiled for, and the
// dispatch table of one instruction set: the table form's evaluator
// (kernel.h) and the tree's operators (tree/tree.h). An engine picks its
// entry once, when it is made.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/field_out.h"

namespace kernel {

class Model;

// Point sources of the adjoint single layer (layer.h's Adjoint), in blocks
// of kLayerBlock: positions, weights on U (a), on g (b, three columns) and
// on the tensor (c: xx, xy, xz, yy, yz, zz; null for none), and the factor
// of each kind. At most kLayerNodes nodes a call.
constexpr size_t kLayerBlock = 8;
constexpr int kLayerNodes = 144;
struct LayerSources {
  const double *x, *y, *z, *a, *b[3], *c[6];
  double fa, fb, fc;
};
// Sums at points in blocks of kLayerBlock: U, g (three columns) and the
// tensor (six; null for none).
struct LayerOut {
  double *U, *g[3], *t[6];
};

// Instruction sets the evaluator is compiled for.
enum class Simd { kBaseline, kAvx2, kAvx512 };
bool Supported(Simd simd);
const char* Name(Simd simd);
// The widest instruction set the processor runs, or the one POLYFIELD_SIMD
// names (baseline, avx2, avx512); read once. A name that is not one of these,
// or a set the processor lacks, ends the run with a message saying so.
Simd Best();

// Evaluates points first, first + step, ... below count (results at the
// points' indices).
using EvaluateFn = void (*)(const Model& model, size_t first, size_t step, size_t count,
                            const double* x, const double* y, const double* z, const FieldOut& out);

struct Isa {
  Simd simd;
  EvaluateFn evaluate[2];  // by TableGuard: relative, none
  // The tree's operators (tree/operators_impl.h). P2P: the exact table
  // form over a list of chunks at n <= kPoints points (by TableGuard).
  void (*p2p[2])(const Model& model, const uint32_t* chunks, size_t nchunks, size_t n,
                 const double* x, const double* y, const double* z, double* sum);
  // The tensor's P2P: the closed form's gradient tensor over a list of
  // chunks at n points, T_ab of point j added into t[9j + 3a + b] (with the
  // relative edge guard).
  void (*p2p_gradient)(const Model& model, const uint32_t* chunks, size_t nchunks, size_t n,
                       const double* x, const double* y, const double* z, double* t);
  // M2P: a cell's multipole expansion (moments M to order P, evaluated to
  // order p) at n points, the four potentials added into psi.
  void (*m2p)(const double* M, int P, int p, const double c[3], double inv_a, size_t n,
              const double* x, const double* y, const double* z, double* psi);
  // The gradient of the expansion of the three normal densities at n
  // points: d Psi_k/d x_b of point j added into grad[9j + 3k + b].
  void (*m2p_gradient)(const double* M, int P, int p, const double c[3], double inv_a, size_t n,
                       const double* x, const double* y, const double* z, double* grad);
  // P2M: the exact moments of a run of facets.
  void (*p2m)(size_t n, const double* const v[9], const double* area, const double* const s[4],
              const double c[3], double inv_a, int P, const double* inv_fact2, double* M);
  // M2M's quarter turn and shift along z (multipole.h's Translation).
  void (*quarter_turn)(int P, const double* turn, const double* in, double* out);
  void (*shift_z)(int P, const double* tk, const double* in, double* out);
  // The adjoint layer: the potential of the listed blocks of sources at q
  // nodes (x, y, z of node i at 3i), added into phi[i].
  void (*adjoint_layer)(const LayerSources& s, const uint32_t* blocks, size_t nblocks,
                        const double* nodes, int q, double* phi);
  // The layer of q nodes (x, y, z of node i at 3i, weights sigma) at the
  // points of the listed blocks, added into out.
  void (*layer_at)(const double* nodes, const double* sigma, int q, const uint32_t* blocks,
                   size_t nblocks, const double* x, const double* y, const double* z,
                   const LayerOut& out);
};
const Isa& For(Simd simd);

}  // namespace kernel
