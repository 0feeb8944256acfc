#!/bin/sh
# Wall time and peak memory of the threaded surface map under the tree
# engine on generated asteroids of 1,000,000 and 3,000,000 facets (the
# models are written to a temporary folder and removed after).
#
#   bench/tree_large.sh [build]
set -eu
build=${1:-build}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for n in 1000000 3000000; do
  "$build/bench/make_asteroid" "$n" "$dir/model.stl"
  echo "surfgrav_m, $n facets, TOLERANCE=1e-13 THREADS=2:"
  TOLERANCE=1e-13 THREADS=2 /usr/bin/time -f "  wall %e s, peak memory %M kB" \
    "$build/bin/surfgrav_m" "$dir/model.stl" >/dev/null
done
