#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (build-fuzz/) and runs them one
# after the other, each for FUZZ_SECONDS seconds (default 300), one process at a
# time. Usage: scripts/fuzz.sh [harness ...]   (default: every harness)
# The growing corpus lives in build-fuzz/corpus/<harness>; findings land in
# build-fuzz/findings/<harness>/ and belong in tests/fuzz/regress/<harness>/
# once the fault is fixed. Executions and time go to build-fuzz/logs/. To
# keep what a run grew, minimise it into the committed corpus:
#   build-fuzz/fuzz/<harness>_fuzz -merge=1 tests/fuzz/corpus/<harness> build-fuzz/corpus/<harness>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-300}
all=(stl cm_stl points)
for extra in polygrav_vf polygrav_points facetpaint_rgb tribuild models; do
  grep -q "suite_fuzz($extra " tests/fuzz/tests.cmake && all+=("$extra")
done
harnesses=("${@:-${all[@]}}")
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOLYFIELD_FUZZ=ON \
  -DPOLYFIELD_BENCH=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("${h}_fuzz"); done
cmake --build build-fuzz -j2 --target "${targets[@]}"
mkdir -p build-fuzz/logs
for h in "${harnesses[@]}"; do
  mkdir -p "build-fuzz/corpus/$h" "build-fuzz/findings/$h"
  seeds=()
  for d in tests/fuzz/seeds/$h tests/fuzz/corpus/$h tests/fuzz/regress/$h; do [ -d "$d" ] && seeds+=("$d"); done
  log="build-fuzz/logs/$h-$(date +%Y%m%d-%H%M%S).log"
  echo "== $h for ${seconds}s (log $log)"
  status=0
  "build-fuzz/fuzz/${h}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
    -timeout=10 -artifact_prefix="build-fuzz/findings/$h/" "build-fuzz/corpus/$h" "${seeds[@]}" \
    >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "$h: finding (status $status), see $log and build-fuzz/findings/$h/"
    grep -m3 -E 'ERROR|broken invariant|SUMMARY' "$log" || true
  fi
done
