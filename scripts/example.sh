#!/usr/bin/env bash
# Builds what the example runs, and runs it on the bundled example model,
# asteroid 216 Kleopatra (radar shape model, 4092 facets, km): the surface
# table of the spinning body with its slope statistics and a picture of the
# slopes (polyfield), then the whole chain of the command-line programs.
# Only the programs it runs are built (polyfield and five of the eighteen),
# not the tests or the benchmarks, and the build shows its progress.
# Everything it writes goes to build/example/.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== installing the Debian packages the build needs, where missing"
scripts/deps.sh
echo "== configuring the build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
targets=(polyfield fieldpts_m plumbline_m geopot_m stlrender)
echo "== building ${targets[*]} with $(nproc) jobs (a few minutes on 2 cores)"
cmake --build build -j "$(nproc)" --target "${targets[@]}"
out=build/example
mkdir -p "$out"
echo "== surface of the spinning body (density 3600 kg/m^3, period 5.385 h): $out/kleopatra_surface.tsv"
build/bin/polyfield surface examples/kleopatra.stl --density 3600 --unit km --spin-period 5.385 \
  --summary --colour slopeeff --png "$out/kleopatra_slope.png" -o "$out/kleopatra_surface.tsv"
grep -E '^# (mass|area|slopeeff percentile|area fraction)' "$out/kleopatra_surface.tsv"
echo "== picture: $out/kleopatra_slope.png (slope with the spin, viridis: low dark blue, high yellow)"
THREADS=${THREADS:-$(nproc)} scripts/chain.sh build/bin examples/kleopatra.stl examples/points.txt "$out"
