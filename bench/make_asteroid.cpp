// Writes the generated asteroid of about N facets (tests/support/asteroid.h) as a
// binary STL file, for the large-model runs of tree_large.sh.
//
//   build/bench/make_asteroid N out.stl
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/asteroid.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_asteroid N out.stl\n");
    return 2;
  }
  const std::vector<Facet> model =
      models::Asteroid(models::AsteroidGrid(std::strtoul(argv[1], nullptr, 10)));
  FILE* out = std::fopen(argv[2], "wb");
  if (!out) return 1;
  char header[80] = "generated asteroid";
  const uint32_t n = static_cast<uint32_t>(model.size());
  bool ok = std::fwrite(header, 80, 1, out) == 1 && std::fwrite(&n, 4, 1, out) == 1;
  for (const Facet& f : model) {
    unsigned char record[50] = {};
    float normal[3] = {0, 0, 0};
    std::memcpy(record, normal, 12);
    std::memcpy(record + 12, f.v, 36);
    ok = ok && std::fwrite(record, 50, 1, out) == 1;
  }
  return std::fclose(out) == 0 && ok ? 0 : 1;
}
