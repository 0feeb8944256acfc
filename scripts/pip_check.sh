#!/usr/bin/env bash
# pip install . as a Python user runs it, without network: a scratch virtual
# environment that sees the system's packages (numpy), the module built by the
# project's CMake for that environment's interpreter; then, from outside the
# source folder, the installed module imported, the potential at the centre
# of the unit cube against its closed form, and a bundled colour map found in
# the environment's prefix.
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
