#!/usr/bin/env bash
# stlrender on a 1,000,000-facet coloured model (binary STL, 50 MB): wall
# time of the whole program (read, render, PNG) at the default 800 x 600 and
# at 1920 x 1080, best of three runs each.
#   bench/stlrender_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin/stlrender
[ -x "$bin" ] || { echo "no $bin: build first" >&2; exit 1; }
model=$build/bench/torus_1m.stl
mkdir -p "$build/bench"
[ -s "$model" ] || "$build/bench/make_torus" 1000000 coloured "$model"
out=$build/bench/torus_1m.png
best() {
  local times=""
  for _ in 1 2 3; do
    local t0 t1
    t0=$(date +%s.%N)
    "$bin" "$model" "$out" "$@"
    t1=$(date +%s.%N)
    times="$times $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')"
  done
  echo $times | tr ' ' '\n' | sort -g | head -1
}
echo "stlrender, 1000000 facets, 800 x 600:   $(best) s"
echo "stlrender, 1000000 facets, 1920 x 1080: $(best 30 25 1920 1080) s"
