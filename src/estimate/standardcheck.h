// SPDX-License-Identifier: GPL-3.0-or-later
// The check of a precise map against the standard map. In gradient-echo pairs the field
// also removes signal, differently for the two polarities, which no displacement with its
// change of intensity can explain; the precise estimate then matches the intensities with
// a wrong field, whose corrected pair has edges that line up worse than the standard
// map's. Edges are compared without the change of intensity, through the gradient
// magnitudes of the two plainly corrected volumes, where the two maps differ.
#pragma once

#include <cstddef>

#include "core/pairagreement.h"
#include "core/volume.h"

struct StandardComparison {
    std::size_t headVoxels = 0;       // voxels of the head mask of the pair
    std::size_t differingVoxels = 0;  // ... where the maps differ by more than 0.25 voxel
    bool compared = false;            // false when that region is below 1% of the head
    double preciseEdges = 0.0;        // correlation of the gradient magnitudes there
    double standardEdges = 0.0;
    bool keepPrecise = true;
};

// The maps' edge agreement. The precise map is kept unless the maps differ in at least
// 1% of the head and the standard map's edge correlation is higher by more than 0.03.
StandardComparison compareWithStandardMap(const CorrectablePair& pair, const Volume& precise, const Volume& standard);
