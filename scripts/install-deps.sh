#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need, and
# only when one of them is missing. Safe to run again.
set -euo pipefail

# clang and its runtime build the fuzz targets; valgrind checks the host's memory use.
packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev
          libnifti2-dev nlohmann-json3-dev libpng-dev zlib1g-dev clang libclang-rt-14-dev valgrind)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi
