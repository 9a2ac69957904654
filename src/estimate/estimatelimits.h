// SPDX-License-Identifier: GPL-3.0-or-later
// What the estimators can work on. The column-wise fit that every estimate starts from
// diverges into values that are not numbers on some input; the causes that are known are
// refused before the estimate, with their limits, and a map that holds such values all
// the same is never saved or applied.
#pragma once

#include <string>

#include "core/volume.h"

// The largest voxel size along the phase-encoding axis: the inputs are smoothed with a
// deviation of 4 length units along it, and below a third of a voxel the kernel, cut at
// six deviations, keeps only the neighbouring voxels and the fit diverges.
constexpr double kLargestVoxelAlongPhaseEncoding = 12.0;
// The largest intensity magnitude: the fit forms fourth powers of intensity gradients in
// single precision.
constexpr double kLargestIntensity = 1e8;
// The fewest rows along the phase-encoding axis: the fit of a stretch and a shift per
// column needs more samples than unknowns.
constexpr int kFewestRowsAlongPhaseEncoding = 3;

// One of the two volumes of an estimate, in the working orientation (y along the phase
// encoding), and where it comes from.
struct EstimateVolume {
    const Volume& volume;
    std::string project;
    unsigned index = 0;
};

// Throws std::runtime_error naming the project, the value and the limit when a volume
// holds values that are not finite or larger than kLargestIntensity, has fewer rows than
// kFewestRowsAlongPhaseEncoding, or when voxelAlongPhaseEncoding (of the first project,
// named by its header key) exceeds kLargestVoxelAlongPhaseEncoding.
void requireEstimableInput(const EstimateVolume& first, const EstimateVolume& second, double voxelAlongPhaseEncoding,
                           const std::string& voxelKey);

// Throws std::runtime_error when the map holds values that are not finite: their count and
// the likely cause, with the measures of the pair that the limits above bound.
void requireFiniteMap(const Volume& map, const EstimateVolume& first, const EstimateVolume& second,
                      double voxelAlongPhaseEncoding);

// The number of voxels that are NaN or infinite.
std::size_t nonFiniteVoxels(const Volume& volume);
