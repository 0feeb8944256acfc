// fieldpts point list: each 1024-byte piece of a line is parsed as
// "%lf %lf %lf". The fast number scanner must agree with the C library's
// scanner on every piece (count and bits of every number converted), and the
// whole command, in its streaming and its batched form, must take any point
// file to a result line per point or to one of its messages.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/scan.h"
#include "engine/chooser.h"
#include "engine/direct.h"
#include "tests/fuzz/harness.h"
#include "tools/fieldpts_cmd.h"

namespace {

// A tetrahedron of volume 1/6, as binary STL, built once.
const char* ModelPath() {
  static const std::string path = [] {
    const float v[4][12] = {{0, 0, -1, 0, 0, 0, 0, 1, 0, 1, 0, 0},
                            {0, -1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                            {-1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0},
                            {1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1}};
    std::string s(80, '\0');
    const unsigned char count[4] = {4, 0, 0, 0};
    s.append(reinterpret_cast<const char*>(count), 4);
    for (const auto& f : v) {
      for (float x : f) {
        uint32_t bits;
        std::memcpy(&bits, &x, 4);
        for (int k = 0; k < 4; ++k) s.push_back(static_cast<char>(bits >> (8 * k)));
      }
      s.append(2, '\0');
    }
    const std::string p = "/tmp/polyfield-fuzz-tetra-" + std::to_string(getpid()) + ".stl";
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(s.data(), 1, s.size(), f);
    std::fclose(f);
    return p;
  }();
  return path.c_str();
}

bool Same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void CompareScanners(const uint8_t* data, size_t size) {
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!in) return;  // an empty input has no piece to compare
  char buf[1024];
  while (std::fgets(buf, sizeof buf, in)) {
    double fast[3], slow[3];
    const int nf = ScanDoubles(buf, 3, fast);
    const int ns = std::sscanf(buf, "%lf %lf %lf", &slow[0], &slow[1], &slow[2]);
    const int want = ns < 0 ? 0 : ns;
    if (nf != want)
      Broken("number scanner count differs from sscanf on \"" + std::string(buf) + "\"");
    for (int k = 0; k < nf; ++k)
      if (!Same(fast[k], slow[k]))
        Broken("number scanner value differs from sscanf on \"" + std::string(buf) + "\"");
  }
  std::fclose(in);
}

void RunCommand(FieldEngine& engine, const char* points) {
  char prog[] = "fieldpts";
  char model[256];
  std::snprintf(model, sizeof model, "%s", ModelPath());
  char pts[256];
  std::snprintf(pts, sizeof pts, "%s", points);
  char* argv[] = {prog, model, pts, nullptr};
  NoLeakCheck held;
  try {
    FieldptsMain(3, argv, engine);
  } catch (const Fatal& e) {
    // Writes to /dev/null never fail; the model and point file exist.
    Broken(std::string("fieldpts message: ") + e.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  CompareScanners(data, size);
  const char* points = AsFile(data, size);
  DirectEngine direct;
  RunCommand(direct, points);
  Chooser threaded(TableGuard::kRelative, Chooser::kThreadsSetting);
  RunCommand(threaded, points);
  return 0;
}
