// Words of the STL utilities' text inputs: blank-separated words, a colour
// component ("%lf", 0 to 255) and a flag number ("%hu" with an upper bound).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/scan.h"

namespace words {

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits up to `max` words off `p` as "%s %s ..." would: each word is a run
// of non-blank characters, copied NUL-terminated into out[k] (the caller's
// line of at most 1023 characters always fits). Returns the number found.
inline int Split(const char* p, int max, char (*out)[1024]) {
  int n = 0;
  while (n < max) {
    while (IsBlank(*p)) ++p;
    if (!*p) break;
    size_t k = 0;
    while (*p && !IsBlank(*p) && k < 1023) out[n][k++] = *p++;
    out[n][k] = 0;
    ++n;
  }
  return n;
}

// A colour component: the word converts as "%lf" and lies within 0 to 255,
// bounds included (NaN does not).
inline bool Component(const char* word, double* c) {
  return ScanDoubles(word, 1, c) == 1 && *c >= 0 && *c <= 255;
}

// A flag: an optionally signed decimal at the start of the word, as "%hu"
// reads it (whatever follows the digits is not looked at), at most `max`.
// Unlike "%hu", a number beyond 16 bits or a negative number is refused
// rather than wrapped around ("70000" is not flag 4464, "-1" not 65535).
inline bool Flag(const char* word, unsigned max, uint16_t* flag) {
  const char* p = word;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  unsigned long n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + static_cast<unsigned long>(*p - '0');
    if (n > max) return false;
  }
  if (negative && n != 0) return false;
  *flag = static_cast<uint16_t>(n);
  return true;
}

}  // namespace words
