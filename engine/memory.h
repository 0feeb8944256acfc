// Storage of the engines' large arrays (the table's chunks, the tree's
// moments, its facets and points): 64-byte aligned from the C allocator;
// blocks of kHugePage or more aligned to it and advised for huge pages.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace memory {

constexpr size_t kHugePage = size_t{2} << 20;

template <class T>
struct Aligned {
  using value_type = T;
  Aligned() = default;
  template <class U>
  Aligned(const Aligned<U>&) {}
  T* allocate(size_t n);
  void deallocate(T* p, size_t) { std::free(p); }
  bool operator==(const Aligned&) const { return true; }
};

}  // namespace memory
