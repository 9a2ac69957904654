#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders a page to a PNG with headless Chromium, offline and with a fresh profile, as a
# reader's browser would show its top WIDTH x HEIGHT pixels (default 1280 x 1600). The
# page is asked for reduced motion, so that a flicker holds its first frame.
#   scripts/render-page.sh PAGE PNG [WIDTH [HEIGHT]]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: scripts/render-page.sh PAGE PNG [WIDTH [HEIGHT]]" >&2; exit 2; }
page=$(realpath "$1")
picture=$(realpath -m "$2")
width=${3:-1280}
height=${4:-1600}
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
rm -f "$picture"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" --hide-scrollbars \
  --run-all-compositor-stages-before-draw --force-prefers-reduced-motion --window-size="$width,$height" --screenshot="$picture" "file://$page" >"$profile/log" 2>&1 || true
if [ ! -s "$picture" ]; then
  cat "$profile/log" >&2
  echo "render-page.sh: Chromium wrote no picture of $page" >&2
  exit 1
fi
