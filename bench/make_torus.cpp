// Writes a closed torus of about N facets as binary, coloured binary or ASCII
// STL, for the timing scripts:  make_torus N binary|coloured|ascii OUT.stl
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/torus.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage : make_torus N binary|coloured|ascii OUT.stl\n");
    return 1;
  }
  int nu, nv;
  bench::TorusGrid(std::strtoul(argv[1], nullptr, 10), &nu, &nv);
  const auto facets = bench::Torus(nu, nv);
  if (std::strcmp(argv[2], "ascii") == 0)
    bench::WriteAscii(argv[3], facets);
  else if (std::strcmp(argv[2], "coloured") == 0)
    bench::WriteBinary(argv[3], facets, bench::TorusColours(nu, nv));
  else
    bench::WriteBinary(argv[3], facets);
  std::printf("%zu facets\n", facets.size());
  return 0;
}
