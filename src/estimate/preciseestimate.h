// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate of a voxel displacement map: the displacement under which the two
// acquisitions, each corrected with its change of intensity, agree best under a smooth
// field. It starts from the per-line transport map and is solved by Gauss-Newton on
// intensity-normalised images, coarse to fine across the lines.
#pragma once

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "core/volume.h"
#include "estimate/gaussnewton.h"
#include "estimate/preciseinputs.h"
#include "estimate/preciseobjective.h"

struct PreciseSettings {
    // The bending weight gamma in units of the residuals' noise variance, which each level
    // measures at its start: noisier pairs get a smoother map, clean ones a more detailed.
    double bending = 22.0;
    // Levels at most; x and z are halved while they have 8 voxels or more, y never, so
    // that every level sees the whole detail along the phase encoding.
    int levels = 4;
    // Limits per level, coarse to fine; the last entry serves any further level.
    std::vector<GaussNewtonLimits> limits{{10, 1e-6, 4, 0.05}, {8, 1e-6, 4, 0.05}, {6, 1e-6, 4, 0.05},
                                          {3, 1e-6, 4, 0.05}};
};

// What the estimate did on one level, coarse to fine.
struct PreciseLevelReport {
    Dimensions extent;
    GaussNewtonReport minimisation;
    double noise = 0.0;  // of the residuals at the level's start, in normalised intensity
    float largestSlope = 0.0f;
    double seconds = 0.0;  // processor time
};

struct PreciseReport {
    std::vector<PreciseLevelReport> levels;
    double secondGain = 1.0;  // factor that gave the second volume the first one's total signal
    std::array<double, 2> sliceGains{1.0, 1.0};  // smallest and largest such factor of a slice
    int foldRepairs = 0;      // steps of the final repair of neighbours more than a voxel apart
    double seconds = 0.0;     // processor time
};

// The map in voxels along y (first corrected with +map, second with -map) for voxel sizes
// in mm (y along the phase encoding); checks its inputs first (checkPreciseInputs).
// Writes its progress to the log, one entry per level; the first entry names the precise
// estimate.
Volume estimatePreciseVdm(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                          std::ostream& log, const PreciseSettings& settings = {}, PreciseReport* report = nullptr);
