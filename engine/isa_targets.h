// The dispatch table entries, one per instruction set (isa_*.cpp: the
// vectorised pieces compiled in a target region of their own unit), and
// beside each, outside the table, its lane formulas for tests.
#pragma once

#include "engine/isa.h"

#if defined(__x86_64__) || defined(__i386__)
#define KERNEL_X86 1
#else
#define KERNEL_X86 0
#endif

namespace kernel {
// The vector edge logarithm and arctangent one lane at a time:
// ln((lambda + 1)/(lambda - 1)) unguarded, and atan2(y, x).
struct Probes {
  double (*edge_log)(double lambda);
  double (*atan2)(double y, double x);
};
}  // namespace kernel

namespace kernel::baseline {
extern const Isa kIsa;
extern const Probes kProbes;
}  // namespace kernel::baseline
#if KERNEL_X86
namespace kernel::avx2 {
extern const Isa kIsa;
extern const Probes kProbes;
}  // namespace kernel::avx2
namespace kernel::avx512 {
extern const Isa kIsa;
extern const Probes kProbes;
}  // namespace kernel::avx512
#endif
