// SPDX-License-Identifier: GPL-3.0-or-later
// The values one voxel takes in every trial of a standard-estimate level: its column
// resampled along y at the voxel's row shifted by the trial's displacement.
#pragma once

#include <cstddef>
#include <cstdint>

// The column (rows nx floats apart) at h in (0, ny - 1), interpolated linearly between rows
// j = (int) h and j + 1. The arithmetic is that of the voxel-list resampling of the VDM
// module.
inline float interpolatedAt(float h, std::size_t nx, const float* column)
{
    const int j = static_cast<int>(h);
    const float f = h - static_cast<float>(j);
    return (1.0f - f) * column[static_cast<std::size_t>(j) * nx] + f * column[static_cast<std::size_t>(j + 1) * nx];
}

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
// and there values[t] = interpolatedAt(h, nx, column). Elsewhere inside[t] = 0 and values[t]
// is left undefined. Eight trials at a time with AVX2, with the bits of the one-trial loop.
void sampleTrials(const TrialColumn& line, const float* trials, std::size_t count, float* values,
                  std::int32_t* inside);
