#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the tests of a sanitizer build. LeakSanitizer's own tracer now and then crashes
# while it stops a process's threads at exit ("LeakSanitizer has encountered a fatal
# error"), after the test itself has passed: a race in the sanitizer runtime, not a leak.
# When every failure of the run shows that signature, those tests run once more and their
# second result counts; any other failure fails at once.
set -euo pipefail
build_dir="$1"
jobs="$2"
log="$build_dir/ctest-output.log"
if ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --output-log "$log"; then exit 0; fi
failed="$build_dir/Testing/Temporary/LastTestsFailed.log"
tracer_crashes=$(grep -c "LeakSanitizer has encountered a fatal error" "$log" || true)
failures=$(grep -c . "$failed" || true)
if [ "$tracer_crashes" -eq 0 ] || [ "$tracer_crashes" -lt "$failures" ]; then exit 1; fi
echo "LeakSanitizer's tracer crashed at exit in $failures test(s); running them once more:"
ctest --test-dir "$build_dir" --output-on-failure --rerun-failed
