// Writes a closed torus of about N facets as binary, coloured binary or ASCII
// STL, for the timing scripts:  make_torus N binary|coloured|ascii OUT.stl
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/torus.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage : make_torus N binary|coloured|ascii OUT.stl\n");
    return 1;
  }
  int nu, nv;
  models::TorusGrid(std::strtoul(argv[1], nullptr, 10), &nu, &nv);
  const auto facets = models::Torus(nu, nv);
  if (std::strcmp(argv[2], "ascii") == 0)
    models::WriteAscii(argv[3], facets);
  else if (std::strcmp(argv[2], "coloured") == 0)
    models::WriteBinary(argv[3], facets, models::TorusColours(nu, nv));
  else
    models::WriteBinary(argv[3], facets);
  std::printf("%zu facets\n", facets.size());
  return 0;
}
