// SPDX-License-Identifier: GPL-3.0-or-later
// Sums of the local measures over one box for every trial of a level at once. Each trial's
// sums run over the box voxels in box order (z, then y, then x) with the precisions of the
// voxel-list measures; the sums of different trials advance side by side in vector lanes.
#pragma once

#include <cmath>
#include <cstddef>

// Per voxel, a record of the values that the undistorted AP volume takes in every trial
// (trialStride floats), followed by those of the PA volume (trialStride floats). Records
// lie in storage order per slice, for the rows from firstRow on; slice z sits in ring
// slot z % ringDepth.
struct TrialRecords {
    const float* data;
    std::size_t trialStride;  // a multiple of kTrialLanes, at least the trial count
    int nx;
    std::size_t sliceVoxels;  // nx times the rows held
    int ringDepth;
    int firstRow = 0;

    const float* at(int x, int y, int z) const
    {
        const std::size_t slot = static_cast<std::size_t>(z % ringDepth) * sliceVoxels +
                                 static_cast<std::size_t>(y - firstRow) * static_cast<std::size_t>(nx) +
                                 static_cast<std::size_t>(x);
        return data + slot * 2 * trialStride;
    }
};

constexpr std::size_t kTrialLanes = 8;

// Inclusive voxel ranges of a box.
struct BoxRange {
    int x0, x1, y0, y1, z0, z1;
};

// sums[t] = sum over the box of d * d with d = a - b formed in float and squared and added
// in double, for t < trialStride.
void boxSsdSums(const TrialRecords& records, const BoxRange& box, double* sums);

// The five float sums of the correlation per trial, for t < trialStride.
struct NccSums {
    float* a;
    float* aa;
    float* b;
    float* bb;
    float* ab;
};
void boxNccSums(const TrialRecords& records, const BoxRange& box, const NccSums& sums);

// The correlation of n voxels from its five float sums.
inline float boxCorrelation(float n, float a, float aa, float b, float bb, float ab)
{
    return (n * ab - a * b) / (std::sqrt(n * aa - a * a) * std::sqrt(n * bb - b * b));
}

// correlation[t] = (n ab - a b) / (sqrt(n aa - a a) sqrt(n bb - b b)) in float from the sums
// of t, for t < trialStride (a multiple of kTrialLanes).
void boxCorrelations(const NccSums& sums, float n, std::size_t trialStride, float* correlation);
