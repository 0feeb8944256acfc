#!/bin/sh
# Wall time, processor time (user, system) and peak memory of the threaded
# surface map under the tree engine on generated asteroids (1,000,000 and
# 3,000,000 facets unless SIZES says otherwise), with the md5 of its table.
# Given a second build, the two are run one after the other, ROUNDS times
# (2 unless set), so that both see the same machine: their times compare,
# and equal md5s say the two gave the same bytes. The models are written to
# a temporary folder and removed after.
#
#   bench/tree_large.sh [build [other-build]]
#   SIZES="320000" ROUNDS=3 TOLERANCE=1e-11 bench/tree_large.sh build /tmp/old/build
set -eu
build=${1:-build}
other=${2:-}
sizes=${SIZES:-1000000 3000000}
rounds=${ROUNDS:-2}
tolerance=${TOLERANCE:-1e-13}
set -- "$build"
[ -n "$other" ] && set -- "$build" "$other"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for n in $sizes; do
  "$build/bench/make_asteroid" "$n" "$dir/model.stl"
  echo "surfgrav_m, $n facets, TOLERANCE=$tolerance THREADS=2:"
  round=0
  while [ "$round" -lt "$rounds" ]; do
    round=$((round + 1))
    for b in "$@"; do
      TOLERANCE=$tolerance THREADS=2 /usr/bin/time -o "$dir/time" \
        -f "wall %e s, user %U s, system %S s, peak memory %M kB" \
        "$b/bin/surfgrav_m" "$dir/model.stl" > "$dir/out"
      echo "  $b: $(cat "$dir/time"), md5 $(md5sum < "$dir/out" | cut -c1-12)"
    done
  done
done
