#!/usr/bin/env bash
# polyfield as the ranks of an MPI job: field, surface and harmonics under
# mpirun on 3 ranks (more than the cores: oversubscribed) give the bytes of
# one process, with the exact sum and with the tree; a failure on one rank
# alone (its own points file, its own model) is told once, by rank 0, with
# status 1 and no output file, also where it fails while the units of the
# field are gathered (memory refused, by the fault-injection library) or
# while the harmonics' blocks are summed (threads refused), or while the
# points read by the ranks together or the model read by rank 0 are handed
# over (memory refused), or while rank 0 makes the field's plan for all
# (memory refused).
#   mpi_test.sh POLYFIELD MPIEXEC DATA_DIR FAULT_LIBRARY
set -u
polyfield=$1 mpiexec=$2 data=$3 faults=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# CI runs as root; Open MPI refuses that unless told.
run() { "$mpiexec" --allow-run-as-root --oversubscribe -q "$@"; }
# faulted RANK SETTING ARGS...: polyfield ARGS on 3 ranks, the fault
# library loaded with SETTING (NAME=VALUE) on rank RANK (2 or 0) alone; a
# job that waits for ever ends after two minutes (status 124).
faulted() {
  local rank=$1 setting=$2 mpi=(timeout 120 "$mpiexec" --allow-run-as-root --oversubscribe -q)
  shift 2
  if [ "$rank" -eq 2 ]; then
    "${mpi[@]}" -n 2 "$polyfield" "$@" : -n 1 -x "$setting" -x LD_PRELOAD="$faults" "$polyfield" "$@"
  else
    "${mpi[@]}" -n 1 -x "$setting" -x LD_PRELOAD="$faults" "$polyfield" "$@" : -n 2 "$polyfield" "$@"
  fi
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
eros=$data/models/eros.stl kleopatra=$data/models/kleopatra.stl

# Points near and inside each model (the tree's batches; Eros is 1.6 units
# long, Kleopatra 217 km), far ones (the model's expansion), with a
# comment, a blank line and commas.
points() {
  awk -v s="$1" 'BEGIN { srand(7); print "# points";
    for (i = 0; i < 2500; ++i)
      printf "%.17g %.17g %.17g\n", s * (1.6 * rand() - 0.8), s * (0.8 * rand() - 0.4), s * (0.6 * rand() - 0.3);
    print "";
    for (i = 0; i < 300; ++i) printf "%.17g,%.17g,%.17g\n", s * (40 * rand() - 20), 10 * s, s * rand() }'
}
points 1 >points.txt
points 140 >kleopatra.txt
# Same bytes as one process for every command: $1 a name, then the command
# with OUT where the output file goes.
same() {
  local name=$1
  shift
  local one=("${@//OUT/$name.one}") many=("${@//OUT/$name.many}")
  "$polyfield" "${one[@]}" --threads 2 2>/dev/null || fail "$name: one process failed"
  run -n 3 "$polyfield" "${many[@]}" --threads 1 2>/dev/null || fail "$name: 3 ranks failed"
  cmp -s "$name.one" "$name.many" || fail "$name: 3 ranks differ from one process"
}
for engine in "--exact" "--tolerance 1e-10"; do
  tag=${engine// /}
  # shellcheck disable=SC2086
  {
    same "field$tag" field "$eros" points.txt $engine -o OUT
    same "gradient$tag" field "$kleopatra" kleopatra.txt $engine --gradient --density 3400 --unit km -o OUT
    same "surface$tag" surface "$eros" $engine --summary --spin-period 5.27 --density 2670 \
      --unit km -o OUT
    same "npy$tag" surface "$kleopatra" $engine --format npy -o OUT
  }
done
same harmonics harmonics "$eros" --degree 24 --density 2670 --unit km -o OUT
# A command that evaluates the field at points of its own choosing (not a
# plan's units): every rank's tree is handed every moment.
same equilibria equilibria "$eros" --density 2670 --unit km --spin-period 5.27 --tolerance 1e-10 \
  -o OUT
# The units of the field's plan dealt out over the ranks and gathered by
# rank 0, which writes the table: many units a rank, in TSV, CSV, NPY and
# NPZ, with the tensor.
awk 'BEGIN { srand(11); for (i = 0; i < 30000; ++i)
  printf "%.17g %.17g %.17g\n", 400 * rand() - 200, 300 * rand() - 150, 300 * rand() - 150 }' >many.txt
same slices field "$kleopatra" many.txt --gradient --density 3400 --unit km -o OUT
same slices_csv field "$kleopatra" many.txt --format csv -o OUT
same slices_npy field "$kleopatra" many.txt --gradient --format npy -o OUT
same slices_npz field "$kleopatra" many.txt --gradient --density 3400 --unit km --format npz -o OUT
# Under a tolerance the library plans the points by sections (1,048,576 a
# section): three sections, the last one short, their units dealt out
# over the ranks, with the tensor, in NPZ.
awk 'BEGIN { srand(13); for (i = 0; i < 2200000; ++i)
  printf "%.9g %.9g %.9g\n", 3 * rand() - 1.5, 2 * rand() - 1, 2 * rand() - 1 }' >sections.txt
same sections field "$eros" sections.txt --tolerance 1e-6 --gradient --format npz -o OUT
rm sections.txt
# A body of parts and point masses (evaluated whole by every rank that has
# a unit of it under a tolerance), and a grid, its units dealt out.
eros_km=$data/models/eros1708_km.vf.txt
printf '1 0 0 1e12\n-2 1 0 5e11\n' >mascons.txt
body=("$eros_km" --density 2400 --unit km --add "$eros_km:-500" --mascons mascons.txt)
same body_field field "${body[@]}" points.txt --gradient --tolerance 1e-8 -o OUT
same body_surface surface "${body[@]}" --summary -o OUT
same body_harmonics harmonics "${body[@]}" --degree 6 --origin centre-of-mass -o OUT
same grid field "$eros" --sphere 3 --grid 9,18 --tolerance 1e-10 -o OUT
same harmonics_com harmonics "$kleopatra" --degree 8 --origin centre-of-mass -o OUT
# The body's grid about its centre of mass, on a sphere and on a shell,
# and as netCDF (its history the command line: the same words both ways).
same body_grid field "${body[@]}" --sphere 40 --grid 9,18 --tolerance 1e-8 -o OUT
same body_shell field "${body[@]}" --altitude 2 --grid 6,12 --format npz -o OUT
"$polyfield" field "${body[@]}" --sphere 40 --grid 9,18 --format nc -o - --threads 1 \
  >grid_nc.one 2>/dev/null || fail "body_grid_nc: one process failed"
run -n 3 "$polyfield" field "${body[@]}" --sphere 40 --grid 9,18 --format nc -o - --threads 1 \
  >grid_nc.many 2>/dev/null || fail "body_grid_nc: 3 ranks failed"
cmp -s grid_nc.one grid_nc.many || fail "body_grid_nc: 3 ranks differ from one process"

# The coloured model and picture of a surface run, from rank 0.
"$polyfield" surface "$eros" --tolerance 1e-10 --stl one.stl --png one.png -o one.tsv 2>/dev/null
run -n 3 "$polyfield" surface "$eros" --tolerance 1e-10 --stl many.stl --png many.png \
  -o many.tsv 2>/dev/null
cmp -s one.stl many.stl && cmp -s one.png many.png && cmp -s one.tsv many.tsv ||
  fail "surface --stl --png: 3 ranks differ from one process"

# A bad line in the points only the last rank reads: rank 0 tells it, once;
# so is a file of another length there.
sed '1000s/.*/1.5 2.5 x/' points.txt >bad.txt
run -n 2 "$polyfield" field "$eros" points.txt -o out.tsv : \
  -n 1 "$polyfield" field "$eros" bad.txt -o out.tsv >stdout.txt 2>stderr.txt
status=$?
[ "$status" -eq 1 ] || fail "bad point line on one rank: status $status, not 1"
want='polyfield: bad.txt:1000: expected three finite numbers x y z, found "1.5 2.5 x"'
[ "$(cat stderr.txt)" = "$want" ] || fail "bad point line on one rank: stderr is
$(cat stderr.txt)"
[ ! -s stdout.txt ] || fail "bad point line on one rank: standard output not empty"
[ ! -e out.tsv ] || fail "bad point line on one rank: an output file was left"
ls | grep -q '^out\.tsv' && fail "bad point line on one rank: a temporary file was left"
head -n 2000 points.txt >short.txt
run -n 2 "$polyfield" field "$eros" points.txt --tolerance 1e-8 -o out.tsv : \
  -n 1 "$polyfield" field "$eros" short.txt --tolerance 1e-8 -o out.tsv >/dev/null 2>stderr.txt
status=$?
want='polyfield: short.txt: 1999 points on rank 2, 2800 on rank 0'
[ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
  fail "points of another length on one rank: status $status, stderr $(cat stderr.txt)"
[ ! -e out.tsv ] || fail "points of another length on one rank: an output file was left"

# A model that one rank cannot read, for each command.
for cmd in "field points.txt" "surface --summary" "harmonics --degree 4"; do
  # shellcheck disable=SC2086
  run -n 1 "$polyfield" ${cmd%% *} "$eros" ${cmd#* } -o out.txt : \
    -n 2 "$polyfield" ${cmd%% *} missing.stl ${cmd#* } -o out.txt >/dev/null 2>stderr.txt
  status=$?
  [ "$status" -eq 1 ] || fail "$cmd, a model missing on one rank: status $status"
  [ "$(cat stderr.txt)" = "polyfield: missing.stl: cannot be opened" ] ||
    fail "$cmd, a model missing on one rank: stderr is $(cat stderr.txt)"
  [ ! -e out.txt ] || fail "$cmd, a model missing on one rank: an output file was left"
done

# Memory refused to one rank while the field's units are gathered: 20,580
# points near Kleopatra (none beyond 4 radii), 644 units of 32 points (the
# last of 4) of the field and as many of the tensor; a third of the 1,288
# units a rank, in order. Rank 2 sends units 858 to 1,287, the tensor's: the
# six values of 13,732 points, 82,392 doubles (659,136 bytes), the most
# rank 0 takes from one rank (rank 1's are 68,496): refused to rank 2
# alone, then to rank 0 alone, one message from rank 0, and no file.
awk 'BEGIN { srand(3); for (i = 0; i < 20580; ++i)
  printf "%.6f %.6f %.6f\n", 400 * rand() - 200, 300 * rand() - 150, 300 * rand() - 150 }' >f.txt
want='polyfield: memory allocation error for the results of the points.'
for faulty in 2 0; do
  args=(field "$kleopatra" f.txt --gradient --format npy -o out.npy --threads 1)
  faulted "$faulty" FAIL_MALLOC_OF=659136 "${args[@]}" >stdout.txt 2>stderr.txt
  status=$?
  [ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
    fail "a memory fault on rank $faulty in the gather: status $status, stderr $(cat stderr.txt)"
  [ ! -e out.npy ] || fail "a memory fault on rank $faulty in the gather: an output file was left"
  ls | grep -q '^out\.npy' && fail "a memory fault on rank $faulty in the gather: a temporary file was left"
done

# The plan of the field made by rank 0 alone and handed to the others:
# memory refused where the chooser orders the far points (4 bytes a point
# of points.txt's 2800, asked for by planning alone) to every rank but 0
# leaves the table of one process; refused to rank 0, every rank ends
# with its failure, told once, with status 1 and no file, and no rank
# waits for ever. One process meets the fault (it is real).
args=(field "$eros" points.txt --tolerance 1e-10 -o out.tsv --threads 1)
want='polyfield: memory allocation error for P, X, Y and Z.'
FAIL_MALLOC_OF=11200 LD_PRELOAD="$faults" "$polyfield" "${args[@]}" 2>stderr.txt
status=$?
[ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] && [ ! -e out.tsv ] ||
  fail "memory refused to one process while it plans: status $status, stderr $(cat stderr.txt)"
"$polyfield" field "$eros" points.txt --tolerance 1e-10 -o plan.one 2>/dev/null
timeout 120 "$mpiexec" --allow-run-as-root --oversubscribe -q -n 1 "$polyfield" "${args[@]}" : \
  -n 2 -x FAIL_MALLOC_OF=11200 -x LD_PRELOAD="$faults" "$polyfield" "${args[@]}" 2>stderr.txt
status=$?
[ "$status" -eq 0 ] && cmp -s plan.one out.tsv ||
  fail "memory refused to ranks 1 and 2 while rank 0 plans: status $status, stderr $(cat stderr.txt)"
rm -f out.tsv
faulted 0 FAIL_MALLOC_OF=11200 "${args[@]}" >stdout.txt 2>stderr.txt
status=$?
[ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
  fail "memory refused to rank 0 while it plans: status $status, stderr $(cat stderr.txt)"
[ ! -e out.tsv ] || fail "memory refused to rank 0 while it plans: an output file was left"

# Threads refused to one rank while it sums its blocks of facets, in its
# first and in its second round of blocks (a sphere of 59,600 facets: 20
# blocks on that rank, in rounds of 16): every round ends with an
# agreement, so the job ends with one message, from rank 0. Open MPI starts
# threads of its own first; the refusals that it meets are skipped.
awk -v nl=150 -v nm=200 -f "$here/sphere.awk" >sphere.vf.txt
"$polyfield" harmonics sphere.vf.txt --degree 8 -o one.txt || fail "sphere harmonics failed"
run -n 3 "$polyfield" harmonics sphere.vf.txt --degree 8 --threads 2 -o many.txt
cmp -s one.txt many.txt || fail "sphere harmonics: 3 ranks differ from one process"
ours=0
for k in 0 1 2 3 4 5 6 7 8; do
  run -n 2 "$polyfield" harmonics sphere.vf.txt --degree 8 --threads 2 -o h.txt : \
    -n 1 -x FAIL_THREAD_START=$k -x LD_PRELOAD="$faults" "$polyfield" harmonics sphere.vf.txt \
    --degree 8 --threads 2 -o h.txt >/dev/null 2>stderr.txt
  status=$?
  grep -q -i 'opal\|pmix\|orte' stderr.txt && continue
  [ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "polyfield: multi-threading initialization error." ] ||
    fail "threads refused in round $((ours + 1)) of one rank: status $status, stderr $(cat stderr.txt)"
  [ ! -e h.txt ] || fail "threads refused in round $((ours + 1)) of one rank: an output file was left"
  ours=$((ours + 1))
  [ "$ours" -eq 2 ] && break
done
[ "$ours" -eq 2 ] || fail "threads refused to one rank: its rounds were never reached"

# The points read by the ranks together, each the lines that begin in its
# share of the bytes, and the model read by rank 0 and handed to the
# others: the table of one process at 2 and 3 ranks, from a file whose
# lines end in CRLF, with comments, blank lines and no last newline, and
# from one of fewer bytes than ranks.
{
  printf '# points\r\n\r\n'
  awk 'BEGIN { srand(5); for (i = 0; i < 400; ++i)
    printf "%.17g %.17g, %.17g # %d\r\n", 1.6 * rand() - 0.8, 0.8 * rand() - 0.4, 0.6 * rand() - 0.3, i }'
  printf '0.1 0.2 0.3'
} >shared.txt
printf '1 0 0' >one.txt
for file in shared.txt one.txt; do
  "$polyfield" field "$eros" "$file" --tolerance 1e-10 -o "$file.one" 2>/dev/null
  for n in 2 3; do
    run -n $n "$polyfield" field "$eros" "$file" --tolerance 1e-10 --threads 1 -o "$file.$n" \
      2>/dev/null || fail "$file on $n ranks failed"
    cmp -s "$file.one" "$file.$n" || fail "$file: $n ranks differ from one process"
  done
done
# The stages' CPU times asked for (POLYFIELD_STAGES): a line from each
# rank, and the same table.
run -n 2 -x POLYFIELD_STAGES=stages.txt "$polyfield" field "$eros" shared.txt --tolerance 1e-10 \
  --threads 1 -o stages.tsv 2>/dev/null || fail "field with POLYFIELD_STAGES failed"
cmp -s shared.txt.one stages.tsv || fail "POLYFIELD_STAGES: a table of other bytes"
[ "$(grep -c -E '^stages rank [01] of 2: read [0-9.]+ check [0-9.]+ build [0-9.]+ moments [0-9.]+ plan [0-9.]+ evaluation [0-9.]+ gather [0-9.]+ write [0-9.]+ total [0-9.]+ peak_kb [0-9]+$' stages.txt)" -eq 2 ] ||
  fail "POLYFIELD_STAGES: not a line from each rank: $(cat stages.txt)"
# A bad line in the first, a middle and the last share: the message of one
# process (the first bad line, with its number), status 1, no file.
for line in 3 200 403; do
  sed "${line}s/.*/0.5 x 0.5/" shared.txt >bad.txt
  sed -i "401s/.*/0.5 0.5/" bad.txt
  want=$("$polyfield" field "$eros" bad.txt -o out.tsv 2>&1)
  for n in 2 3; do
    run -n $n "$polyfield" field "$eros" bad.txt -o out.tsv >stdout.txt 2>stderr.txt
    status=$?
    [ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
      fail "bad line $line on $n ranks: status $status, stderr $(cat stderr.txt), not $want"
    [ ! -e out.tsv ] || fail "bad line $line on $n ranks: an output file was left"
  done
done
# Memory refused to one rank while it makes room for every rank's points
# (30,000 points: 240,000 bytes a coordinate), or for the model handed to
# it (Eros: 7374 vertices, 176,976 bytes): one message, from rank 0.
awk 'BEGIN { srand(17); for (i = 0; i < 30000; ++i)
  printf "%.9g %.9g %.9g\n", 3 * rand() - 1.5, 2 * rand() - 1, 2 * rand() - 1 }' >room.txt
# refused RANK SETTING WHAT ARGS...: faulted, and the job must end with
# status 1, "polyfield: memory allocation error for WHAT." alone, and no
# out.tsv.
refused() {
  local rank=$1 setting=$2 what=$3 status
  shift 3
  faulted "$rank" "$setting" "$@" >stdout.txt 2>stderr.txt
  status=$?
  [ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "polyfield: memory allocation error for $what." ] ||
    fail "memory refused to rank $rank for $what: status $status, stderr $(cat stderr.txt)"
  [ ! -e out.tsv ] || fail "memory refused to rank $rank for $what: an output file was left"
}
for fault in "240000 the points" "176976 the model"; do
  refused 2 FAIL_MALLOC_OF="${fault%% *}" "${fault#* }" field "$eros" room.txt -o out.tsv --threads 1
done

# Memory refused to one rank while the ranks make and hand over the
# tree's moments (Eros at 1e-12: its moments' arrays alone are of 10 MiB),
# and while a rank receives the moments its units take from another:
# rank 2 those of 30,816 doubles from rank 0, rank 0 those of 87,712 from
# rank 2. One message, from rank 0, and no file.
for fault in "2 10485760" "0 10485760" "2 246528" "0 701696"; do
  refused "${fault% *}" FAIL_ALIGNED_OF="${fault#* }" SI surface "$eros" --tolerance 1e-12 \
    -o out.tsv --threads 1
done

# A model unfit for the field formulas (a tetrahedron without a face),
# checked by rank 0 alone: every rank ends with its verdict, told once.
printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\n' >open.obj
for cmd in "field points.txt" "surface --summary"; do
  # shellcheck disable=SC2086
  want=$("$polyfield" ${cmd%% *} open.obj ${cmd#* } -o out.txt 2>&1)
  # shellcheck disable=SC2086
  run -n 3 "$polyfield" ${cmd%% *} open.obj ${cmd#* } -o out.txt >/dev/null 2>stderr.txt
  status=$?
  [ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
    fail "$cmd, an unfit model: status $status, stderr $(cat stderr.txt), not $want"
  [ ! -e out.txt ] || fail "$cmd, an unfit model: an output file was left"
done

# Refused options: one message, from rank 0.
run -n 3 "$polyfield" field "$eros" points.txt --tolerance 2 >/dev/null 2>stderr.txt
[ "$(wc -l <stderr.txt)" -eq 1 ] || fail "a refused option: $(cat stderr.txt)"
# Standard input reaches rank 0 alone: points or a model there are refused.
run -n 2 "$polyfield" field "$eros" - -o out.tsv <points.txt >/dev/null 2>stderr.txt
status=$?
want='polyfield: points on standard input: under mpirun only rank 0 reads it (give a file)'
[ "$status" -eq 1 ] && [ "$(cat stderr.txt)" = "$want" ] ||
  fail "points on standard input: status $status, stderr $(cat stderr.txt)"
[ ! -e out.tsv ] || fail "points on standard input: an output file was left"

[ "$failures" -eq 0 ] && echo "mpi_test: all passed"
exit $((failures > 0))
