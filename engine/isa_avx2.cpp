// The vectorised pieces for processors with AVX2 (4 lanes), chosen at run time.
#include <cstddef>
#include <cstdint>

#include "engine/isa_targets.h"
#include "engine/kernel.h"
#include "engine/multipole.h"

#if KERNEL_X86
#include <immintrin.h>
#pragma GCC push_options
// The gather intrinsics start from an undefined vector, which GCC 12 reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx2,fma,bmi2")
#define KERNEL_NS avx2
#define KERNEL_SIMD Simd::kAvx2
#define KERNEL_WIDTH 4
// In this order: the table form, the tree's operators and the adjoint layer on
// its lanes, the dispatch table entry of all.
#include "engine/kernel_impl.h"
// (after kernel_impl.h)
#include "engine/tree/operators_impl.h"
// (after kernel_impl.h)
#include "engine/layer_impl.h"
// (last)
#include "engine/isa_impl.h"
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif
