#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds FFTW3 single precision for 64-bit Windows from Debian's source package, once per
# version, into a cache outside the clone, and prints the folder that holds it:
#   fftw=$(bash scripts/build-fftw-windows.sh)     # $fftw/include, $fftw/lib/libfftw3f.a
# The cache is VARNO_CACHE_DIR when set, else /var/cache/varno for root and
# ${XDG_CACHE_HOME:-~/.cache}/varno for others; the folder is named after the source
# package's version (fftw-3.3.10-1-x86_64-w64-mingw32), so that clean clones reuse it and a
# new version of FFTW is built beside the old one. The build runs in a temporary folder that
# is renamed into place only when complete: an interrupted build is never taken for a cache,
# and two builds at once each finish, the first to complete being kept.
# The SIMD options are those of Debian's own single-precision build for amd64 (SSE and AVX),
# so that the Windows host plans and computes its transforms with the same codelets as the
# Linux host's libfftw3f. MinGW's C library has no aligned allocation that FFTW knows, so
# FFTW uses its own (--with-our-malloc).
# Needs the deb-src entry and the packages of "scripts/install-deps.sh windows".
set -euo pipefail

target=x86_64-w64-mingw32
compiler=$target-gcc-posix

if [ -n "${VARNO_CACHE_DIR:-}" ]; then
  cache=$VARNO_CACHE_DIR
elif [ "$(id -u)" = 0 ]; then
  cache=/var/cache/varno
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/varno
fi

# The version that "apt-get source" fetches, from the name of its .dsc file.
version=$(apt-get source --print-uris --only-source fftw3 2>/dev/null |
          sed -n "s/^'[^']*' fftw3_\(.*\)\.dsc .*/\1/p" | head -n 1)
if [ -z "$version" ]; then
  echo "build-fftw-windows.sh: apt knows no source package of fftw3; run" \
       "'scripts/install-deps.sh windows' (it adds a deb-src entry and reads the lists)" >&2
  exit 1
fi
prefix=$cache/fftw-${version//:/_}-$target

stamp="fftw3 $version $compiler -O2 --enable-float --enable-sse --enable-avx --with-our-malloc"
if [ -f "$prefix/lib/libfftw3f.a" ] && [ "$(cat "$prefix/built-with" 2>/dev/null)" = "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.fftw-${version//:/_}-$target.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The prefix is compiled into nothing that the static library keeps, so FFTW is installed
# into the temporary folder and moved as a whole.
staged=$work/fftw
options=(--host=$target --enable-float --enable-sse --enable-avx
         --enable-static --disable-shared --disable-fortran --disable-threads --disable-doc
         --with-our-malloc --prefix="$staged")
jobs=$(nproc 2>/dev/null || echo 2)
echo "Building FFTW3 $version single precision for Windows (once; kept in $prefix)" >&2
(cd "$work" && apt-get source --quiet --only-source -o APT::Sandbox::User=root "fftw3=$version" >/dev/null)
(
  cd "$work"/fftw3-*/
  CC=$compiler CFLAGS=-O2 ./configure "${options[@]}" >configure.log
  # Only the library and its header: the library's parts, then the library itself.
  for part in support kernel simd-support dft rdft reodft api; do
    make -s -j "$jobs" -C "$part" >/dev/null
  done
  make -s -j "$jobs" libfftw3f.la >/dev/null
  make -s install-libLTLIBRARIES >/dev/null
  make -s -C api install-includeHEADERS >/dev/null
) >&2
echo "$stamp" >"$staged/built-with"

# Into place: a stale build of other options is moved aside first; a complete build that
# another run put there meanwhile is kept, and this one dropped.
if [ -d "$prefix" ] && [ "$(cat "$prefix/built-with" 2>/dev/null)" != "$stamp" ]; then
  mv -T "$prefix" "$work/replaced"
fi
mv -T "$staged" "$prefix" 2>/dev/null || [ -f "$prefix/lib/libfftw3f.a" ]
echo "$prefix"
