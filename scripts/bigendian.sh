#!/usr/bin/env bash
# Cross-builds the STL reader and writer for s390x, a big-endian host, and runs
# their tests under qemu-user: the unit tests of tests/common (reader, corpus,
# writer, colour maps, number scanning), facetpaint and tribuild end to end
# (read, paint, build and write real files), and the replays of the STL,
# facetpaint and tribuild fuzz corpora. On s390x the reader decodes through
# stl_detail::Reverse and the writer encodes through stl_detail::Fwrite.
#
#   scripts/bigendian.sh [BUILD_DIR]      (default: build-s390x)
#
# Installs the cross compiler and qemu-user when missing; exits non-zero on
# any failure.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-s390x}
sysroot=/usr/s390x-linux-gnu
emulator=(qemu-s390x -L "$sysroot")

"$src/scripts/deps.sh" cmake make crossbuild-essential-s390x qemu-user googletest

cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/s390x.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DPOLYFIELD_BENCH=OFF >/dev/null

# Every test binary labelled bigendian where it is declared, and the programs
# those tests run (tests/CMakeLists.txt).
cmake --build "$build" -j2 --target bigendian_tests

# The binaries are s390x code and the emulated host is big-endian: the ELF
# header says so, and a program built alike sees it in memory.
s390x-linux-gnu-readelf -h "$build/tests/read_test" | grep -E 'Data:|Machine:'
cat >"$build/byte_order.cpp" <<'EOF'
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
int main() {
  volatile uint32_t word = 0x01020304;
  const uint32_t w = word;
  unsigned char b[4];
  std::memcpy(b, &w, 4);
  const bool big = std::endian::native == std::endian::big;
  std::printf("host byte order: %s (0x01020304 in memory: %02x %02x %02x %02x)\n",
              big ? "big-endian" : "little-endian", b[0], b[1], b[2], b[3]);
  return big && b[0] == 1 && b[3] == 4 ? 0 : 1;
}
EOF
s390x-linux-gnu-g++ -std=c++20 -O2 -o "$build/byte_order" "$build/byte_order.cpp"
"${emulator[@]}" "$build/byte_order"

# The tests labelled bigendian, just built.
cd "$build"
ctest -L bigendian -j2 --output-on-failure --no-tests=error
