// SPDX-License-Identifier: GPL-3.0-or-later
// The images as the precise estimate sees them: the checks of its inputs, their intensity
// normalisation, the noise of a fit's residuals and the grids across the lines.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/volume.h"
#include "estimate/mappyramid.h"
#include "estimate/preciseobjective.h"

// Throws std::invalid_argument with a message for the user when the volumes cannot be
// used: different extents, fewer than 2 slices or 8 rows along y, a voxel that is not
// finite, or no signal. The names say which volume a message means.
void checkPreciseInputs(const Volume& first, const Volume& second,
                        const std::array<std::string, 2>& names = {"the first volume", "the second volume"});

std::string extentText(Dimensions extent);
// The sum of the voxels above 0.
double positiveSum(const Volume& volume);

// The images as the objective sees them. The distortion moves signal along y but keeps
// its total in every slice, so a different total is a difference of gain (a receiver
// setting, a volume before the steady state, whose slices recover differently in an
// interleaved acquisition): each slice of the second image is scaled to the first one's
// total there. Both are then multiplied by the scale that brings the 99.5th percentile of
// their mean to 1, so that the weights of the objective hold whatever the scanner's
// intensity scale.
struct NormalisedPair {
    Volume first;
    Volume second;
    double secondGain = 1.0;                     // of the whole volume
    std::array<double, 2> sliceGains{1.0, 1.0};  // smallest and largest of a slice
    std::vector<double> perSlice;                // the gain of every slice
    float scale = 1.0f;
};
NormalisedPair normalisedPair(const Volume& first, const Volume& second);
// The second image with each slice scaled to the first one's total there (the volume's
// gain where either slice has no signal); the gains to gains when given.
Volume sliceMatched(const Volume& first, const Volume& second, std::vector<double>* gains = nullptr);

// The noise of the residuals at d: 1.4826 times their median magnitude over the voxels
// with signal (a median absolute deviation, which the few large residuals of signal
// piled up by folds do not move), at least 0.005, below any scanner's noise in these
// units: a noise-free pair still gets a smooth map.
double residualNoise(const PreciseLevel& level, const Volume& d);

// The axes that the next coarser level halves: x and z while they have 8 voxels or more,
// y never, so that every level sees the whole detail along the phase encoding.
HalvedAxes acrossLinesToHalve(Dimensions extent);
