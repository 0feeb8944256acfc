// Words of the STL utilities' text inputs: blank-separated words, a colour
// component ("%lf", 0 to 255), a flag number ("%hu" with an upper bound), and
// the colour field they make up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cm_stl.h"
#include "common/error.h"
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

// What the words of a colour field say: three words a colour, one a flag,
// two or none nothing.
enum class Said { kNothing, kFlag, kColour };

// Reads the colour field `text`: a colour gives its colour word, a flag its
// number (at most `max_flag`) in `value`. A component that is no number on
// the scale ends with "bad R, G and/or B value.", a flag that is no number
// up to the bound with "bad flag value.".
inline Said ColourOrFlag(const char* text, unsigned max_flag, uint16_t* value) {
  char word[3][1024];
  switch (Split(text, 3, word)) {
    case 1:
      if (!Flag(word[0], max_flag, value)) Error("bad flag value.");
      return Said::kFlag;
    case 3: {
      double c[3];
      for (int k = 0; k < 3; ++k)
        if (!Component(word[k], &c[k])) Error("bad R, G and/or B value.");
      *value = ColourWord(c[0], c[1], c[2]);
      return Said::kColour;
    }
    default:
      return Said::kNothing;
  }
}

}  // namespace words
