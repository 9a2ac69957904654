#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds FFTW3 single precision for 64-bit Windows from Debian's source package, once.
#   scripts/build-fftw-windows.sh [BUILD_DIR]     (default: build-windows)
# The static library and its header go to BUILD_DIR/fftw; a later run that finds them
# built with the same options does nothing. The SIMD options are those of Debian's own
# single-precision build for amd64 (SSE and AVX), so that the Windows host plans and
# computes its transforms with the same codelets as the Linux host's libfftw3f. MinGW's C
# library has no aligned allocation that FFTW knows, so FFTW uses its own (--with-our-malloc).
# Needs the deb-src entry and the packages of "scripts/install-deps.sh windows".
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "${1:-build-windows}")
prefix=$build_dir/fftw
options=(--host=x86_64-w64-mingw32 --enable-float --enable-sse --enable-avx
         --enable-static --disable-shared --disable-fortran --disable-threads --disable-doc
         --with-our-malloc
         --prefix="$prefix")
compiler=x86_64-w64-mingw32-gcc-posix
stamp="$compiler -O2 ${options[*]}"
if [ -f "$prefix/lib/libfftw3f.a" ] && [ "$(cat "$prefix/built-with" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

jobs=$(nproc 2>/dev/null || echo 2)
source_dir=$build_dir/fftw-source
rm -rf "$source_dir" "$prefix"
mkdir -p "$source_dir"
echo "Building FFTW3 single precision for Windows (once; kept in $prefix)"
(cd "$source_dir" && apt-get source --quiet -o APT::Sandbox::User=root fftw3 >/dev/null)
cd "$source_dir"/fftw3-*/
CC=$compiler CFLAGS=-O2 ./configure "${options[@]}" >configure.log
# Only the library and its header: the library's parts, then the library itself.
for part in support kernel simd-support dft rdft reodft api; do
  make -s -j "$jobs" -C "$part" >/dev/null
done
make -s -j "$jobs" libfftw3f.la >/dev/null
make -s install-libLTLIBRARIES >/dev/null
make -s -C api install-includeHEADERS >/dev/null
echo "$stamp" >"$prefix/built-with"
rm -rf "$source_dir"
