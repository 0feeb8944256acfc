// STL writer. Every numeric field goes through one block-write operation,
// chosen by the host's byte order, so that the file is little-endian
// everywhere; a large stream buffer carries the cost of the small writes.
#include "common/store.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/error.h"
#include "common/output_file.h"

namespace stl_detail {

size_t Fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  const unsigned char* item = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < count; ++i, item += size)
    for (size_t k = size; k-- > 0;)
      if (std::fputc(item[k], stream) == EOF) return i;
  return count;
}

}  // namespace stl_detail

namespace {

using BlockWrite = size_t (*)(const void*, size_t, size_t, FILE*);

size_t HostWrite(const void* data, size_t size, size_t count, FILE* stream) {
  return fwrite_unlocked(data, size, count, stream);
}

constexpr BlockWrite kWrite =
    std::endian::native == std::endian::little ? &HostWrite : &stl_detail::Fwrite;

// The output: standard output, flushed at the end, or a named file written
// through OutputFile (nothing of a failed write is left under its name).
struct Output {
  OutputFile file;
  FILE* stream = stdout;
  char* buffer = nullptr;

  ~Output() { std::free(buffer); }

  [[noreturn]] void Fail() {
    file.Abandon();
    std::free(buffer);
    buffer = nullptr;
    Error("facet data write error.");
  }

  void Finish() {
    if (stream == stdout) {
      if (std::fflush(stream) != 0) Fail();
    } else if (!file.Commit()) {
      Fail();
    }
  }
};

constexpr size_t kStreamBuffer = size_t{1} << 20;

void Open(const char* path, Output* out) {
  if (path[0] == '-') return;
  if (!out->file.Open(path)) Error("STL file not stored.");
  out->stream = out->file.stream();
  // Standard output may already carry text, so only a stream of our own is
  // given the large buffer.
  out->buffer = static_cast<char*>(std::malloc(kStreamBuffer));
  if (out->buffer) std::setvbuf(out->stream, out->buffer, _IOFBF, kStreamBuffer);
}

}  // namespace

template <class F>
bool WriteFacets(FILE* stream, uint32_t count, const F* facets) {
  const auto put = [stream](const auto& field) {
    return kWrite(&field, sizeof field, 1, stream) == 1;
  };
  for (int k = 0; k < 80; ++k)
    if (std::fputc(0, stream) == EOF) return false;
  if (!put(count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const float* v = facets[i].v;
    const double ux = double{v[3]} - v[0], uy = double{v[4]} - v[1], uz = double{v[5]} - v[2];
    const double wx = double{v[6]} - v[0], wy = double{v[7]} - v[1], wz = double{v[8]} - v[2];
    const float normal[3] = {NarrowToFloat(uy * wz - uz * wy), NarrowToFloat(uz * wx - ux * wz),
                             NarrowToFloat(ux * wy - uy * wx)};
    for (float n : normal)
      if (!put(n)) return false;
    for (int k = 0; k < 9; ++k)
      if (!put(v[k])) return false;
    const uint16_t attribute = facets[i].attribute;
    if (!put(attribute)) return false;
  }
  return true;
}

template <class F>
void StoreFacet(const char* path, uint32_t count, const F* facets) {
  Output out;
  Open(path, &out);
  if (!WriteFacets(out.stream, count, facets)) out.Fail();
  out.Finish();
}

template void StoreFacet<AttributedFacet>(const char*, uint32_t, const AttributedFacet*);
template void StoreFacet<ValuedFacet>(const char*, uint32_t, const ValuedFacet*);
template bool WriteFacets<AttributedFacet>(FILE*, uint32_t, const AttributedFacet*);
