// STL writer. Every numeric field goes through one block-write operation,
// chosen by the host's byte order, so that the file is little-endian
// everywhere; a large stream buffer carries the cost of the small writes.
#include "common/store.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/error.h"
#include "common/file_type.h"

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

// The open output and how to end it: a named file is closed (and removed
// when it is a regular file that could not be written in full); standard
// output is flushed.
struct Output {
  const char* path;
  FILE* stream;
  bool named;
  bool regular;
  char* buffer;

  [[noreturn]] void Fail() {
    if (named) {
      std::fclose(stream);
      if (regular) std::remove(path);
    }
    std::free(buffer);
    Error("facet data write error.");
  }

  template <class T>
  void Put(const T& field) {
    if (kWrite(&field, sizeof field, 1, stream) != 1) Fail();
  }

  void Finish() {
    if (named) {
      const bool failed = std::fclose(stream) != 0;
      stream = nullptr;
      if (failed) {
        if (regular) std::remove(path);
        std::free(buffer);
        Error("facet data write error.");
      }
    } else if (std::fflush(stream) != 0) {
      Fail();
    }
    std::free(buffer);
  }
};

constexpr size_t kStreamBuffer = size_t{1} << 20;

Output Open(const char* path) {
  Output out{path, stdout, false, false, nullptr};
  if (path[0] == '-') return out;
  out.stream = std::fopen(path, "wb");
  if (!out.stream) Error("STL file not stored.");
  out.named = true;
  out.regular = FileType(out.stream) == S_IFREG;
  // Standard output may already carry text, so only a stream of our own is
  // given the large buffer.
  out.buffer = static_cast<char*>(std::malloc(kStreamBuffer));
  if (out.buffer) std::setvbuf(out.stream, out.buffer, _IOFBF, kStreamBuffer);
  return out;
}

}  // namespace

template <class F>
void StoreFacet(const char* path, uint32_t count, const F* facets) {
  Output out = Open(path);
  for (int k = 0; k < 80; ++k)
    if (std::fputc(0, out.stream) == EOF) out.Fail();
  out.Put(count);
  for (uint32_t i = 0; i < count; ++i) {
    const float* v = facets[i].v;
    const double ux = double{v[3]} - v[0], uy = double{v[4]} - v[1], uz = double{v[5]} - v[2];
    const double wx = double{v[6]} - v[0], wy = double{v[7]} - v[1], wz = double{v[8]} - v[2];
    const float normal[3] = {NarrowToFloat(uy * wz - uz * wy), NarrowToFloat(uz * wx - ux * wz),
                             NarrowToFloat(ux * wy - uy * wx)};
    for (float n : normal) out.Put(n);
    for (int k = 0; k < 9; ++k) out.Put(v[k]);
    const uint16_t attribute = facets[i].attribute;
    out.Put(attribute);
  }
  out.Finish();
}

template void StoreFacet<AttributedFacet>(const char*, uint32_t, const AttributedFacet*);
template void StoreFacet<ValuedFacet>(const char*, uint32_t, const ValuedFacet*);
