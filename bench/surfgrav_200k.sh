#!/usr/bin/env bash
# Wall time of surfgrav_m (threaded build, THREADS=2 unless set) on a closed
# torus of 200,000 facets: 4 x 10^10 facet evaluations.
#   bench/surfgrav_200k.sh [build-dir]
set -euo pipefail
build=${1:-build}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$build/bench/make_torus" 200000 binary "$dir/torus.stl"
export THREADS=${THREADS:-2}
start=$(date +%s.%N)
"$build/bin/surfgrav_m" "$dir/torus.stl" > "$dir/out.txt"
end=$(date +%s.%N)
lines=$(wc -l < "$dir/out.txt")
echo "surfgrav_m, THREADS=$THREADS, $((lines - 2)) facets: $(awk "BEGIN { printf \"%.1f\", $end - $start }") s wall"
