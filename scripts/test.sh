#!/usr/bin/env bash
# Builds everything and runs every test but the long ones (label long,
# which .ci/run runs after it: ctest --test-dir build -L long).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)" -LE long
