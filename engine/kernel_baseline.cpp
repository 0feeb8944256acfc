// The evaluator for any processor (two lanes, SSE2 on x86-64), chosen at run time.
#include <cstddef>
#include <cstdint>

#include "engine/kernel.h"
#include "engine/kernel_targets.h"

#if KERNEL_X86
#include <immintrin.h>
#endif
#define KERNEL_NS baseline
#define KERNEL_SIMD Simd::kBaseline
#define KERNEL_WIDTH 2
#include "engine/kernel_impl.h"
