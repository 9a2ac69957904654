#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang in ./build-fuzz and runs each for a bounded
# time on seeds written by the project's own writers, after replaying the inputs kept in
# fuzz/regressions/<target>/. Fails on any finding; a finding is left in
# build-fuzz/findings/ and should be added to fuzz/regressions/<target>/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=$(nproc 2>/dev/null || echo 2)
targets=(projectheader vdmmapfile voxeldata parameters niftiimage)

export CCACHE_BASEDIR=$PWD
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DVARNO_BUILD_FUZZERS=ON \
  -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzzers

export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
rm -rf build-fuzz/seeds build-fuzz/findings
mkdir -p build-fuzz/findings
./build-fuzz/bin/varno_fuzz_seeds build-fuzz/seeds

summary=()
for target in "${targets[@]}"; do
  binary=./build-fuzz/bin/fuzz_$target
  regressions=fuzz/regressions/$target
  if compgen -G "$regressions/*" >/dev/null; then
    echo "== fuzz_$target: replaying $(ls "$regressions" | wc -l) kept inputs"
    "$binary" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=20 "$regressions"/*
  fi
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build-fuzz/findings/$target.log
  echo "== fuzz_$target: ${seconds}s"
  if ! "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=20 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" "$corpus" "build-fuzz/seeds/$target" \
       >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$target found a fault; the input is in build-fuzz/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("fuzz_$target: $runs executions in ${seconds}s, no finding")
done
printf '%s\n' "${summary[@]}"
