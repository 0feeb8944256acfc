// The dispatch table entries, one per instruction set (isa_*.cpp: the
// vectorised pieces compiled in a target region of their own unit).
#pragma once

#include "engine/isa.h"

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
