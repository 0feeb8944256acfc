#!/usr/bin/env bash
# The whole chain on one model: the field at a few points, the deviation of
# the vertical and the normalised potential coloured with the bundled colour
# maps, and a picture of each coloured model.
#   scripts/chain.sh BIN_DIR MODEL POINTS OUT_DIR
set -euo pipefail
bin=$1 model=$2 points=$3 out=$4
share="$(cd "$(dirname "$0")/.." && pwd)/share/colormaps"
name=$(basename "$model" .stl)
mkdir -p "$out"
echo "== field at the points of $points (first line: volume, centroid; then x y z U gx gy gz)"
"$bin/fieldpts_m" "$model" "$points"
echo "== deviation of the vertical, range in degrees"
"$bin/plumbline_m" "$model"
"$bin/plumbline_m" "$model" "$share/viridis.cm" "$out/${name}_plumbline.stl"
echo "== potential at the centre of mass, range of the normalised potential"
"$bin/geopot_m" "$model"
"$bin/geopot_m" "$model" "$share/blue_white_red.cm" "$out/${name}_geopot.stl"
"$bin/stlrender" "$out/${name}_plumbline.stl" "$out/${name}_plumbline.png"
"$bin/stlrender" "$out/${name}_geopot.stl" "$out/${name}_geopot.png"
echo "== pictures: $out/${name}_plumbline.png (deviation of the vertical, viridis: low dark blue, high yellow)"
echo "             $out/${name}_geopot.png (normalised potential, blue low, red high)"
