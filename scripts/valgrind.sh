#!/usr/bin/env bash
# Runs the built host (./build, from ./build.sh test) under valgrind memcheck on a small
# phantom: simulate, the full and the fast estimate with copies and derivatives, apply,
# and one failing step. Fails on any invalid access, any use of an uninitialised value
# (also one that reaches a written file) and any definite or indirect leak.
set -euo pipefail
cd "$(dirname "$0")/.."

mindaro=$PWD/build/bin/mindaro
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

memcheck() {
  echo "== valgrind mindaro $*" >&2
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --track-origins=yes "$mindaro" "$@"
}

memcheck simulate phantom --size 16x16x6 --peak 1 --volumes 2 >/dev/null
memcheck estimate phantom/AP.fmr phantom/PA.fmr --apply --derivative >/dev/null
memcheck estimate phantom/AP.fmr phantom/PA.fmr --fast --ssd --order 1 >/dev/null
memcheck apply phantom/AP_vdm.map phantom/AP.fmr phantom/truth.fmr >/dev/null 2>&1
status=0
memcheck apply phantom/AP_vdm.map phantom/missing.fmr >/dev/null 2>&1 || status=$?
if [ "$status" -ne 1 ]; then
  echo "the failing step ended with status $status instead of 1" >&2
  exit 1
fi
echo "valgrind memcheck: no errors, no leaks"
