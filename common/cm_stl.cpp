// Colour map: CM_STL lines "range-list R G B" or "range-list V", applied in
// file order to a table of 32768 attribute words; an empty line ends the map.
#include "common/cm_stl.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/error.h"
#include "common/input.h"

namespace {

constexpr uint32_t kLastIndex = kColourEntries - 1;

bool IsComponent(double c) {
  return c >= 0 && c <= 255;
}  // false for NaN

// Reads an unsigned decimal of digits only at *p, at most 32767; advances *p.
bool Index(const char** p, uint32_t* out) {
  const char* s = *p;
  if (*s < '0' || *s > '9') return false;
  uint32_t n = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    n = n * 10 + static_cast<uint32_t>(*s - '0');
    if (n > kLastIndex) return false;
  }
  *p = s;
  *out = n;
  return true;
}

// One item of a range list, from `s` to `end` (exclusive), as the indices
// first..last. Forms: n, n-m, -m, n-, -.
bool Item(const char* s, const char* end, uint32_t* first, uint32_t* last) {
  *first = 0;
  *last = kLastIndex;
  if (s < end && *s != '-') {
    if (!Index(&s, first)) return false;
    if (s == end) {
      *last = *first;
      return true;
    }
  }
  if (s == end || *s != '-') return false;
  ++s;
  if (s < end && (!Index(&s, last) || *last < *first)) return false;
  return s == end;
}

// Walks the comma-separated items left to right, storing the attribute over
// each well-formed item before the next is looked at.
void ApplyRangeList(const char* list, uint16_t attribute, uint16_t* table) {
  const char* p = list;
  for (;;) {
    const char* comma = std::strchr(p, ',');
    const char* end = comma ? comma : p + std::strlen(p);
    if (end != p) {
      uint32_t first, last;
      if (!Item(p, end, &first, &last)) Error("bad range list.");
      for (uint32_t i = first; i <= last; ++i) table[i] = attribute;
    }
    if (!comma) return;
    p = comma + 1;
  }
}

}  // namespace

ValueToIndex::ValueToIndex(double min, double max)
    : min_(min), max_(max), step_((max - min) / 32767) {
  // A range wider than the largest double (min. -1e308, max. 1e308): the
  // width and every difference are taken at half scale, where they fit.
  half_ = std::isinf(step_) && std::isfinite(min) && std::isfinite(max);
  if (half_) step_ = (max / 2 - min / 2) / 32767;
}

uint32_t ValueToIndex::operator()(double v) const {
  if (std::isnan(v)) return 0;
  if (v <= min_) return 0;
  if (v >= max_) return kLastIndex;
  const double q = (half_ ? v / 2 - min_ / 2 : v - min_) / step_ + 0.5;
  // q is within [0.5, 32767.5] for finite bounds; an infinite or NaN bound
  // can make it anything, and a double is never converted out of range.
  if (!(q >= 0)) return 0;
  if (!(q < kColourEntries)) return kLastIndex;
  return static_cast<uint32_t>(q);
}

void CM_STL(const char* path, uint16_t* table) {
  const bool from_stdin = path[0] == '-';
  FILE* in = from_stdin ? stdin : OpenInput(path, "r");
  if (!in) Error("CM_STL file not found.");
  std::memset(table, 0, kColourEntries * sizeof *table);
  char line[1024];
  char list[1024];
  while (std::fgets(line, sizeof line, in)) {
    double r, g, b;
    const int fields = std::sscanf(line, "%1023s %lf %lf %lf", list, &r, &g, &b);
    if (fields < 1) break;  // an empty or blank line ends the map
    if (fields == 1 || fields == 3) Error("bad color specification.");
    if (fields == 2) g = b = r;
    if (!IsComponent(r) || !IsComponent(g) || !IsComponent(b)) Error("bad R, G and/or B value.");
    ApplyRangeList(list, ColourWord(r, g, b), table);
  }
  // A read error (or a directory on standard input) is not the end of the map.
  const bool failed = std::ferror(in);
  if (!from_stdin) std::fclose(in);
  if (failed) Error("CM_STL file not found.");
}
