#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
# Usage: scripts/deps.sh [package ...]   (default: the suite's own list)
set -euo pipefail
need=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libpng-dev zlib1g-dev libcli11-dev
      libcairo2-dev help2man python3 python3-dev python3-stl python3-numpy
      python3-pytest pybind11-dev pngcheck libopenmpi-dev openmpi-bin python3-mpi4py
      python3-dask python3-distributed poppler-utils libnetcdf-dev netcdf-bin
      python3-netcdf4 python3-xarray libeigen3-dev)
[ $# -eq 0 ] || need=("$@")
# Without dpkg (not a Debian system) nothing is installed: the packages'
# contents are taken to be there, and the build says what is missing.
command -v dpkg-query >/dev/null 2>&1 || exit 0
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
