// polygrav_m point list: against a fixed cube, any point file gives one line
// per point read or ends with "no point data.".
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/fuzz/polygrav_run.h"

namespace {
const char* const kMessages[] = {"no point data.", nullptr};

// The unit cube as a vertex/face file, written once.
const char* CubePath() {
  static const std::string path = [] {
    const std::string p = "/tmp/polyfield-fuzz-cube-" + std::to_string(getpid()) + ".txt";
    FILE* f = std::fopen(p.c_str(), "w");
    std::fputs(
        "8 12\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n0 0 1\n1 0 1\n1 1 1\n0 1 1\n"
        "0 2 1\n0 3 2\n4 5 6\n4 6 7\n0 1 5\n0 5 4\n1 2 6\n1 6 5\n2 3 7\n2 7 6\n3 0 4\n3 4 7\n",
        f);
    std::fclose(f);
    return p;
  }();
  return path.c_str();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  const char* points = AsFile(data, size);
  polygrav_run::Run(CubePath(), points, kMessages);
  return 0;
}
