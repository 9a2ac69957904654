// SPDX-License-Identifier: GPL-3.0-or-later
// Carrying a displacement map from the grid of the pair it was estimated on (or a field in
// Hz from the grid of its field map) to the grid of another run, through the images' world
// coordinates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// What a resampling gives where a voxel centre falls outside the source's grid.
enum class BeyondGrid {
    NearestEdge,  // the value at the nearest edge: a field carried on
    Zero,         // 0 beyond half a voxel past the edge: an image that does not reach there
};

// The source (on grid from) at the world position of each voxel centre of grid to,
// trilinearly, times scale.
Volume resampleThroughWorld(const Volume& source, const NiftiInfo& from, const NiftiInfo& to, double scale,
                            BeyondGrid beyond);

// The voxels of grid to whose centres lie within half a voxel of grid from.
std::size_t voxelsInsideGrid(const NiftiInfo& from, const NiftiInfo& to);

// Of the voxels where mask is set (on grid to), the fraction whose centre falls on a voxel
// of grid from where support is set (nearest voxel); 1 when the mask is empty.
double coveredFraction(const std::vector<std::uint8_t>& mask, const NiftiInfo& to,
                       const std::vector<std::uint8_t>& support, const NiftiInfo& from);
