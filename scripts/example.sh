#!/usr/bin/env bash
# Builds the suite and runs the whole chain on the bundled example model,
# asteroid 216 Kleopatra (radar shape model, 4092 facets, km).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
THREADS=${THREADS:-$(nproc)} scripts/chain.sh build/bin examples/kleopatra.stl examples/points.txt build/example
