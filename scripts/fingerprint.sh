#!/usr/bin/env bash
# The md5 of standard output, standard error, status and every file written
# for a fixed list of runs: the eighteen programs on the test models, every
# polyfield command in every format with and without a tolerance, a body of
# parts and point masses, mpirun on 3 ranks, and the Python module's results
# pickled. Two builds that print the same list behave the same.
#   scripts/fingerprint.sh [BUILD_DIR]   (default build)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
bin=$build/bin data=$root/tests/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$data/cube.stl" "$data/cube.vf.txt" "$data/models/eros.stl" "$data/models/kleopatra.stl" \
  "$data/models/eros1708_km.vf.txt" "$root/examples/points.txt" "$root/share/colormaps/viridis.cm" \
  "$root/share/colormaps/grey.cm" "$data/corpus/ascii_crlf_two_solids_capital_E.stl" .
awk 'BEGIN { srand(3); for (i = 0; i < 400; ++i)
  printf "%.17g %.17g %.17g\n", 3 * rand() - 1.5, 3 * rand() - 1.5, 3 * rand() - 1.5 }' >cube_points.txt
awk 'BEGIN { srand(5); for (i = 0; i < 400; ++i)
  printf "%.17g %.17g %.17g\n", 60 * rand() - 30, 30 * rand() - 15, 20 * rand() - 10 }' >eros_points.txt
# A cavity inside the cube and point masses.
awk '{ if (NR > 1 && NR <= 9) printf "%.17g %.17g %.17g\n", 0.3 + 0.2 * $1, 0.3 + 0.2 * $2, 0.3 + 0.2 * $3;
       else print }' cube.vf.txt >cavity.vf.txt
printf '0.5 0.5 0.5 10\n2 0 0 5\n' >mascons.txt
printf '0 0 0 1 0 0 0 1 0 31744\n0 0 0 0 1 0 1 0 0 0 255 0\n' >tri.txt
awk 'BEGIN { for (i = 0; i < 12; ++i) print 20 * i, 255 - 20 * i, 7 * i }' >rgb.txt
# The hard shapes: a plate and a needle (boxes of 8 x 8 squares a side, two
# triangles each), Eros 10^4 of its sizes from the origin, points near and
# far, and a binary STL cut short.
box() {
  awk -v a="$1" -v b="$2" -v c="$3" -v ox="${4:-0}" 'BEGIN { n = 8; V = 0; F = 0
    for (s = 0; s < 6; ++s) { ax = int(s / 2); hi = s % 2
      for (i = 0; i <= n; ++i) for (j = 0; j <= n; ++j) {
        u = i / n; v = j / n
        if (ax == 0) { x = hi; y = u; z = v } else if (ax == 1) { x = v; y = hi; z = u } else { x = u; y = v; z = hi }
        vx[V] = ox + a * x; vy[V] = b * y; vz[V] = c * z; ++V }
      base = V - (n + 1) * (n + 1)
      for (i = 0; i < n; ++i) for (j = 0; j < n; ++j) {
        p = base + i * (n + 1) + j; q = p + n + 1
        if (hi) { f[F++] = p " " q " " q + 1; f[F++] = p " " q + 1 " " p + 1 }
        else { f[F++] = p " " q + 1 " " q; f[F++] = p " " p + 1 " " q + 1 } } }
    print V, F; for (k = 0; k < V; ++k) printf "%.17g %.17g %.17g\n", vx[k], vy[k], vz[k]
    for (k = 0; k < F; ++k) print f[k] }'
}
box 1 1 0.001 >plate.vf.txt
box 0.001 0.001 1 >needle.vf.txt
awk 'NR == 1 { V = $1 } NR > 1 && NR <= V + 1 { printf "%.17g %s %s\n", $1 + 3.5e5, $2, $3; next }
  { print }' eros1708_km.vf.txt >eros_far.vf.txt
awk 'BEGIN { srand(9); for (i = 0; i < 300; ++i)
  printf "%.17g %.17g %.17g\n", 1.2 * rand() - 0.1, 1.2 * rand() - 0.1, 0.01 * rand() - 0.005;
  for (i = 0; i < 20; ++i) printf "%.17g %.17g %.17g\n", 1e3 * (rand() - 0.5), 1e6, 1e9 * rand() }' \
  >thin_points.txt
awk 'BEGIN { srand(10); for (i = 0; i < 300; ++i)
  printf "%.17g %.17g %.17g\n", 3.5e5 + 40 * rand() - 20, 20 * rand() - 10, 20 * rand() - 10;
  for (i = 0; i < 20; ++i) printf "%.17g %.17g %.17g\n", 3.5e5, 1e5 * (rand() + 1), 1e7 }' >far_points.txt
head -c 5000 kleopatra.stl >cut.stl

# One run: its name, then the command; standard input is empty unless a
# file named NAME.in exists.
run() {
  local name=$1
  shift
  local in=/dev/null
  [ -e "$name.in" ] && in=$work/$name.in
  mkdir -p "$name.out"
  (cd "$name.out" && "$@" <"$in" >"$work/stdout" 2>"$work/stderr")
  local status=$?
  local files=""
  # A PDF's creation date aside.
  for f in $(cd "$name.out" && ls); do
    files+=" $f:$(grep -av '/CreationDate' "$name.out/$f" | md5sum | cut -c1-12)"
  done
  printf '%s\tstatus %d\tout %s\terr %s\t%s\n' "$name" "$status" \
    "$(md5sum <stdout | cut -c1-12)" "$(md5sum <stderr | cut -c1-12)" "$files"
  rm -rf "$name.out" stdout stderr
}
# Each run starts in a folder of its own beside the inputs: their paths,
# printed in headers and messages, are the same in every run.
W=..
cp cube_points.txt fieldpts.in
for b in "" _s _m; do
  run fieldpts$b "$bin/fieldpts$b" "$W/cube.stl" "$W/cube_points.txt"
  run fieldpts_centroids$b "$bin/fieldpts$b" "$W/eros.stl"
  run surfgrav$b "$bin/surfgrav$b" "$W/eros.stl"
  run plumbline$b "$bin/plumbline$b" "$W/eros.stl"
  run plumbline_cm$b "$bin/plumbline$b" "$W/eros.stl" "$W/viridis.cm" out.stl
  run geopot$b "$bin/geopot$b" "$W/kleopatra.stl"
  run geopot_range$b "$bin/geopot$b" "$W/eros.stl" 0.6 0.9 "$W/grey.cm" out.stl
done
THREADS=2 run plumbline_m2 "$bin/plumbline_m" "$W/kleopatra.stl"
TOLERANCE=1e-10 run fieldpts_s_tol "$bin/fieldpts_s" "$W/eros.stl"
TOLERANCE=1e-8 THREADS=2 run surfgrav_m_tol "$bin/surfgrav_m" "$W/kleopatra.stl"
run polygrav_m "$bin/polygrav_m" "$W/eros1708_km.vf.txt"
run polygrav_m_points "$bin/polygrav_m" "$W/eros1708_km.vf.txt" "$W/eros_points.txt"
TOLERANCE=1e-9 run polygrav_m_tol "$bin/polygrav_m" "$W/eros1708_km.vf.txt" "$W/eros_points.txt"
printf '0 0 0\n0 0 2\n0.3 0.2 0.1\n' >globe.in
for g in ih th oh; do cp globe.in globe_$g.in; run globe_$g "$bin/globe_$g" 3; done
run facetpaint_list "$bin/facetpaint" "$W/cube.stl"
run facetpaint_clear "$bin/facetpaint" "$W/cube.stl" out.stl
run facetpaint_rgb "$bin/facetpaint" "$W/cube.stl" "$W/rgb.txt" out.stl
run facetpaint_r_g_b "$bin/facetpaint" "$W/cube.stl" 10 20 30 out.stl
cp tri.txt tribuild.in
run tribuild "$bin/tribuild" out.stl
run stlrender "$bin/stlrender" "$W/kleopatra.stl" out.png 30 20 200 150

pf=$bin/polyfield
for fmt in tsv csv npy npz; do
  for tol in "" "--tolerance 1e-10"; do
    t=${tol:+_tol}
    run field_$fmt$t "$pf" field "$W/eros1708_km.vf.txt" "$W/eros_points.txt" --density 2670 --unit km \
      --format $fmt -o out $tol
    run field_gradient_$fmt$t "$pf" field "$W/cube.vf.txt" "$W/cube_points.txt" --gradient \
      --format $fmt -o out $tol
    run surface_$fmt$t "$pf" surface "$W/kleopatra.stl" --density 3600 --unit km --spin-period 5.385 \
      $([ $fmt = tsv ] || [ $fmt = csv ] && echo --summary) --format $fmt -o out $tol
    run grid_$fmt$t "$pf" field "$W/eros1708_km.vf.txt" --density 2670 --unit km --sphere 30 \
      --grid 6,12 --format $fmt -o out $tol
  done
  run parts_field_$fmt "$pf" field "$W/cube.vf.txt" "$W/cube_points.txt" --density 1000 \
    --add "$W/cavity.vf.txt:-500" --mascons "$W/mascons.txt" --format $fmt -o out
  run parts_surface_$fmt "$pf" surface "$W/cube.vf.txt" --density 1000 \
    --add "$W/cavity.vf.txt:-500" --mascons "$W/mascons.txt" --format $fmt -o out
done
for fmt in tsv csv npy icgem shadr; do
  run harmonics_$fmt "$pf" harmonics "$W/eros1708_km.vf.txt" --degree 8 --density 2670 --unit km \
    --format $fmt -o out
  run harmonics_com_$fmt "$pf" harmonics "$W/kleopatra.stl" --degree 6 --mass 2.5e18 --unit km \
    --origin centre-of-mass --format $fmt -o out
  run harmonics_parts_$fmt "$pf" harmonics "$W/cube.vf.txt" --degree 4 --density 1000 \
    --add "$W/cavity.vf.txt:-500" --mascons "$W/mascons.txt" --format $fmt -o out
done
run harmonics_gm "$pf" harmonics "$W/cube.vf.txt" --degree 3 --gm 4.46e5
run harmonics_normalised "$pf" harmonics "$W/cube.vf.txt" --degree 3
run surface_figures "$pf" surface "$W/kleopatra.stl" --density 3600 --unit km --spin-period 5.385 \
  -o out.tsv --stl out.stl --png out.png --latlon out.svg --size 200,150
run surface_picture_pdf "$pf" surface "$W/eros.stl" --picture out.pdf --colour potential --size 200,150
run check_kleopatra "$pf" check "$W/kleopatra.stl"
run check_corpus "$pf" check "$W/ascii_crlf_two_solids_capital_E.stl"
for ext in obj ply off vf.txt tab stl; do
  run convert_$ext "$pf" convert "$W/kleopatra.stl" out.$ext
done
run convert_ascii "$pf" convert "$W/cube.vf.txt" out.stl --ascii
run convert_binary_ply "$pf" convert "$W/cube.vf.txt" out.ply --binary
for shape in plate needle; do
  for tol in "" "--tolerance 1e-10"; do
    t=${tol:+_tol}
    run ${shape}_field$t "$pf" field "$W/$shape.vf.txt" "$W/thin_points.txt" --gradient -o out $tol
    run ${shape}_surface$t "$pf" surface "$W/$shape.vf.txt" -o out $tol
  done
done
run far_field "$pf" field "$W/eros_far.vf.txt" "$W/far_points.txt" --density 2670 --unit km -o out
run far_field_tol "$pf" field "$W/eros_far.vf.txt" "$W/far_points.txt" --density 2670 --unit km \
  --tolerance 1e-12 --gradient -o out
run far_harmonics "$pf" harmonics "$W/eros_far.vf.txt" --degree 4 --density 2670 --unit km \
  --origin centre-of-mass -o out
run cut_stl_check "$pf" check "$W/cut.stl"
run cut_stl_fieldpts "$bin/fieldpts" "$W/cut.stl"
run cut_stl_field "$pf" field "$W/cut.stl" "$W/cube_points.txt" -o out
run bad_density "$pf" field "$W/cube.vf.txt" "$W/cube_points.txt" --density -3
run bad_tolerance "$pf" surface "$W/cube.vf.txt" --tolerance 1e-20

if command -v mpirun >/dev/null && [ -x "$pf" ]; then
  mpi() { mpirun --allow-run-as-root --oversubscribe -q -n 3 "$@"; }
  run mpi_field mpi "$pf" field "$W/eros1708_km.vf.txt" "$W/eros_points.txt" --density 2670 \
    --unit km --tolerance 1e-10 -o out --threads 1
  run mpi_surface mpi "$pf" surface "$W/kleopatra.stl" --density 3600 --unit km --summary -o out \
    --threads 1
  run mpi_harmonics mpi "$pf" harmonics "$W/eros1708_km.vf.txt" --degree 8 --density 2670 \
    --unit km -o out --threads 1
fi

if [ -d "$build/python" ]; then
  python=$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
  PYTHONPATH="$build/python" "${python:-python3}" -c '
import hashlib, pickle, sys, numpy, polyfield
W = sys.argv[1]
def digest(name, value):
    print("python_" + name, hashlib.md5(pickle.dumps(value, protocol=4)).hexdigest()[:12])
m = polyfield.Model(W + "/eros1708_km.vf.txt", unit="km")
p = numpy.loadtxt(W + "/eros_points.txt")
digest("field", m.field(p, density=2670))
digest("field_tol", m.field(p, density=2670, tolerance=1e-10))
digest("gradient", m.field(p, density=2670, gradient=True))
s = m.surface(density=2670, spin_period=5.27)
digest("surface", sorted((k, v) for k, v in s.items() if k != "summary"))
digest("summary", sorted(s["summary"].items()))
digest("grid", m.grid(30, (6, 12), density=2670))
h = m.harmonics(6, density=2670)
digest("harmonics", (h.C, h.S, h.GM, h.reference_radius))
digest("check", sorted(m.check().items()))
b = polyfield.Body([(W + "/cube.vf.txt", 1000), (W + "/cavity.vf.txt", -500)],
                  mascons=W + "/mascons.txt")
q = numpy.loadtxt(W + "/cube_points.txt")
digest("body", (b.mass, b.field(q), sorted((k, v) for k, v in b.surface().items() if k != "summary"), b.describe()))
digest("body_harmonics", (lambda h: (h.C, h.S, h.GM))(b.harmonics(4)))
digest("model_pickle", pickle.loads(pickle.dumps(m)).field(p[:5], density=2670))
# Two threads on one model at once, each with its own points.
import threading
k = polyfield.Model(W + "/kleopatra.stl", unit="km")
calls = [numpy.loadtxt(W + "/eros_points.txt") * 4, numpy.loadtxt(W + "/cube_points.txt") * 80]
got = [None, None]
def work(i):
    got[i] = k.field(calls[i], density=3600, tolerance=1e-10, gradient=True)
threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
for t in threads: t.start()
for t in threads: t.join()
digest("two_threads", got)
digest("one_thread", [k.field(c, density=3600, tolerance=1e-10, gradient=True) for c in calls])
' . 2>&1 || echo "python status $?"
fi
