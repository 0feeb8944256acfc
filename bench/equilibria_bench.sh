#!/bin/sh
# Wall time, processor time and peak memory of polyfield equilibria: the
# shipped Kleopatra (4,092 facets, 3600 kg/m^3, 5.385 h) exactly and under
# a tolerance, then generated asteroids (1,000,000 facets unless SIZES says
# otherwise, km, 2000 kg/m^3, 6 h) under TOLERANCE (1e-9 unless set), each
# with its count of equilibria and its completeness line. The generated
# models are written to a temporary folder and removed after.
#
#   bench/equilibria_bench.sh [build]
#   SIZES="100000 1000000" TOLERANCE=1e-10 bench/equilibria_bench.sh build
set -eu
build=${1:-build}
sizes=${SIZES:-1000000}
tolerance=${TOLERANCE:-1e-9}
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
run() {
  name=$1
  shift
  /usr/bin/time -o "$dir/time" -f "wall %e s, user %U s, system %S s, peak memory %M kB" \
    "$build/bin/polyfield" equilibria "$@" -o "$dir/out" || true
  echo "$name: $(cat "$dir/time")"
  grep -E '^# (equilibria|completeness):' "$dir/out" | sed 's/^/  /'
}
run "kleopatra, exact" "$here/examples/kleopatra.stl" --unit km --density 3600 --spin-period 5.385
run "kleopatra, tolerance 1e-10" "$here/examples/kleopatra.stl" --unit km --density 3600 \
  --spin-period 5.385 --tolerance 1e-10
for n in $sizes; do
  "$build/bench/make_asteroid" "$n" "$dir/model.stl"
  run "generated asteroid, $n facets, tolerance $tolerance" "$dir/model.stl" --unit km \
    --density 2000 --spin-period 6 --tolerance "$tolerance"
done
