// SPDX-License-Identifier: GPL-3.0-or-later
// Carrying a displacement map from the grid of the pair it was estimated on to the grid
// of another run: through the field in Hz and the images' world coordinates.
#pragma once

#include <optional>
#include <string>

#include "core/volume.h"
#include "nifti/bidsmetadata.h"
#include "nifti/niftifile.h"

// Same extent, and voxel-to-world matrices that put every corner of the grid within
// 0.01 mm of each other: the voxels of the one are the voxels of the other.
bool sameGrid(const NiftiInfo& a, const NiftiInfo& b);

// An image's phase-encoding setting with the grid it refers to.
struct EncodedGrid {
    NiftiInfo grid;
    PhaseEncoding direction;
    double readoutTime = 0.0;  // seconds, TotalReadoutTime
};

// Why a map along the pair's phase-encoding axis cannot correct the run: the voxel axes
// named by the two directions point more than 25 degrees apart in world coordinates.
// Nothing when they agree (up to their sign, which the polarities carry).
std::optional<std::string> phaseAxisMismatch(const EncodedGrid& pair, const EncodedGrid& run);

// The run's displacement in its own voxels along its phase-encoding axis, from the map of
// the pair (the displacement of the pair's direction, in the pair's voxels): the field
// d * polarity / readout time in Hz, sampled trilinearly at the world position of each of
// the run's voxel centres (positions outside the pair's grid take the nearest edge),
// times the run's readout time and polarity. The map has the pair grid's extent.
Volume transferDisplacement(const Volume& pairMap, const EncodedGrid& pair, const EncodedGrid& run);
