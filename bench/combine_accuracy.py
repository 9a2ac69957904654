#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Accuracy of "mindaro combine" on k-space simulations of spin-echo pairs.

For every case the simulator of ../shared/tools/episim makes a pair with a known map and
undistorted object; the pair is combined with the true map (and, with --precise, with the
precise estimate's map) and compared, inside the brain mask, with the two
intensity-corrected copies ("mindaro apply --intensity-correction"), the better of the two
(IC) and their mean: RMS error against the undistorted object where the true map compresses either copy by
more than 30 % (|dVDM/dy| > 0.3), and elsewhere. Needs the "episim" group of
scripts/install-deps.sh.

    bench/combine_accuracy.py --episim ../shared/tools/episim --work /tmp/combine-cases [--precise] [--only NAME]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys

CASES = [
    # name, simulator arguments
    ("se64 ap snr50 s11", ["--matrix", "64", "64", "30", "--voxel", "3.5", "3.5", "3.5", "--pe", "ap", "--snr", "50", "--seed", "11"]),
    ("se64 ap snr20 s13", ["--matrix", "64", "64", "30", "--voxel", "3.5", "3.5", "3.5", "--pe", "ap", "--snr", "20", "--seed", "13"]),
    ("se64 lr snr35 s14", ["--matrix", "64", "64", "30", "--voxel", "3.5", "3.5", "3.5", "--pe", "lr", "--snr", "35", "--seed", "14"]),
    ("se80 ap snr20 s15", ["--matrix", "80", "80", "40", "--voxel", "3", "3", "3", "--pe", "ap", "--snr", "20", "--seed", "15"]),
    ("se96 ap snr30 s12", ["--matrix", "96", "96", "60", "--voxel", "2.5", "2.5", "2.5", "--pe", "ap", "--snr", "30", "--seed", "12"]),
    # Cases that no choice of the combination was made on.
    ("se64 ap snr30 s41", ["--matrix", "64", "64", "30", "--voxel", "3.5", "3.5", "3.5", "--pe", "ap", "--snr", "30", "--seed", "41"]),
    ("se80 lr snr25 s42", ["--matrix", "80", "80", "40", "--voxel", "3", "3", "3", "--pe", "lr", "--snr", "25", "--seed", "42"]),
]


def mindaro(binary, arguments):
    result = subprocess.run([binary] + arguments, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit("mindaro %s failed:\n%s%s" % (" ".join(arguments), result.stdout, result.stderr))


def score(episim, binary, case, which):
    sys.path.insert(0, episim)
    import numpy as np
    import benchio
    import vdmops

    meta = json.load(open(os.path.join(case, "meta.json")))
    leftRight = meta["pe_axis"] == "x"
    work = os.path.join(case, "combine-" + which)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for name in (meta["file0"], meta["file1"]):
        for extension in (".fmr", ".stc"):
            shutil.copy(os.path.join(case, name[:-4] + extension), work)
    first, second = os.path.join(work, meta["file0"]), os.path.join(work, meta["file1"])
    truthMap = np.load(os.path.join(case, "truth_vdm.npy"))
    map0, map1 = first[:-4] + "_vdm.map", second[:-4] + "_vdm.map"
    lr = ["--lr"] if leftRight else []
    if which == "true map":
        benchio.write_map(map0, truthMap)
        benchio.write_map(map1, -truthMap)
    else:
        mindaro(binary, ["estimate", first, second, "--precise"] + lr)
    mindaro(binary, ["apply", map0, first, "--intensity-correction"] + lr)
    mindaro(binary, ["apply", map1, second, "--intensity-correction"] + lr)
    mindaro(binary, ["combine", first, second, "--map", map0] + lr)
    images = {name: benchio.read_fmr_project(path)[1][0].astype(np.float64)
              for name, path in (("plus", first[:-4] + "_undist.fmr"), ("minus", second[:-4] + "_undist.fmr"),
                                 ("combined", first[:-4] + "_combined.fmr"))}
    truth = np.load(os.path.join(case, "truth_undistorted.npy")).astype(np.float64)
    mask = np.load(os.path.join(case, "brain_mask.npy"))
    compressed = mask & (np.abs(vdmops.derivative_pe(truthMap, meta["pe_axis"])) > 0.3)
    elsewhere = mask & ~compressed
    shutil.rmtree(work)

    def rms(image, region):
        return float(np.sqrt(((image - truth)[region] ** 2).mean()))

    figures = {}
    for region, voxels in (("compressed", compressed), ("elsewhere", elsewhere)):
        corrected = min(rms(images["plus"], voxels), rms(images["minus"], voxels))
        mean = rms(0.5 * (images["plus"] + images["minus"]), voxels)
        combined = rms(images["combined"], voxels)
        figures[region] = (corrected, mean, combined, 1.0 - combined / corrected)
    return int(compressed.sum()), figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--episim", required=True, help="the folder of simulate_epi.py")
    parser.add_argument("--work", required=True, help="where the cases are made (kept for later runs)")
    parser.add_argument("--mindaro", default=os.path.join(here, "..", "build", "bin", "mindaro"))
    parser.add_argument("--precise", action="store_true", help="also with the precise estimate's map")
    parser.add_argument("--only", action="append", default=[], help="only this case (as printed; repeatable)")
    arguments = parser.parse_args()
    maps = ["true map"] + (["precise map"] if arguments.precise else [])
    print("%-20s %-12s %9s %36s %36s" % ("case", "map", "voxels", "compressed: IC / mean / combined / gain",
                                         "elsewhere: IC / mean / combined / gain"))
    for name, simulatorArguments in CASES:
        if arguments.only and name not in arguments.only:
            continue
        case = os.path.join(arguments.work, name.replace(" ", "_"))
        if not os.path.exists(os.path.join(case, "meta.json")):
            subprocess.run(["/usr/bin/python3", os.path.join(arguments.episim, "simulate_epi.py"), "--out", case,
                            "--te", "0", "--no-t2star", "--float", "--cache", os.path.join(arguments.work, "cache")]
                           + simulatorArguments, check=True, capture_output=True)
        for which in maps:
            voxels, figures = score(arguments.episim, arguments.mindaro, case, which)
            print("%-20s %-12s %9d %36s %36s" % (name, which, voxels,
                                                 "%.1f / %.1f / %.1f / %+.0f %%" % (figures["compressed"][:3] + (100 * figures["compressed"][3],)),
                                                 "%.1f / %.1f / %.1f / %+.0f %%" % (figures["elsewhere"][:3] + (100 * figures["elsewhere"][3],))))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
