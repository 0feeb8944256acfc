#!/bin/sh
# The surface map of a generated asteroid of 1,000,000 facets at tolerance
# 1e-10 on this machine: 1 process x 2 threads against 2 MPI ranks x 1
# thread (and 1 x 1 for the single-thread cost), the bytes compared; then a
# projection, stated as such, of 3,000,000 facets on 64 ranks from the
# measured costs: the part every rank repeats (reading, checking, the tree
# and its moments), the evaluation divided over the ranks (whole target
# batches), and rank 0's own part (finishing the surface, the table).
#
#   bench/mpi_surface.sh [build]
set -eu
build=${1:-build}
polyfield=$build/bin/polyfield
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mpirun="mpirun --allow-run-as-root --oversubscribe"
"$build/bench/make_asteroid" 1000000 "$dir/model.stl"
# 2000 points on the model's surface: enough for the tree (its build and
# moments, as every rank makes them), little to evaluate.
"$polyfield" surface "$dir/model.stl" --format csv -o "$dir/all.csv" --threads 2 \
  --tolerance 1e-3 2>/dev/null
awk -F, '!/^#/ && NR % 500 == 0 { print $3, $4, $5 }' "$dir/all.csv" >"$dir/few.txt"

# seconds COMMAND...: the wall time, and the evaluation's (the last
# progress line: the time from the evaluation's start) in $dir/eval.
seconds() {
  start=$(date +%s.%N)
  "$@" --progress 2>"$dir/progress"
  end=$(date +%s.%N)
  tail -n 1 "$dir/progress" | sed 's/.*, \([0-9:]*\) elapsed.*/\1/' |
    awk -F: '{ print $1 * 60 + $2 }' >"$dir/eval"
  echo "$end - $start" | bc
}
setup=$(seconds "$polyfield" field "$dir/model.stl" "$dir/few.txt" --tolerance 1e-10 \
  --threads 1 -o /dev/null)
echo "every rank's own part (read, check, tree, moments; 2000 points): $setup s"
# run NAME THREADS [LAUNCHER ...]
run() {
  name=$1 threads=$2
  shift 2
  t=$(seconds "$@" "$polyfield" surface "$dir/model.stl" --tolerance 1e-10 --threads "$threads" \
    -o "$dir/$name.tsv")
  e=$(cat "$dir/eval")
  echo "$name: wall $t s, evaluation $e s" >&2
  echo "$t $e"
}
set -- $(run "1 process x 1 thread" 1)
t11=$1 e11=$2
set -- $(run "1 process x 2 threads" 2)
t12=$1
set -- $(run "2 ranks x 1 thread" 1 $mpirun -n 2)
t21=$1
if cmp -s "$dir/1 process x 1 thread.tsv" "$dir/1 process x 2 threads.tsv" &&
  cmp -s "$dir/1 process x 1 thread.tsv" "$dir/2 ranks x 1 thread.tsv"; then
  echo "the same bytes from all three"
else
  echo "THE TABLES DIFFER"
  exit 1
fi
echo "$t12 $t21" | awk '{ printf "2 ranks x 1 thread / 1 process x 2 threads: %.3f\n", $2 / $1 }'
# The projection: the repeated part grows as N log N, the evaluation as
# N log N divided over 64 ranks, rank 0's part (the wall time of 1 x 1 less
# the evaluation and the repeated part) as N; the gather of 4 doubles a
# facet at 1 GB/s.
echo "$setup $t11 $e11" | awk '{
  grow = 3 * log(3e6) / log(1e6)
  rest = $2 - $3 - $1; if (rest < 0) rest = 0
  s = $1 * grow; e = $3 * grow / 64; r = rest * 3; g = 3e6 * 32 / 1e9
  printf "projection, not a measurement: 3,000,000 facets on 64 ranks x 1 thread: %.0f s ", s + e + r + g
  printf "(repeated %.0f s + evaluation %.1f s + rank 0 %.0f s + gather %.1f s)\n", s, e, r, g
}'
