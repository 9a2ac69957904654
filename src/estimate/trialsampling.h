// SPDX-License-Identifier: GPL-3.0-or-later
// The values one voxel takes in every trial of a standard-estimate level: its column
// resampled along y at the voxel's row shifted by the trial's displacement.
#pragma once

#include <cstddef>
#include <cstdint>

// One voxel's column and the displacement of its trials: trial t moves the row by
// shift = displacement + trials[t] * weight, or by -shift where negated (the PA volume).
struct TrialColumn {
    const float* column;  // the voxel's column at row 0; rows lie nx floats apart
    std::size_t nx;
    int ny;
    float row;
    float displacement;
    float weight;
    bool negated;
};

// For t < count: h = row + shift (or row + -shift); inside[t] = -1 where 0 < h < ny - 1,
// and there values[t] = (1 - f) column[j] + f column[j + 1] with j = (int) h and f = h - j
// (rows j, j + 1). Elsewhere inside[t] = 0 and values[t] is left undefined. Eight trials at
// a time with AVX2, with the bits of the one-trial loop.
void sampleTrials(const TrialColumn& line, const float* trials, std::size_t count, float* values,
                  std::int32_t* inside);
