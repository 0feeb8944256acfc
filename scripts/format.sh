#!/usr/bin/env bash
# The C++ sources in .clang-format's layout.
#   scripts/format.sh          rewrites every file that differs
#   scripts/format.sh --check  lists them and fails instead
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
