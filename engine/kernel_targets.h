// The evaluator compiled once per instruction set (kernel_impl.h included in
// a target region of its own unit), each with its dispatch table entry.
#pragma once

#include "engine/kernel.h"

#if defined(__x86_64__) || defined(__i386__)
#define KERNEL_X86 1
#else
#define KERNEL_X86 0
#endif

namespace kernel::baseline {
extern const Isa kIsa;
}
#if KERNEL_X86
namespace kernel::avx2 {
extern const Isa kIsa;
}
namespace kernel::avx512 {
extern const Isa kIsa;
}
#endif
