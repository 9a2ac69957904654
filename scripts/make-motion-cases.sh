#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the nine spin-echo pairs that varno_motion_bench is run on (five with the phase
# encoding along y, four left-right; 2.5-3.5 mm, one anisotropic) with the k-space simulator
# of the shared measuring tools, into DIR/NAME; pairs already there are kept. Needs
# scripts/install-deps.sh episim.
#
#   scripts/make-motion-cases.sh DIR [TOOLS]
#   build/bin/varno_motion_bench DIR/*/
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "usage: scripts/make-motion-cases.sh DIR [TOOLS]" >&2
    exit 2
fi
cases=$1
repository=$(cd "$(dirname "$0")/.." && pwd)
tools=${2:-$repository/../shared/tools}
simulator=$tools/episim/simulate_epi.py
if [ ! -f "$simulator" ]; then
    echo "make-motion-cases.sh: $simulator not found; give the shared tools folder as TOOLS" >&2
    exit 1
fi
spin_echo="--te 0 --no-t2star"
while read -r name arguments; do
    [ -f "$cases/$name/meta.json" ] && continue
    echo "making $cases/$name"
    # shellcheck disable=SC2086
    /usr/bin/python3 "$simulator" --out "$cases/$name" --cache "$cases/cache" $arguments $spin_echo > /dev/null
done <<'CASES'
se64 --matrix 64 64 30 --voxel 3.5 3.5 3.5 --pe ap --snr 50 --seed 11
se96 --matrix 96 96 60 --voxel 2.5 2.5 2.5 --pe ap --snr 30 --seed 12
se64lr --matrix 64 64 30 --voxel 3.5 3.5 3.5 --pe lr --snr 40 --seed 21
se80an --matrix 80 80 40 --voxel 2.8 2.8 3.6 --pe ap --snr 20 --seed 22
se72 --matrix 72 72 36 --voxel 3.0 3.0 3.0 --pe ap --snr 60 --seed 23 --esp 0.7
se70lr --matrix 70 70 34 --voxel 3.2 3.2 3.4 --pe lr --snr 40 --seed 31
se76 --matrix 76 76 40 --voxel 3.0 3.0 3.2 --pe ap --snr 35 --seed 32
se84 --matrix 84 84 44 --voxel 2.7 2.7 2.9 --pe ap --snr 40 --seed 33
se88lr --matrix 88 88 48 --voxel 2.6 2.6 2.8 --pe lr --snr 30 --seed 34
CASES
