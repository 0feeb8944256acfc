// The evaluator compiled once per instruction set (kernel_impl.h included in
// a target region of its own unit); kernel.cpp dispatches to one of them.
#pragma once

#include "engine/kernel.h"

#if defined(__x86_64__) || defined(__i386__)
#define KERNEL_X86 1
#else
#define KERNEL_X86 0
#endif

#define KERNEL_DECLARE(ns)                                                                    \
  namespace kernel::ns {                                                                      \
  void Evaluate(TableGuard guard, const Model& model, size_t first, size_t step, size_t count, \
                const double* x, const double* y, const double* z, const Out& out);           \
  double EdgeLog(double lambda);                                                              \
  double Atan2(double y, double x);                                                           \
  }

KERNEL_DECLARE(baseline)
#if KERNEL_X86
KERNEL_DECLARE(avx2)
KERNEL_DECLARE(avx512)
#endif
#undef KERNEL_DECLARE
