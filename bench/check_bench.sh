#!/usr/bin/env bash
# Times polyfield check on the generated asteroid (3,000,000 facets by
# default, binary STL): reading, edges, pieces, the box tree and the
# crossing test, best of three runs. A second build folder times the same
# model side by side (an older build, say).
#
#   bench/check_bench.sh [BUILD_DIR] [FACETS] [OTHER_BUILD_DIR]   (default: build 3000000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
facets=${2:-3000000}
other=${3:-}
for p in $build/bin/polyfield $build/bench/make_asteroid ${other:+$other/bin/polyfield}; do
  [[ -x $p ]] || { echo "no $p: build first" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bench/make_asteroid" "$facets" "$tmp/asteroid.stl"
echo "model: $(stat -c %s "$tmp/asteroid.stl") bytes"
best() {
  local b=
  for _ in 1 2 3; do
    local s=$(date +%s.%N)
    "$1" check "$tmp/asteroid.stl" > "$tmp/out.txt"
    local t=$(echo "$(date +%s.%N) - $s" | bc)
    [[ -z $b ]] || (( $(echo "$t < $b" | bc) )) && b=$t
  done
  echo "$b"
}
t=$(best "$build/bin/polyfield")
grep -E '^(faces|intersecting|components|verdict)' "$tmp/out.txt"
echo "polyfield check ($build): $t s"
if [[ -n $other ]]; then
  o=$(best "$other/bin/polyfield")
  echo "polyfield check ($other): $o s; ratio $(echo "scale=2; $o / $t" | bc)"
fi
