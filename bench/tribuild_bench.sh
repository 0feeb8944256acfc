#!/usr/bin/env bash
# Times tribuild on generated triangle lines (1,000,000 by default): a third
# without colour, a third with a flag, a third with R G B, coordinates with
# six decimals. Then times facetpaint listing the model it wrote.
#
#   bench/tribuild_bench.sh [BUILD_DIR] [LINES]     (default: build 1000000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin
lines=${2:-1000000}
for p in tribuild facetpaint; do
  [[ -x $bin/$p ]] || { echo "no $bin/$p: build first" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

awk -v n="$lines" 'BEGIN {
  srand(1);
  for (i = 0; i < n; i++) {
    x = rand() * 100; y = rand() * 100; z = rand() * 100;
    printf "%.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f", \
      x, y, z, x + rand(), y, z + rand(), x, y + rand(), z - rand();
    if (i % 3 == 1) printf " %d", i % 32768;
    else if (i % 3 == 2) printf " %d %d %.1f", i % 256, (i / 7) % 256, rand() * 255;
    printf "\n";
  }
}' > "$tmp/triangles.txt"
echo "input: $lines lines, $(stat -c %s "$tmp/triangles.txt") bytes"

TIMEFORMAT="%R s wall, %U s user, %S s system"
printf "%s" "tribuild:            " >&2
time "$bin/tribuild" "$tmp/model.stl" < "$tmp/triangles.txt"
size=$(stat -c %s "$tmp/model.stl")
[[ $size -eq $((84 + 50 * lines)) ]] || { echo "wrong output size $size" >&2; exit 1; }
printf "%s" "facetpaint (listing): " >&2
time "$bin/facetpaint" "$tmp/model.stl" > "$tmp/listing.txt"
printf "%s" "facetpaint (clear):   " >&2
time "$bin/facetpaint" "$tmp/model.stl" "$tmp/cleared.stl"
