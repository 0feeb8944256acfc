#!/usr/bin/env bash
# Sanitizer runs of the test suite, each in a build folder of its own:
#   address  AddressSanitizer with UndefinedBehaviorSanitizer, every test
#   thread   ThreadSanitizer, the tests labelled threaded (tests/CMakeLists.txt),
#            built alone (target threaded_tests, with every program)
# Usage: scripts/sanitize.sh [address|thread ...]   (default: both)
# Any sanitizer finding ends its program with a failure, so the test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
kinds=(address thread)
[ $# -eq 0 ] || kinds=("$@")
for k in "${kinds[@]}"; do
  case "$k" in
    address) sanitize=address,undefined; select=(); targets=(all) ;;
    thread) sanitize=thread; select=(-L threaded); targets=(threaded_tests) ;;
    *) echo "unknown sanitizer run: $k" >&2; exit 2 ;;
  esac
  dir=build-$k
  start=$(date +%s)
  # Without MPI: its libraries are not built for the sanitizers (mpirun
  # then runs the whole job on its first rank).
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOLYFIELD_SANITIZE="$sanitize" \
    -DPOLYFIELD_BENCH=OFF -DPOLYFIELD_MPI=OFF >/dev/null
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}" >/dev/null
  built=$(date +%s)
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${select[@]}"
  echo "$k sanitizer run: built in $((built - start)) s, tests in $(($(date +%s) - built)) s"
done
