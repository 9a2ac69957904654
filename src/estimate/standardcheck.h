// SPDX-License-Identifier: GPL-3.0-or-later
// The check of a precise map against the standard map. In gradient-echo pairs the field
// also removes signal, differently for the two polarities, which no displacement with its
// change of intensity can explain; the precise estimate then matches the intensities with
// a wrong field, whose corrected pair has edges that line up worse than the standard
// map's. Edges are compared without the change of intensity, through the gradient
// magnitudes of the two plainly corrected volumes, where the two maps differ.
#pragma once

#include <array>
#include <cstddef>
#include <ostream>

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

// A map with the pair plainly corrected by it (pair.corrected(map, false)), sampled once
// for the comparisons and the agreement figure (CorrectablePair::agreement(map, plain)).
struct CorrectedMap {
    CorrectedMap(const CorrectablePair& pair, const Volume& map) : map(map), plain(pair.corrected(map, false)) {}
    const Volume& map;
    CorrectedPair plain;
};

// The maps' edge agreement. The precise map is kept unless the maps differ in at least
// 1% of the head and the standard map's edge correlation is higher by more than 0.03.
StandardComparison compareWithStandardMap(const CorrectablePair& pair, const CorrectedMap& precise,
                                          const CorrectedMap& standard);
StandardComparison compareWithStandardMap(const CorrectablePair& pair, const Volume& precise, const Volume& standard);

// The choices of the standard estimate that the check runs: the user's measure, intensity
// modulation and order of the input smoothing.
struct StandardChoices {
    bool useSsd = false;
    bool useIc = false;
    int order = 0;
};

// The standard estimate of the pair, its progress written to the log; the map holds -99 in
// voxel (0, 0, 0) when the estimate gives up.
Volume standardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                   const StandardChoices& choices, std::ostream& log);

// The standard map of the pair halved across its phase-encoding lines, along x and z where
// they hold 8 voxels or more (means of 2 x 1 x 2 blocks, voxel sizes doubled), carried back
// to the full grid. Its boxes keep the standard boxes' extent in mm (5 and 3 voxels along
// the halved axes instead of 7 and 5): a sixth of the full standard estimate's work. Empty
// when the estimate gives up. Its progress is not logged.
Volume halfResolutionStandardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                                 const StandardChoices& choices);

// The half-resolution standard map refined across the slices by the standard estimate's
// finest level, on the grid halved along x only (boxes of 3 x 5 x 5 voxels): a seventeenth of
// the full standard estimate's work. Its progress is not logged.
Volume refinedStandardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                          const StandardChoices& choices, const Volume& halfResolution);

// Whether the comparison with the half-resolution standard map is worth confirming with the
// refined one: the standard map's edge correlation is lower by more than 0.04. This alone
// does not settle the check: halving costs the standard map detail that gradient-echo pairs
// need. Of 78 gradient-echo phantoms (voxels of 1.5 to 3.2 mm, echo times of 10 to 35 ms),
// 21 pass it whose precise map the full check drops.
bool worthRefining(const StandardComparison& halfResolution);

// Whether the comparison with the refined standard map settles the check: its edge
// correlation is lower by more than 0.04. Measured on 132 pairs (109 phantoms, spin and
// gradient echo, both phase-encoding axes, voxels of 1.5 to 4 mm; 22 k-space simulations;
// a scanner pair), the check decides as the full check on every one, at margins of 0.03 to
// 0.05 for both steps alike. With boxes of the standard voxel count on the halved grids,
// which span twice the extent along the halved axes, 3 weak gradient-echo phantoms passed
// both steps wrongly. The refinement needs the slices' own resolution: refined along x
// with the slices left halved, 20 phantoms passed wrongly. Anything else needs the full
// standard estimate.
bool clearlyKeepsPrecise(const StandardComparison& refined);
