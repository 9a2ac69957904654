// SPDX-License-Identifier: GPL-3.0-or-later
// The agreement of a pair corrected with a displacement map: the first volume undistorted
// with +map and the second with -map (cubic B-spline along y), each optionally multiplied
// by its Jacobian 1 + dd/dy and 1 - dd/dy (central differences, 0 in the first and last
// row, clipped at 0), compared by the Pearson correlation over the head mask.
#pragma once

#include <cstddef>
#include <vector>

#include "core/volume.h"

// The value below which a fraction p (0..1) of the volume's voxels lie, interpolated
// linearly between the sorted voxel values.
double percentile(const Volume& volume, double p);

// Offsets of the voxels where both volumes (of one extent) exceed 0.15 times their own
// 99th percentile.
std::vector<std::size_t> headMask(const Volume& first, const Volume& second);

// The two corrected volumes (working orientation, y along the phase encoding).
struct CorrectedPair {
    Volume first;
    Volume second;
};

// A pair to be corrected with several maps: the B-spline coefficients of both volumes and
// the head mask are computed once. The volumes and every map must have one extent
// (assertion errors otherwise).
class CorrectablePair {
public:
    CorrectablePair(const Volume& first, const Volume& second);
    CorrectedPair corrected(const Volume& map, bool intensityCorrection) const;
    const std::vector<std::size_t>& head() const { return head_; }
    // The agreement figure of the pair corrected with the map, over the head mask.
    double agreement(const Volume& map) const;
    // The same figure from plain = corrected(map, false), which it then corrects for
    // intensity: one sampling less where the plain pair is needed too.
    double agreement(const Volume& map, CorrectedPair plain) const;

private:
    Dimensions extent_;
    std::vector<double> firstCoefficients_;
    std::vector<double> secondCoefficients_;
    std::vector<std::size_t> head_;
};

CorrectedPair correctPair(const Volume& first, const Volume& second, const Volume& map, bool intensityCorrection);

// Pearson correlation in double precision over the voxels.
double correlationOver(const Volume& a, const Volume& b, const std::vector<std::size_t>& voxels);

// The agreement figure: correctPair with intensity correction, correlated over the mask.
double pairAgreement(const Volume& first, const Volume& second, const Volume& map,
                     const std::vector<std::size_t>& mask);
