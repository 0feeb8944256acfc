// tribuild triangle list: any list on standard input gives a model with one
// facet per line read, or ends with one of tribuild's messages and no model.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/fuzz/harness.h"

#define main TribuildMain
#include "tools/tribuild.cpp"
#undef main

namespace {
const char* const kMessages[] = {"missing triangle data.", "bad flag value.",
                                 "bad R, G and/or B value.", "no facet.", nullptr};

// The pieces fgets cuts the input into (lines of at most 1023 characters).
uint32_t Pieces(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
  char buf[1024];
  uint32_t n = 0;
  while (std::fgets(buf, sizeof buf, in)) ++n;
  std::fclose(in);
  return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  AsStdin(data, size);
  std::string out = OutputFile();
  char prog[] = "tribuild";
  char* argv[] = {prog, out.data(), nullptr};
  if (!Succeeds(TribuildMain, 2, argv, kMessages)) return 0;
  if (ReadBack(out.c_str()).size() != Pieces(data, size))
    Broken("facet count differs from the lines read");
  return 0;
}
