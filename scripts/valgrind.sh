#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the built host (./build, from ./build.sh test) under valgrind memcheck on a small
# phantom: simulate, the full, the fast and the precise estimate with copies and
# derivatives, apply with and without intensity correction, and one failing step. Fails on any invalid access, any use of an uninitialised value
# (also one that reaches a written file) and any definite or indirect leak.
set -euo pipefail
cd "$(dirname "$0")/.."

mindaro=$PWD/build/bin/mindaro
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# memcheck EXPECTED_STATUS ARGUMENTS...: valgrind's own errors give status 99.
memcheck() {
  local expected=$1 status=0
  shift
  echo "== valgrind mindaro $*"
  valgrind --quiet --log-file="$work/valgrind.log" --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --track-origins=yes \
    "$mindaro" "$@" >"$work/stdout" 2>"$work/stderr" || status=$?
  if [ "$status" -ne "$expected" ]; then
    cat "$work/valgrind.log" "$work/stderr" >&2
    echo "mindaro $* ended with status $status, expected $expected (99: memcheck found errors)" >&2
    exit 1
  fi
}

memcheck 0 simulate phantom --size 16x16x6 --peak 1 --volumes 2
memcheck 0 estimate phantom/AP.fmr phantom/PA.fmr --apply --derivative
memcheck 0 estimate phantom/AP.fmr phantom/PA.fmr --fast --ssd --order 1
memcheck 0 estimate phantom/AP.fmr phantom/PA.fmr --precise --apply --intensity-correction
memcheck 0 apply phantom/AP_vdm.map phantom/AP.fmr phantom/truth.fmr
memcheck 0 apply phantom/AP_vdm.map phantom/AP.fmr --intensity-correction
memcheck 1 apply phantom/AP_vdm.map phantom/missing.fmr
echo "valgrind memcheck: no errors, no leaks"
