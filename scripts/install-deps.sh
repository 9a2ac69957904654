#!/usr/bin/env bash
# Installs the Debian packages that a step of ./build.sh needs, and only those of them
# that are missing. Safe to run again.
#   scripts/install-deps.sh GROUP...
# Groups:
#   build   compiler, CMake and the libraries that the plug-in and the host link
#   test    GoogleTest and Google Benchmark, clang with its runtime for the fuzz targets,
#           valgrind for the memory checks
#   slurm   a SLURM controller, compute daemon and client commands with munge, for the
#           single-node cluster of scripts/slurm-local.sh
#   validator  the BIDS validator from the npm registry (version 1.15.0, which runs on
#           Node.js 18 and later) in /opt/varno/bids-validator, with Debian's nodejs and npm
#           when the machine has no Node.js
set -euo pipefail

validator_version=1.15.0
validator_prefix=/opt/varno/bids-validator
want_validator=false

packages=()
for group in "${@:-build}"; do
  case "$group" in
    build) packages+=(g++ cmake make libfftw3-dev libnifti2-dev nlohmann-json3-dev libpng-dev zlib1g-dev) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind) ;;
    slurm) packages+=(slurm-wlm munge) ;;
    validator)
      want_validator=true
      command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm) ;;
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

installed_version() {
  node -p "require('$validator_prefix/node_modules/bids-validator/package.json').version" 2>/dev/null || true
}
if $want_validator && [ "$(installed_version)" != "$validator_version" ]; then
  echo "Installing bids-validator $validator_version into $validator_prefix"
  mkdir -p "$validator_prefix"
  npm install --prefix "$validator_prefix" --no-audit --no-fund --loglevel=error "bids-validator@$validator_version"
fi
