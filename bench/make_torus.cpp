// Writes a closed torus of about N facets as binary or ASCII STL, for the
// timing scripts:  make_torus N binary|ascii OUT.stl
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/torus.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage : make_torus N binary|ascii OUT.stl\n");
    return 1;
  }
  const auto facets = bench::TorusOf(std::strtoul(argv[1], nullptr, 10));
  if (std::strcmp(argv[2], "ascii") == 0)
    bench::WriteAscii(argv[3], facets);
  else
    bench::WriteBinary(argv[3], facets);
  std::printf("%zu facets\n", facets.size());
  return 0;
}
