#!/usr/bin/env bash
# Builds the suite and runs it on the bundled example model (asteroid 216
# Kleopatra, 4092 facets, km): volume, centroid and the field at a few points.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
model=examples/kleopatra.stl
echo "== fieldpts_m $model examples/points.txt  (volume, centroid; then x y z U gx gy gz)"
build/bin/fieldpts_m "$model" examples/points.txt
