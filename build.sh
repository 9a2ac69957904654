#!/usr/bin/env bash
# One entry point for setting up, building and running VARNO on Debian 12.
#   ./build.sh demo [DIR]     install what is missing, build, run the phantom demo
#   ./build.sh test           install what is missing, build, run every test
#   ./build.sh test-sanitize  the tests again under AddressSanitizer and UBSan
#   ./build.sh fuzz [SECONDS] the fuzz targets, built with clang, SECONDS each (default 60)
#   ./build.sh valgrind       the host under valgrind memcheck on a small phantom
#   ./build.sh bench          the micro-benchmarks
#   ./build.sh bench-e2e      the host's tasks timed as whole processes on phantoms
#   ./build.sh build          only build (Release, in ./build)
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {  # build directory, extra CMake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

command=${1:-build}
case "$command" in
  demo) bash scripts/install-deps.sh build ;;
  *) bash scripts/install-deps.sh build test ;;
esac
case "$command" in
  build) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON ;;
  demo) configure_and_build build -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_BENCHMARKS=OFF
        ./build/bin/mindaro demo "${@:2}" ;;
  test) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ctest --test-dir build --output-on-failure -j "$jobs" ;;
  test-sanitize) configure_and_build build-sanitize -DVARNO_SANITIZE=ON -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=OFF
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
          LSAN_OPTIONS=suppressions="$PWD/scripts/lsan-suppressions.txt":print_suppressions=0 \
          ctest --test-dir build-sanitize --output-on-failure -j "$jobs" ;;
  fuzz) bash scripts/fuzz.sh "${@:2}" ;;
  valgrind) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        bash scripts/valgrind.sh ;;
  bench) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ./build/bin/varno_bench "${@:2}" ;;
  bench-e2e) configure_and_build build -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCHMARKS=ON
        ./build/bin/varno_e2e_bench "${@:2}" ;;
  *) echo "usage: ./build.sh demo|test|test-sanitize|fuzz|valgrind|bench|bench-e2e|build" >&2; exit 2 ;;
esac
