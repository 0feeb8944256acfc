#!/bin/sh
# How the ranks of an MPI job share a run's work, stage by stage: one job
# run as one process and as K = 2 and 4 ranks (one thread each,
# oversubscribed on a small machine: this measures CPU, not wall time).
# For each K, per stage (read, check, build, the tree's moments, plan,
# evaluation, gather, write; and the whole run's), the CPU seconds summed over the ranks and
# their ratio to one process's; each rank's peak resident memory; and
# whether the output is the same bytes as one process's. The times come
# from the program itself (POLYFIELD_STAGES=FILE: a line a rank).
#
# Jobs: the surface of a generated asteroid of about 327,000 facets at
# tolerance 1e-10, and the field at 1,000,000 points near one of about
# 20,000 facets at 1e-8, and the harmonic coefficients of the surface's
# model to degree 50. SURFACE_FACETS and SURFACE_TOLERANCE change the
# surface's (bench/make_asteroid rounds the facets to its own sizes),
# HARMONICS_DEGREE the degree, FIELD_POINTS the field's points.
#
#   bench/mpi_stages.sh [build] [surface|field|harmonics|all] [K...]
set -eu
build=${1:-build}
jobs=${2:-all}
shift 2 2>/dev/null || shift $#
ks=${*:-2 4}
polyfield=$build/bin/polyfield
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mpirun="mpirun --allow-run-as-root --oversubscribe -q"

# stages NAME K: the job's stage times summed over its ranks, one per
# line "stage seconds", then "peak rank kB" per rank.
summed() {
  awk '{ for (i = 6; i + 1 <= NF; i += 2) if ($i != "peak_kb") s[$i] += $(i + 1); else p[NR] = $(i + 1) }
    END { n = split("read check build moments plan evaluation gather write total", k, " ");
      for (i = 1; i <= n; ++i) printf "%s %.3f\n", k[i], s[k[i]];
      for (r = 1; r <= NR; ++r) printf "peak %d %d\n", r - 1, p[r] }' "$1"
}

# job NAME ARGS...: the job at K = 1 and at each K, and the table.
job() {
  name=$1
  shift
  rm -f "$dir/$name".*
  POLYFIELD_STAGES=$dir/$name.stages.1 "$polyfield" "$@" --threads 1 -o "$dir/$name.out.1" 2>/dev/null
  for k in $ks; do
    POLYFIELD_STAGES=$dir/$name.stages.$k $mpirun -n "$k" "$polyfield" "$@" --threads 1 \
      -o "$dir/$name.out.$k" 2>/dev/null
  done
  echo "== $name: polyfield $* --threads 1 (CPU seconds summed over the ranks; ratio to 1 process)"
  summed "$dir/$name.stages.1" >"$dir/$name.sum.1"
  line="stage      1 process"
  for k in $ks; do
    summed "$dir/$name.stages.$k" >"$dir/$name.sum.$k"
    line="$line       K=$k (ratio)"
  done
  echo "$line"
  for stage in read check build moments plan evaluation gather write total; do
    one=$(awk -v s=$stage '$1 == s { print $2 }' "$dir/$name.sum.1")
    printf '%-10s %9.3f' "$stage" "$one"
    for k in $ks; do
      awk -v s=$stage -v one="$one" '$1 == s {
        if (one > 0.001) printf "   %9.3f (%5.2fx)", $2, $2 / one; else printf "   %9.3f (   - )", $2 }' \
        "$dir/$name.sum.$k"
    done
    echo
  done
  printf 'peak MB    %9.1f' "$(awk '$1 == "peak" { print $3 / 1024 }' "$dir/$name.sum.1")"
  for k in $ks; do
    printf '   %s' "$(awk '$1 == "peak" { printf "%s%.1f", sep, $3 / 1024; sep = "/" }' "$dir/$name.sum.$k")"
  done
  echo " (each rank)"
  for k in $ks; do
    if cmp -s "$dir/$name.out.1" "$dir/$name.out.$k"; then
      echo "K=$k: the same bytes as one process"
    else
      echo "K=$k: OUTPUT DIFFERS from one process"
    fi
  done
}

if [ "$jobs" = all ] || [ "$jobs" = surface ] || [ "$jobs" = harmonics ]; then
  "$build/bench/make_asteroid" "${SURFACE_FACETS:-327680}" "$dir/large.stl"
fi
if [ "$jobs" = all ] || [ "$jobs" = surface ]; then
  job surface surface "$dir/large.stl" --tolerance "${SURFACE_TOLERANCE:-1e-10}"
fi
if [ "$jobs" = all ] || [ "$jobs" = harmonics ]; then
  job harmonics harmonics "$dir/large.stl" --degree "${HARMONICS_DEGREE:-50}"
fi
if [ "$jobs" = all ] || [ "$jobs" = field ]; then
  "$build/bench/make_asteroid" 20480 "$dir/small.stl"
  # FIELD_POINTS (1,000,000) points in the box about the body (10 x 7 x 5
  # km semi-axes, lumps of up to a quarter more): inside, near and a
  # little beyond it.
  awk -v n="${FIELD_POINTS:-1000000}" 'BEGIN { srand(5); for (i = 0; i < n; ++i)
    printf "%.9g %.9g %.9g\n", 28 * rand() - 14, 20 * rand() - 10, 14 * rand() - 7 }' >"$dir/points.txt"
  job field field "$dir/small.stl" "$dir/points.txt" --tolerance 1e-8
fi
