#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Scores the maps of `mindaro estimate` against known truth.

usage: scripts/fidelity-bench.py CASES [--mindaro FILE] [--tools DIR] [--make] [--standard]
                                 [--only NAME] [--options "..."]

CASES is a folder for simulated pairs with a true map, made by the k-space simulator of the
shared measuring tools (TOOLS/episim/simulate_epi.py, field cached in CASES/cache) when
--make is given and a case is missing; TOOLS defaults to ../shared/tools or
../../shared/tools beside the repository. For every case the script copies the pair into
a temporary folder, runs `mindaro estimate FIRST SECOND --precise` (and the standard
estimate with --standard) and prints, per map: which map the estimate kept, its RMS error
against the true map in the brain, the same where the true map's slope along the phase
encoding is below 0.1, the 95th percentile of the error, its correlation with the true
map, the RMS of its Laplacian (and the true map's), the agreement of the pair corrected
with it, and the processor time of the command. The shared scanner pair (no truth) is
scored by the agreement of volume 0 and 1 corrected with the map of volume 0, and by how
close the maps of volume 0 and of volume 1 are (RMS and correlation over the head).

Needs Debian's python3-numpy python3-scipy python3-nibabel mricron-data
(scripts/install-deps.sh episim).
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile

import numpy as np

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, simulator arguments (spin echo: --te 0 --no-t2star; gradient echo: the default TE)
CASES = [
    ("se64", "--matrix 64 64 30 --voxel 3.5 3.5 3.5 --pe ap --snr 50 --seed 11 --te 0 --no-t2star"),
    ("se96", "--matrix 96 96 60 --voxel 2.5 2.5 2.5 --pe ap --snr 30 --seed 12 --te 0 --no-t2star"),
    ("se64lr", "--matrix 64 64 30 --voxel 3.5 3.5 3.5 --pe lr --snr 40 --seed 21 --te 0 --no-t2star"),
    ("se80an", "--matrix 80 80 40 --voxel 2.8 2.8 3.6 --pe ap --snr 20 --seed 22 --te 0 --no-t2star"),
    ("se72", "--matrix 72 72 36 --voxel 3.0 3.0 3.0 --pe ap --snr 60 --seed 23 --te 0 --no-t2star --esp 0.7"),
    ("ge64", "--matrix 64 64 30 --voxel 3.5 3.5 3.5 --pe ap --snr 50 --seed 11"),
    ("ge96", "--matrix 96 96 60 --voxel 2.5 2.5 2.5 --pe ap --snr 30 --seed 12"),
    ("ge72lr", "--matrix 72 72 36 --voxel 3.0 3.0 3.0 --pe lr --snr 40 --seed 24"),
]


def default_tools():
    for relative in ("../shared/tools", "../../shared/tools"):
        path = os.path.normpath(os.path.join(REPOSITORY, relative))
        if os.path.isdir(path):
            return path
    return None


def children_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_estimate(mindaro, folder, first, second, options):
    """Runs mindaro estimate in folder; returns (kept method, processor seconds)."""
    before = children_seconds()
    result = subprocess.run([mindaro, "estimate", first, second] + options, cwd=folder,
                            capture_output=True, text=True)
    seconds = children_seconds() - before
    if result.returncode != 0:
        raise RuntimeError("mindaro estimate failed (%d): %s" % (result.returncode, result.stderr.strip()))
    method = "standard"
    for line in result.stdout.splitlines():
        if line.startswith("Method:"):
            method = "precise" if "precise" in line.split(":", 1)[1] and "standard" not in line else "standard"
    return method, seconds


def along(volume, axis):
    """Central difference along the axis (0 in the first and last row)."""
    g = np.zeros_like(volume)
    if axis == "y":
        g[:, 1:-1, :] = 0.5 * (volume[:, 2:, :] - volume[:, :-2, :])
    else:
        g[:, :, 1:-1] = 0.5 * (volume[:, :, 2:] - volume[:, :, :-2])
    return g


def laplacian_rms(volume, mask):
    inner = np.zeros_like(mask)
    inner[1:-1, 1:-1, 1:-1] = mask[1:-1, 1:-1, 1:-1]
    lap = -6.0 * volume
    for axis in range(3):
        lap = lap + np.roll(volume, 1, axis) + np.roll(volume, -1, axis)
    return float(np.sqrt((lap[inner] ** 2).mean()))


def correlation(a, b):
    return float(np.corrcoef(a.astype(np.float64), b.astype(np.float64))[0, 1])


def agreement(tools, first, second, map_path, volume, lr):
    command = [sys.executable, os.path.join(tools, "agreement", "agreement.py"), first, second, map_path,
               "--volume", str(volume)] + (["--lr"] if lr else [])
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(result.stdout)["after_jacobian"]


def score_case(args, tools, benchio, name, options):
    case = os.path.join(args.cases, name)
    with open(os.path.join(case, "meta.json")) as f:
        meta = json.load(f)
    lr = meta["pe_axis"] == "x"
    truth = np.load(os.path.join(case, "truth_vdm.npy")).astype(np.float64)
    mask = np.load(os.path.join(case, "brain_mask.npy"))
    smooth = mask & (np.abs(along(truth, meta["pe_axis"])) < 0.1)
    rows = []
    for label, extra in [("precise", ["--precise"])] + ([("standard", [])] if args.standard else []):
        with tempfile.TemporaryDirectory(prefix="varno-fidelity-") as folder:
            for key in ("file0", "file1"):
                stem = os.path.splitext(meta[key])[0]
                for extension in (".fmr", ".stc"):
                    shutil.copy(os.path.join(case, stem + extension), folder)
            method, seconds = run_estimate(args.mindaro, folder, meta["file0"], meta["file1"],
                                           extra + (["--lr"] if lr else []) + options)
            map_path = os.path.join(folder, os.path.splitext(meta["file0"])[0] + "_vdm.map")
            estimate = benchio.read_map(map_path)["map"].astype(np.float64)
            error = estimate - truth
            rows.append({
                "case": name, "run": label, "kept": method,
                "rms": float(np.sqrt((error[mask] ** 2).mean())),
                "smooth": float(np.sqrt((error[smooth] ** 2).mean())),
                "p95": float(np.percentile(np.abs(error[mask]), 95)),
                "r": correlation(estimate[mask], truth[mask]),
                "laplacian": laplacian_rms(estimate, mask),
                "truth_laplacian": laplacian_rms(truth, mask),
                "agreement": agreement(tools, os.path.join(folder, meta["file0"]),
                                       os.path.join(folder, meta["file1"]), map_path, 0, lr),
                "seconds": seconds,
            })
    return rows


def score_shared_pair(args, tools, benchio, options):
    pair = os.path.join(os.path.dirname(tools), "data", "ge-pepolar")
    rows = []
    maps = []
    with tempfile.TemporaryDirectory(prefix="varno-fidelity-") as folder:
        for file in ("PA.fmr", "PA.stc", "AP.fmr", "AP.stc"):
            shutil.copy(os.path.join(pair, file), folder)
        for volume in (0, 1):
            method, seconds = run_estimate(args.mindaro, folder, "PA.fmr", "AP.fmr",
                                           ["--precise", "--volumes", str(volume), str(volume)] + options)
            map_path = os.path.join(folder, "PA_vdm.map")
            maps.append(benchio.read_map(map_path)["map"].astype(np.float64))
            row = {"case": "shared pair", "run": "volume %d" % volume, "kept": method, "seconds": seconds}
            for scored in (0, 1):
                row["agreement_%d" % scored] = agreement(tools, os.path.join(folder, "PA.fmr"),
                                                         os.path.join(folder, "AP.fmr"), map_path, scored, False)
            rows.append(row)
        _, first = benchio.read_fmr_project(os.path.join(folder, "PA.fmr"))
        _, second = benchio.read_fmr_project(os.path.join(folder, "AP.fmr"))
    a, b = first[0].astype(np.float64), second[0].astype(np.float64)
    head = (a > 0.15 * np.percentile(a, 99)) & (b > 0.15 * np.percentile(b, 99))
    difference = maps[0][head] - maps[1][head]
    rows.append({"case": "shared pair", "run": "maps 0 and 1", "rms": float(np.sqrt((difference ** 2).mean())),
                 "r": correlation(maps[0][head], maps[1][head])})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases")
    parser.add_argument("--mindaro", default=os.path.join(REPOSITORY, "build", "bin", "mindaro"))
    parser.add_argument("--tools", default=default_tools())
    parser.add_argument("--make", action="store_true", help="simulate the cases that are missing")
    parser.add_argument("--standard", action="store_true", help="also score the standard estimate")
    parser.add_argument("--only", default="", help="cases whose name contains this text")
    parser.add_argument("--options", default="", help="further options of mindaro estimate")
    args = parser.parse_args()
    if not args.tools or not os.path.isdir(os.path.join(args.tools, "episim")):
        sys.exit("fidelity-bench.py: the shared measuring tools were not found; give --tools DIR")
    sys.path.insert(0, os.path.join(args.tools, "episim"))
    import benchio  # noqa: E402 (a measuring tool beside the project)

    options = args.options.split()
    rows = []
    for name, simulation in CASES:
        if args.only not in name:
            continue
        if not os.path.exists(os.path.join(args.cases, name, "meta.json")):
            if not args.make:
                print("%-12s missing (--make simulates it)" % name)
                continue
            subprocess.run([sys.executable, os.path.join(args.tools, "episim", "simulate_epi.py"), "--out",
                            os.path.join(args.cases, name), "--cache", os.path.join(args.cases, "cache")]
                           + simulation.split(), check=True, stdout=subprocess.DEVNULL)
        rows += score_case(args, args.tools, benchio, name, options)
    if args.only in "shared pair":
        rows += score_shared_pair(args, args.tools, benchio, options)

    print("%-12s %-13s %-9s %6s %6s %6s %6s %12s %9s %7s" % ("case", "run", "kept", "rms", "smooth", "p95", "r",
                                                            "laplacian", "agreement", "CPU s"))
    for row in rows:
        def value(key, form="%6.3f"):
            return form % row[key] if key in row else " " * len(form % 0.0)
        agreement_text = ("%.4f" % row["agreement"] if "agreement" in row else
                          "%.4f/%.4f" % (row["agreement_0"], row["agreement_1"]) if "agreement_0" in row else "")
        laplacian = ("%.3f (%.3f)" % (row["laplacian"], row["truth_laplacian"]) if "laplacian" in row else "")
        print("%-12s %-13s %-9s %s %s %s %s %12s %9s %s" % (row["case"], row["run"], row.get("kept", ""), value("rms"),
                                                          value("smooth"), value("p95"), value("r"), laplacian,
                                                          agreement_text, value("seconds", "%7.2f")))


if __name__ == "__main__":
    main()
