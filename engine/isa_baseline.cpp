// The vectorised pieces for any processor (two lanes, SSE2 on x86-64), chosen at run time.
#include <cstddef>
#include <cstdint>

#include "engine/isa_targets.h"
#include "engine/kernel.h"
#include "engine/multipole.h"

#if KERNEL_X86
#include <immintrin.h>
#endif
#define KERNEL_NS baseline
#define KERNEL_SIMD Simd::kBaseline
#define KERNEL_WIDTH 2
// In this order: the table form, the tree's operators and the adjoint layer on
// its lanes, the dispatch table entry of all.
#include "engine/kernel_impl.h"
// (after kernel_impl.h)
#include "engine/tree/operators_impl.h"
// (after kernel_impl.h)
#include "engine/layer_impl.h"
// (last)
#include "engine/isa_impl.h"
