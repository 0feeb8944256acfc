// STL reader. The first 96 bytes decide the kind; they are consumed again from
// memory by the ASCII grammar, so the input is read strictly forward (pipes).
#include "common/read.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "common/input.h"
#include "common/stl_grammar.h"

namespace {

FILE* file;  // input stream
char S[96];  // look-ahead, then the current token
unsigned I;  // next byte of S not yet consumed
uint32_t N;  // facets read so far
int C;       // last character consumed; -1 at end of input

bool IsTextByte(unsigned char b) {
  return b == 9 || b == 10 || b == 13 || (b >= 0x20 && b <= 0x7E);
}

int Next() {
  C = I <= 95 ? static_cast<unsigned char>(S[I++]) : getc_unlocked(file);
  return C;
}

// The shared grammar's view of the input: the look-ahead, then the stream;
// its token reader (the unit's GetS) copies each token into S.
struct Stream {
  int Next() { return ::Next(); }
  int Last() const { return C; }
  char* Token() { return S; }
};

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

// Facets of the ASCII grammar into the growing array; every breach of the
// grammar is one message.
template <class F>
struct AsciiSink {
  F** facets;
  stl::Orientation orientation;
  size_t capacity = 0;
  void Facet(const double n[3], const double a[3], const double b[3], const double c[3]) {
    Reserve(facets, &capacity, size_t{N} + 1);
    stl_detail::Set(&(*facets)[N], 0, n, a, b, c, orientation);
    ++N;
  }
  [[noreturn]] void Fail(stl::Fault, const char*) { Error("ASCII facet data read error."); }
};

// The first solid only: what follows its "endsolid" line is never read.
template <class F>
void ReadAscii(F** facets) {
  I = 0;
  N = 0;
  constexpr stl::Rules kRules;  // orientation from the normals, "%lf" numbers
  Stream in;
  AsciiSink<F> sink{facets, kRules.orientation};
  stl::ReadSolids(in, kRules, sink);
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
    stl_detail::DecodeBinaryFacets<F>(
        buffer, in_buffer, stl::Orientation::kFromNormals,
        [&](const F& facet, const float*) { (*facets)[N++] = facet; });
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
         const double c[3], stl::Orientation orientation) {
  const bool exchange = stl::Exchanges(orientation, n, a, b, c);
  const double* second = exchange ? c : b;
  const double* third = exchange ? b : c;
  for (int k = 0; k < 3; ++k) {
    facet->v[k] = NarrowToFloat(a[k]);
    facet->v[3 + k] = NarrowToFloat(second[k]);
    facet->v[6 + k] = NarrowToFloat(third[k]);
  }
  if constexpr (kHasAttribute<F>) facet->attribute = attribute;
}

template <class F>
void Normal(F* facet, const float block[12], uint16_t attribute, stl::Orientation orientation) {
  double w[12];
  for (int k = 0; k < 12; ++k) w[k] = block[k];
  Set(facet, attribute, w, w + 3, w + 6, w + 9, orientation);
}

template <class F>
void Reverse(F* facet, float block[12], uint16_t* attribute, stl::Orientation orientation) {
  for (int k = 0; k < 12; ++k) {
    unsigned char* p = reinterpret_cast<unsigned char*>(&block[k]);
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
  *attribute = static_cast<uint16_t>(*attribute >> 8 | *attribute << 8);
  Normal(facet, block, *attribute, orientation);
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
                                   const double*, stl::Orientation);                          \
  template void stl_detail::Normal<F>(F*, const float*, uint16_t, stl::Orientation);          \
  template void stl_detail::Reverse<F>(F*, float*, uint16_t*, stl::Orientation);
READ_INSTANTIATE(Facet)
READ_INSTANTIATE(AttributedFacet)
READ_INSTANTIATE(ValuedFacet)
