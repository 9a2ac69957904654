#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that a step of ./build.sh needs, and only those of them
# that are missing. Safe to run again.
#   scripts/install-deps.sh GROUP...
# Groups:
#   build    compiler, CMake, ccache, the libraries that the plug-in and the host link, and
#            the font that the host's pictures are drawn with
#   test     GoogleTest and Google Benchmark, clang with its runtime for the fuzz targets,
#            valgrind for the memory checks, HTML Tidy and Chromium to check the report page,
#            GNU time for the memory of the large-run benchmark, man-db (with groff) to
#            check the manual pages
#   package  what makes and checks the Debian package: dpkg-dev (dpkg-shlibdeps), file
#            and lintian
#   windows  the MinGW-w64 cross compiler, Wine, GoogleTest's sources, NSIS for the
#            installer, and a source entry for this Debian release so that FFTW can be
#            built from its source package (scripts/build-fftw-windows.sh)
#   slurm    a SLURM controller, compute daemon and client commands with munge, for the
#            single-node cluster of scripts/slurm-local.sh
#   episim   Python with NumPy, SciPy, NiBabel and the MRIcron head, for the k-space
#            simulator that bench/combine_accuracy.py runs
#   validator  the BIDS validator from the npm registry (version 1.15.0, which runs on
#            Node.js 18 and later) in /opt/varno/bids-validator, with Debian's nodejs and
#            npm when the machine has no Node.js
set -euo pipefail

validator_version=1.15.0
validator_prefix=/opt/varno/bids-validator
want_validator=false

# The archive that this machine installs its Debian release from: the first URI of a
# deb822 entry or of a one-line entry naming the release.
debian_archive() {
  local codename=$1 uri
  uri=$(awk -v suite="$codename" '
      /^URIs:/ { uris = $2 }
      /^Suites:/ { for (i = 2; i <= NF; ++i) if ($i == suite) found = 1 }
      /^$/ { if (found && uris != "") { print uris; exit } found = 0; uris = "" }
      END { if (found && uris != "") print uris }' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# Adds a deb-src entry for this release's main archive unless one is there. True when
# it added one (the package lists must then be read again).
add_source_entry() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  if grep -rqsE "^(Types:.*deb-src|deb-src .* $codename )" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 1
  fi
  echo "Adding a deb-src entry for $codename"
  cat > /etc/apt/sources.list.d/varno-sources.sources <<SOURCES
Types: deb-src
URIs: $(debian_archive "$codename")
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  return 0
}

packages=()
read_lists=false
for group in "${@:-build}"; do
  case "$group" in
    build) packages+=(g++ cmake make ccache libfftw3-dev libnifti2-dev nlohmann-json3-dev zlib1g-dev
                    libcairo2-dev fontconfig fonts-dejavu-core) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
                   tidy chromium time man-db) ;;
    package) packages+=(dpkg-dev file lintian) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev make nsis)
             if add_source_entry; then read_lists=true; fi ;;
    slurm) packages+=(slurm-wlm munge) ;;
    episim) packages+=(python3-numpy python3-scipy python3-nibabel mricron-data) ;;
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
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ] || $read_lists; then
  apt-get update
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
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
