// Binary STL fields are little-endian on every host: tests build and take
// apart such files byte by byte, never by copying host-order memory, so that
// they mean the same on a big-endian host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace little_endian {

template <class T>
using Bits = std::conditional_t<sizeof(T) == 2, uint16_t, uint32_t>;

// Appends `value` (uint16_t, uint32_t or float) as its little-endian bytes.
template <class T>
void Append(std::string* s, T value) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);
  auto bits = std::bit_cast<Bits<T>>(value);
  for (size_t k = 0; k < sizeof(T); ++k, bits = static_cast<Bits<T>>(bits >> 8))
    s->push_back(static_cast<char>(bits & 0xFF));
}

// The T stored little-endian at `offset` of `s`.
template <class T>
T At(const std::string& s, size_t offset) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);
  Bits<T> bits = 0;
  for (size_t k = sizeof(T); k-- > 0;)
    bits = static_cast<Bits<T>>(bits << 8 | static_cast<unsigned char>(s[offset + k]));
  return std::bit_cast<T>(bits);
}

}  // namespace little_endian
