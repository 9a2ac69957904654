#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One entry point for setting up, building and running VARNO on Debian 12.
#   ./build.sh demo [DIR]     install what is missing, build, run the phantom demo
#   ./build.sh test           install what is missing, build, run every test
#   ./build.sh test-sanitize  the tests again under AddressSanitizer and UBSan
#   ./build.sh test-tsan      the tests of the worker threads under ThreadSanitizer
#   ./build.sh fuzz [SECONDS] the fuzz targets, built with clang, SECONDS each (default 60)
#   ./build.sh valgrind       the host under valgrind memcheck on a small phantom
#   ./build.sh bench          the micro-benchmarks
#   ./build.sh bench-e2e      the host's tasks timed as whole processes on phantoms
#   ./build.sh build          only build (Release, in ./build)
#   ./build.sh package        the Debian package build/package/varno_<version>_amd64.deb, checked by lintian
#   ./build.sh test-package   the package installed with dpkg, used from another folder, removed
#   ./build.sh windows        cross-build varno.dll and Mindaro.exe for Windows (./build-windows)
#   ./build.sh windows-installer  build-windows/VARNO-<version>-setup.exe (NSIS)
#   ./build.sh test-windows   the Windows build's tests under Wine, its outputs against Linux's, the installer
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

# Compiled objects are kept by ccache (~/.cache/ccache, outside the clone) and reused by
# every build and clone: paths are taken relative to the clone.
export CCACHE_BASEDIR=$PWD
launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

configure_and_build() {  # build directory, extra CMake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$launcher" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# The Windows build: FFTW for Windows built once per version into a cache outside the clone
# (scripts/build-fftw-windows.sh), then CMake with the MinGW-w64 toolchain. The host there
# has no NIfTI, BIDS or picture commands.
windows_build() {  # ON or OFF: build the tests too
  local fftw
  fftw=$(bash scripts/build-fftw-windows.sh)
  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release "$launcher" \
    -DVARNO_HOST_NIFTI=OFF -DVARNO_BUILD_BENCHMARKS=OFF -DVARNO_BUILD_TESTS="$1" \
    -DFFTW3_INCLUDE_DIR="$fftw/include" -DFFTW3F_LIBRARY="$fftw/lib/libfftw3f.a" >/dev/null
  cmake --build build-windows -j "$jobs"
}

# Wine without a display, its prefix in the build folder, made once.
wine_setup() {
  export WINEPREFIX=$PWD/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
  export VARNO_WINE=/usr/lib/wine/wine64
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making the Wine prefix $WINEPREFIX"
    "$VARNO_WINE" wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
  fi
}

# The Debian package from the Release build in ./build, checked by lintian: an error fails.
debian_package() {
  configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
  rm -f build/package/varno_*.deb
  (cd build && cpack --config CPackConfig.cmake >/dev/null)
  local package
  package=$(ls build/package/varno_*_amd64.deb)
  local findings
  if ! findings=$(lintian --fail-on error "$package" 2>&1 | sed '/running with root privileges/d'); then
    echo "$findings" >&2
    echo "lintian finds errors in $package" >&2
    return 1
  fi
  echo "Built $package; lintian: ${findings:-no error, no warning}"
}

command=${1:-build}
case "$command" in
  demo) bash scripts/install-deps.sh build ;;
  windows|windows-installer) bash scripts/install-deps.sh windows ;;
  package|test-package) bash scripts/install-deps.sh build test package ;;
  test-windows) bash scripts/install-deps.sh build test windows ;;
  *) bash scripts/install-deps.sh build test ;;
esac
case "$command" in
  build) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON ;;
  demo) configure_and_build build -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_BENCHMARKS=OFF
        ./build/bin/mindaro demo "${@:2}" ;;
  test) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ctest --test-dir build --output-on-failure -j "$jobs" ;;
  test-sanitize) configure_and_build build-sanitize -DVARNO_SANITIZE=ON -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=OFF
        # intercept_tls_get_addr=0: the runtime's record of the dynamic TLS of a plug-in that
        # was unloaded and loaded again goes stale, and the leak check at exit then crashes
        # reading it ("Tracer caught signal 11"); without the record it scans the rest.
        ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0 UBSAN_OPTIONS=print_stacktrace=1 \
          LSAN_OPTIONS=suppressions="$PWD/scripts/lsan-suppressions.txt":print_suppressions=0 \
          ctest --test-dir build-sanitize --output-on-failure -j "$jobs" ;;
  test-tsan)
        # Only what runs on several threads: the core and its tests, not the whole host.
        cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release "$launcher" -DVARNO_TSAN=ON -DVARNO_BUILD_TESTS=ON \
          -DVARNO_BUILD_BENCHMARKS=OFF >/dev/null
        cmake --build build-tsan -j "$jobs" --target varno_thread_tests
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build-tsan/bin/varno_thread_tests ;;
  fuzz) bash scripts/fuzz.sh "${@:2}" ;;
  valgrind) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        bash scripts/valgrind.sh ;;
  bench) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ./build/bin/varno_bench "${@:2}" ;;
  bench-e2e) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ./build/bin/varno_e2e_bench "${@:2}" ;;
  package) debian_package ;;
  test-package) debian_package
        bash tests/package/test-deb.sh build/package/varno_*_amd64.deb ;;
  windows) windows_build OFF
        echo "Built build-windows/bin/plugins/varno.dll (with its dialog script and VarnoPluginHelp/) and build-windows/bin/Mindaro.exe" ;;
  windows-installer) windows_build OFF
        cmake --build build-windows --target windows-installer
        echo "Built $(ls build-windows/VARNO-*-setup.exe)" ;;
  test-windows)
        # The Linux host to compare with and the Linux-side tests of the Windows build.
        cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON >/dev/null
        cmake --build build -j "$jobs" --target mindaro varno varno_windows_tests
        windows_build ON
        cmake --build build-windows --target windows-installer
        wine_setup
        echo "Unit tests of the Windows build, under Wine:"
        "$VARNO_WINE" build-windows/bin/varno_tests.exe
        echo "Mindaro.exe with varno.dll under Wine, against the Linux build:"
        VARNO_WINDOWS_BIN_DIR=$PWD/build-windows/bin VARNO_WINDOWS_INSTALLER=$(ls "$PWD"/build-windows/VARNO-*-setup.exe) \
          ./build/bin/varno_windows_tests ;;
  *) echo "usage: ./build.sh demo|test|test-sanitize|test-tsan|fuzz|valgrind|bench|bench-e2e|build|package|test-package|windows|windows-installer|test-windows" >&2
     exit 2 ;;
esac
