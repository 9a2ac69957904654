#!/usr/bin/env bash
# Installs the Debian packages that a step of ./build.sh needs, and only those of them
# that are missing. Safe to run again.
#   scripts/install-deps.sh GROUP...
# Groups:
#   build   compiler, CMake, the libraries that the plug-in and the host link, and the
#           font that the host's pictures are drawn with
#   test    GoogleTest and Google Benchmark, clang with its runtime for the fuzz targets,
#           valgrind for the memory checks, HTML Tidy and Chromium to check the report page
set -euo pipefail

packages=()
for group in "${@:-build}"; do
  case "$group" in
    build) packages+=(g++ cmake make libfftw3-dev libnifti2-dev nlohmann-json3-dev zlib1g-dev
                    libcairo2-dev fontconfig fonts-dejavu-core) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
                   tidy chromium) ;;
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
