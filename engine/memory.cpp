// The engines' aligned allocator (memory.h).
#include "engine/memory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace memory {

template <class T>
T* Aligned<T>::allocate(size_t n) {
  if (n > (SIZE_MAX - kHugePage) / sizeof(T)) throw std::bad_alloc();
  // Blocks of a huge page or more start on one and are offered to the
  // kernel's huge pages: a first touch then costs one fault per 2 MiB
  // instead of one per 4 kiB (page faults were a large share of the tree's
  // build on a virtual machine). The contents and every result are the
  // same.
  const bool huge = n * sizeof(T) >= kHugePage;
  const size_t align = huge ? kHugePage : 64;
  const size_t bytes = (n * sizeof(T) + align - 1) / align * align;
  void* p = std::aligned_alloc(align, bytes ? bytes : align);
  if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (huge) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: refused is as before
#endif
  return static_cast<T*>(p);
}
template struct Aligned<double>;
template struct Aligned<int32_t>;

}  // namespace memory
