// Harness support: an in-memory file (memfd) reopened as standard input, so
// the readers run their real stream code on the fuzzer's bytes.
#include "tests/fuzz/harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "common/read.h"

namespace {

struct MemFile {
  int fd;
  std::string path;
  explicit MemFile(const char* name) {
    fd = memfd_create(name, 0);
    if (fd < 0) std::abort();
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void Fill(const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
      const ssize_t w = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
      if (w <= 0) std::abort();
      done += static_cast<size_t>(w);
    }
  }
};

MemFile& StdinFile() {
  static MemFile f("fuzz-stdin");
  return f;
}

MemFile& NamedFile() {
  static MemFile f("fuzz-file");
  return f;
}

MemFile& OutFile() {
  static MemFile f("fuzz-output");
  return f;
}

}  // namespace

void CatchErrors() {
  static const bool installed = [] {
    SetErrorHook([](const char* message) { throw Fatal(message); });
    return true;
  }();
  (void)installed;
}

void AsStdin(const uint8_t* data, size_t size) {
  MemFile& f = StdinFile();
  f.Fill(data, size);
  if (!std::freopen(f.path.c_str(), "rb", stdin)) std::abort();
}

const char* AsFile(const uint8_t* data, size_t size) {
  MemFile& f = NamedFile();
  f.Fill(data, size);
  return f.path.c_str();
}

const char* OutputFile() {
  MemFile& f = OutFile();
  f.Fill(nullptr, 0);
  return f.path.c_str();
}

bool Succeeds(int (*program_main)(int, char**), int argc, char** argv, const char* const* allowed) {
  try {
    program_main(argc, argv);
  } catch (const Fatal& e) {
    if (!OneOf(e.what(), allowed)) Broken(std::string(argv[0]) + " message: " + e.what());
    return false;
  }
  return true;
}

std::vector<AttributedFacet> ReadBack(const char* path) {
  uint32_t count = 0;
  AttributedFacet* facet = nullptr;
  try {
    ReadFacet(path, &count, &facet);
  } catch (const Fatal& e) {
    Broken(std::string("written model does not read back: ") + e.what());
  }
  std::vector<AttributedFacet> model(facet, facet + count);
  std::free(facet);
  return model;
}

bool OneOf(const char* message, const char* const* allowed) {
  for (; *allowed; ++allowed)
    if (std::strcmp(message, *allowed) == 0) return true;
  return false;
}

void Broken(const std::string& what) {
  std::fprintf(stderr, "broken invariant: %s\n", what.c_str());
  std::abort();
}
