// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate of a voxel displacement map: the displacement that makes the two
// acquisitions, each corrected with its change of intensity, agree best under a smooth,
// fold-free field. Solved coarse to fine by Gauss-Newton on intensity-normalised images.
#pragma once

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "core/volume.h"
#include "estimate/gaussnewton.h"
#include "estimate/preciseobjective.h"

struct PreciseSettings {
    PreciseWeights weights{0.002, 1e-4};
    int levels = 4;  // at most; an axis is halved only while it has 8 voxels or more
    // Limits per level, coarse to fine; the last entry serves any further level. Five CG
    // iterations per step, with the line-band preconditioner, give the maps that twenty do.
    std::vector<GaussNewtonLimits> limits{{30, 1e-6, 5, 0.1}, {20, 1e-6, 5, 0.1}, {15, 1e-6, 5, 0.1},
                                          {5, 1e-6, 5, 0.1}};
};

// What the estimate did on one level, coarse to fine.
struct PreciseLevelReport {
    Dimensions extent;
    GaussNewtonReport minimisation;
    int feasibilityPasses = 0;  // smoothing passes that made the carried map fold-free
    float largestSlope = 0.0f;
    double seconds = 0.0;  // processor time
};

struct PreciseReport {
    std::vector<PreciseLevelReport> levels;
    double secondGain = 1.0;  // factor that gave the second volume the first one's total signal
    int foldRepairs = 0;      // steps of the final repair of neighbours more than a voxel apart
    double seconds = 0.0;     // processor time
};

// Throws std::invalid_argument with a message for the user when the volumes cannot be
// used: different extents, fewer than 2 slices or 8 rows along y, a voxel that is not
// finite, or no signal. The names say which volume a message means.
void checkPreciseInputs(const Volume& first, const Volume& second,
                        const std::array<std::string, 2>& names = {"the first volume", "the second volume"});

// The map in voxels along y (first corrected with +map, second with -map) for voxel sizes
// in mm (y along the phase encoding); checks its inputs first (checkPreciseInputs). Writes its progress to the log, one entry per level;
// the first entry names the precise estimate.
Volume estimatePreciseVdm(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                          std::ostream& log, const PreciseSettings& settings = {}, PreciseReport* report = nullptr);
