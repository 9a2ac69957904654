// SPDX-License-Identifier: GPL-3.0-or-later
// The splines along y of a whole volume sampled a row at a time: every line x of a slice
// at its own position, as the precise estimate's objective needs. The coefficients are
// stored with zero rows around every slice, so that samples read them without bounds
// checks; where the processor gathers (AVX2), eight lines are sampled at once. Every
// sample equals sampleSplineLine(WithSlope) of its line, bit for bit.
#pragma once

#include <vector>

#include "core/volume.h"

struct LineSplines {
    Dimensions extent{};
    std::vector<float> coefficients;  // slice z, row y (from -kRowPadding), x fastest
};

// The coefficients of every line along y of the image (as splineCoefficientsAlongY).
LineSplines lineSplines(const Volume& image);

// values[x] (and slopes[x], unless null) of line x of slice z at position t[x] along y,
// for every x of the slice.
void sampleLines(const LineSplines& splines, int z, const float* t, float* values, float* slopes);
