#!/usr/bin/env bash
# Installs the Debian packages that a step of ./build.sh needs, and only those of them
# that are missing. Safe to run again.
#   scripts/install-deps.sh GROUP...
# Groups:
#   build   compiler, CMake and the libraries that the plug-in and the host link
#   test    GoogleTest and Google Benchmark, clang with its runtime for the fuzz targets,
#           valgrind for the memory checks
set -euo pipefail

packages=()
for group in "${@:-build}"; do
  case "$group" in
    build) packages+=(g++ cmake make libfftw3-dev libnifti2-dev nlohmann-json3-dev libpng-dev zlib1g-dev) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind) ;;
    *) echo "install-deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

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
