// "%lf" fields: strtod where it provably agrees with the scanner (digits,
// signs, points and exponents only), sscanf for hexadecimal, nan and inf.
#include "common/scan.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool PlainDecimalOnly(const char* s) {
  for (; *s; ++s)
    if (std::strchr("xXnNiI", *s)) return false;
  return true;
}

// The general path: one field at a time through the scanner, with %n to find
// where each field ended.
int ScanSlow(const char* line, int n, double* out, const char** end) {
  const char* p = line;
  int k = 0;
  for (; k < n; ++k) {
    int used = 0;
    if (std::sscanf(p, " %lf%n", &out[k], &used) != 1) break;
    p += used;
  }
  if (end) *end = p;
  return k;
}
}  // namespace

int ScanDoubles(const char* line, int n, double* out, const char** end) {
  if (!PlainDecimalOnly(line)) return ScanSlow(line, n, out, end);
  const char* p = line;
  int k = 0;
  for (; k < n; ++k) {
    char* stop;
    const double d = std::strtod(p, &stop);
    if (stop == p) break;
    out[k] = d;
    // An exponent letter without digits ("1e", "2E+"): strtod leaves it, but
    // the C library's scanner has already taken the letter and one sign, and
    // the next field starts after them ("1e 2 3" is three numbers).
    if ((*stop == 'e' || *stop == 'E') && !std::memchr(p, 'e', static_cast<size_t>(stop - p)) &&
        !std::memchr(p, 'E', static_cast<size_t>(stop - p))) {
      ++stop;
      if (*stop == '+' || *stop == '-') ++stop;
    }
    p = stop;
  }
  if (end) *end = p;
  return k;
}
