// STL reader. The first 96 bytes decide the kind; they are consumed again from
// memory by the ASCII grammar, so the input is read strictly forward (pipes).
#include "common/read.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "common/input.h"

namespace {

FILE* file;  // input stream
char S[96];  // look-ahead, then the current token
unsigned I;  // next byte of S not yet consumed
uint32_t N;  // facets read so far
int C;       // last character consumed; -1 at end of input

bool IsTextByte(unsigned char b) {
  return b == 9 || b == 10 || b == 13 || (b >= 0x20 && b <= 0x7E);
}
bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int Next() {
  C = I <= 95 ? static_cast<unsigned char>(S[I++]) : getc_unlocked(file);
  return C;
}

// Reads the next whitespace-delimited token into S, lower-cased. Returns 0 at
// end of input and for a token longer than 95 characters.
int GetS() {
  do {
    if (Next() == EOF) return 0;
  } while (IsBlank(C));
  unsigned k = 0;
  while (C != EOF && !IsBlank(C)) {
    S[k++] = static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C);
    if (k == 96) return 0;
    Next();
  }
  S[k] = 0;
  return 1;
}

// "%lf" on a token: strtod where the two provably agree (plain decimal
// numbers), the C library's scanner for everything else (hex, nan, inf).
bool Number(const char* s, double* d) {
  if (std::strspn(s, "0123456789+-.eE") == std::strlen(s)) {
    char* end;
    *d = std::strtod(s, &end);
    return end != s;
  }
  return std::sscanf(s, "%lf", d) == 1;
}

void Expect(const char* keyword) {
  if (!GetS() || std::strcmp(S, keyword) != 0) Error("ASCII facet data read error.");
}

void Numbers(double* out) {
  for (int k = 0; k < 3; ++k)
    if (!GetS() || !Number(S, &out[k])) Error("ASCII facet data read error.");
}

// Grows a malloc'd array to hold `need` records, geometrically, so that an
// ASCII model of n facets costs O(n) copying.
template <class F>
void Reserve(F** array, size_t* capacity, size_t need) {
  if (need <= *capacity) return;
  size_t cap = *capacity ? *capacity : 1024;
  while (cap < need) cap *= 2;
  if (cap > SIZE_MAX / sizeof(F)) Error("facet memory allocation error.");
  F* grown = static_cast<F*>(std::realloc(*array, cap * sizeof(F)));
  if (!grown) Error("facet memory allocation error.");
  *array = grown;
  *capacity = cap;
}

template <class F>
void ReadAscii(F** facets) {
  I = 0;
  if (!GetS() || std::strcmp(S, "solid") != 0) Error("ASCII facet data read error.");
  if (C != '\n') {
    do {
      if (Next() == EOF) Error("ASCII facet data read error.");
    } while (C != '\n');
  }
  N = 0;
  size_t capacity = 0;
  for (;;) {
    if (!GetS()) Error("ASCII facet data read error.");
    if (std::strcmp(S, "endsolid") == 0) {
      while (C != '\n' && C != EOF) Next();
      break;
    }
    if (std::strcmp(S, "facet") != 0) Error("ASCII facet data read error.");
    double n[3], a[3], b[3], c[3];
    Expect("normal");
    Numbers(n);
    Expect("outer");
    Expect("loop");
    Expect("vertex");
    Numbers(a);
    Expect("vertex");
    Numbers(b);
    Expect("vertex");
    Numbers(c);
    Expect("endloop");
    Expect("endfacet");
    Reserve(facets, &capacity, size_t{N} + 1);
    stl_detail::Set(&(*facets)[N], 0, n, a, b, c);
    ++N;
  }
}

// Binary STL: the count in the file is a claim. The array grows with the data
// actually present, so a short file claiming billions of facets fails with a
// read error instead of allocating for them.
template <class F>
void ReadBinary(F** facets) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(S);
  const uint32_t count = static_cast<uint32_t>(s[80]) | static_cast<uint32_t>(s[81]) << 8 |
                         static_cast<uint32_t>(s[82]) << 16 | static_cast<uint32_t>(s[83]) << 24;
  N = 0;
  if (count == 0) return;
  if (count > SIZE_MAX / sizeof(F)) Error("facet memory allocation error.");
  size_t capacity = 0;
  constexpr size_t kChunk = 1 << 16;  // facets decoded per block read
  static unsigned char buffer[kChunk * 50];
  // First facet: its normal is already in S, 36 vertex bytes and the attribute follow.
  std::memcpy(buffer, s + 84, 12);
  if (std::fread(buffer + 12, 1, 38, file) != 38) Error("binary facet data read error.");
  size_t in_buffer = 1;
  for (;;) {
    Reserve(facets, &capacity, size_t{N} + in_buffer);
    for (size_t k = 0; k < in_buffer; ++k) {
      float block[12];
      std::memcpy(block, buffer + 50 * k, 48);
      uint16_t attribute;
      std::memcpy(&attribute, buffer + 50 * k + 48, 2);
      if constexpr (std::endian::native == std::endian::big)
        stl_detail::Reverse(&(*facets)[N], block, &attribute);
      else
        stl_detail::Normal(&(*facets)[N], block, attribute);
      ++N;
    }
    if (N == count) break;
    in_buffer = std::min<size_t>(kChunk, count - N);
    if (std::fread(buffer, 1, 50 * in_buffer, file) != 50 * in_buffer)
      Error("binary facet data read error.");
  }
}

}  // namespace

namespace stl_detail {

template <class F>
void Set(F* facet, uint16_t attribute, const double n[3], const double a[3], const double b[3],
         const double c[3]) {
  // (b - a) x (c - a) as sums of six products, so that no coordinate
  // difference is rounded before the sign is decided.
  const double cx =
      a[1] * b[2] + b[1] * c[2] + a[2] * c[1] - a[2] * b[1] - b[2] * c[1] - a[1] * c[2];
  const double cy =
      a[2] * b[0] + b[2] * c[0] + a[0] * c[2] - a[0] * b[2] - b[0] * c[2] - a[2] * c[0];
  const double cz =
      a[0] * b[1] + b[0] * c[1] + a[1] * c[0] - a[1] * b[0] - b[1] * c[0] - a[0] * c[1];
  const double d = n[0] * cx + n[1] * cy + n[2] * cz;
  const double* second = d < 0 ? c : b;
  const double* third = d < 0 ? b : c;
  for (int k = 0; k < 3; ++k) {
    facet->v[k] = NarrowToFloat(a[k]);
    facet->v[3 + k] = NarrowToFloat(second[k]);
    facet->v[6 + k] = NarrowToFloat(third[k]);
  }
  if constexpr (kHasAttribute<F>) facet->attribute = attribute;
}

template <class F>
void Normal(F* facet, const float block[12], uint16_t attribute) {
  double w[12];
  for (int k = 0; k < 12; ++k) w[k] = block[k];
  Set(facet, attribute, w, w + 3, w + 6, w + 9);
}

template <class F>
void Reverse(F* facet, float block[12], uint16_t* attribute) {
  for (int k = 0; k < 12; ++k) {
    unsigned char* p = reinterpret_cast<unsigned char*>(&block[k]);
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
  *attribute = static_cast<uint16_t>(*attribute >> 8 | *attribute << 8);
  Normal(facet, block, *attribute);
}

}  // namespace stl_detail

template <class F>
void ReadFacet(const char* path, uint32_t* count, F** facets) {
  const bool from_stdin = path[0] == '-';
  file = from_stdin ? stdin : OpenInput(path, "rb");
  if (!file) Error("STL file not found.");
  *facets = nullptr;
  if (std::fread(S, 1, 96, file) != 96) Error("facet data read error.");
  bool ascii = true;
  for (unsigned k = 0; k < 96; ++k) ascii = ascii && IsTextByte(static_cast<unsigned char>(S[k]));
  if (ascii)
    ReadAscii(facets);
  else
    ReadBinary(facets);
  *count = N;
  if (N == 0) Error("no facet.");
  // Give back the growth slack: memory stays proportional to the facets read.
  if (F* exact = static_cast<F*>(std::realloc(*facets, size_t{N} * sizeof(F)))) *facets = exact;
  if (!from_stdin) std::fclose(file);
}

#define READ_INSTANTIATE(F)                                                                   \
  template void ReadFacet<F>(const char*, uint32_t*, F**);                                    \
  template void stl_detail::Set<F>(F*, uint16_t, const double*, const double*, const double*, \
                                   const double*);                                            \
  template void stl_detail::Normal<F>(F*, const float*, uint16_t);                            \
  template void stl_detail::Reverse<F>(F*, float*, uint16_t*);
READ_INSTANTIATE(Facet)
READ_INSTANTIATE(AttributedFacet)
READ_INSTANTIATE(ValuedFacet)
