// SPDX-License-Identifier: GPL-3.0-or-later
// Masks of the head on a field map's grid: one byte per voxel in storage order, 1 inside.
#pragma once

#include <cstdint>
#include <vector>

#include "core/volume.h"

using VoxelMask = std::vector<std::uint8_t>;

// The pieces of a mask that hang together through the six face neighbours: a label per
// voxel (0 outside, 1 for the largest piece, 2 for the next, ...) and each piece's size
// (sizes[0] belongs to label 1).
struct MaskPieces {
    std::vector<std::int32_t> label;
    std::vector<std::size_t> sizes;
};
MaskPieces maskPieces(const VoxelMask& mask, Dimensions extent);

// The head in a magnitude image: the voxels whose magnitude reaches a tenth of its 98th
// percentile, without the pieces smaller than 27 voxels or a thousandth of the largest
// (specks of noise). Values that are not finite are outside.
VoxelMask headMask(const Volume& magnitude);

std::size_t maskCount(const VoxelMask& mask);

// The mask grown by layers of face neighbours.
VoxelMask dilateMask(const VoxelMask& mask, Dimensions extent, int layers);
