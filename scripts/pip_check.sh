#!/usr/bin/env bash
# pip install . as a Python user runs it, without network: first in an
# environment that lacks what the build needs (refused, naming it), then in a scratch virtual
# environment that sees the system's packages (numpy), the module built by the
# project's CMake for that environment's interpreter; then, from outside the
# source folder, the installed module imported, the potential at the centre
# of the unit cube against its closed form, and a bundled colour map found in
# the environment's prefix; the installed program polyfield run from the
# environment's bin/, its picture drawn with a colour map of that prefix.
#   scripts/pip_check.sh [PYTHON]   (default: the first python3 on PATH that imports numpy)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
"$src/scripts/deps.sh" python3-venv python3-pip python3-setuptools python3-wheel python3-numpy \
  python3-dev pybind11-dev
python=${1:-}
if [ -z "$python" ]; then
  IFS=: read -ra dirs <<<"$PATH"
  for d in "${dirs[@]}"; do
    if [ -x "$d/python3" ] && "$d/python3" -c 'import numpy' 2>/dev/null; then
      python=$d/python3
      break
    fi
  done
fi
[ -n "$python" ] || { echo "pip_check: no python3 on PATH imports numpy" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# An environment that lacks numpy and wheel (no system packages): pip install
# stops at once, naming what is missing.
"$python" -m venv "$dir/bare"
if "$dir/bare/bin/pip" install --no-build-isolation --no-index "$src" >"$dir/bare.log" 2>&1; then
  echo "pip_check: pip install succeeded without numpy and wheel" >&2; exit 1
fi
grep -E "polyfield: .*bare/bin/python3? cannot import (wheel, numpy|numpy)" "$dir/bare.log" ||
  { cat "$dir/bare.log" >&2; echo "pip_check: no message naming what is missing" >&2; exit 1; }
"$python" -m venv --system-site-packages "$dir/v"
"$dir/v/bin/pip" install --no-build-isolation --no-index "$src"
cd "$dir"
"$dir/v/bin/python" - "$src/tests/data/cube.stl" "$dir" <<'PY'
import math, os, sys, numpy, polyfield
cube, scratch = sys.argv[1], sys.argv[2]
where = os.path.realpath(polyfield.__file__)
assert where.startswith(os.path.realpath(sys.prefix)), where
model = polyfield.Model(cube)
U, g = model.field(numpy.array([[0.5, 0.5, 0.5]]))
# The unit cube's potential at its centre (G rho = 1): 3 ln(2 + sqrt 3) - pi/2.
exact = 3 * math.log(2 + math.sqrt(3)) - math.pi / 2
assert abs(U[0] - exact) < 1e-13 * exact, (U[0], exact)
assert numpy.abs(g).max() < 1e-13, g
model.write_colours(numpy.arange(12.0), stl=os.path.join(scratch, "cube.stl"), map="viridis")
print("pip install: polyfield %s from %s, numpy %s: U at the cube's centre %.15g (closed form %.15g)"
      % (polyfield.__version__, where, numpy.__version__, U[0], exact))
PY
program=$dir/v/bin/polyfield
[ -x "$program" ] || { echo "pip_check: pip installed no program $program" >&2; exit 1; }
"$program" check "$src/tests/data/cube.stl" | grep -x 'verdict	fit for the field formulas'
"$program" surface "$src/tests/data/cube.stl" --colour U --map viridis --png "$dir/cube.png" -o "$dir/cube.tsv"
echo "pip install: the program $program, its picture $(wc -c <"$dir/cube.png") bytes"
