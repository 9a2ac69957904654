// SPDX-License-Identifier: GPL-3.0-or-later
// The coarse-to-fine grids of the precise estimate: images halved by block means, and
// maps carried between grids by trilinear interpolation and its transpose.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "core/volume.h"

using HalvedAxes = std::array<bool, 3>;

// The axes that the next coarser grid halves: those of at least 8 voxels.
HalvedAxes axesToHalve(Dimensions extent);
Dimensions halvedExtent(Dimensions extent, const HalvedAxes& axes);
// Voxel sizes doubled along the halved axes.
std::array<double, 3> halvedVoxelSize(const std::array<double, 3>& voxelSize, const HalvedAxes& axes);
// Means of 2 x 2 x 2 blocks (of 2 or 1 along axes not halved; a last odd block holds
// what is there).
Volume halveVolume(const Volume& volume, const HalvedAxes& axes);

// Calls visit(coarseIndex, fineIndex) for every voxel of the finer grid (extent fine) that
// lies in coarse slice zc of the grid halved along axes (extent coarse), in storage order,
// with the storage index of the coarse voxel whose block holds it.
template <typename Visit>
void forEachFineVoxelOfCoarseSlice(Dimensions fine, Dimensions coarse, const HalvedAxes& axes, int zc, Visit visit)
{
    const int shiftX = axes[0] ? 1 : 0, shiftY = axes[1] ? 1 : 0, shiftZ = axes[2] ? 1 : 0;
    const int firstZ = zc << shiftZ;
    const int endZ = std::min(fine.z, firstZ + (1 << shiftZ));
    const std::size_t fineRow = static_cast<std::size_t>(fine.x);
    std::size_t f = static_cast<std::size_t>(firstZ) * fineRow * static_cast<std::size_t>(fine.y);
    for (int z = firstZ; z < endZ; ++z)
        for (int y = 0; y < fine.y; ++y) {
            const std::size_t row =
                (static_cast<std::size_t>(zc) * static_cast<std::size_t>(coarse.y) + static_cast<std::size_t>(y >> shiftY)) *
                static_cast<std::size_t>(coarse.x);
            for (int x = 0; x < fine.x; ++x, ++f) visit(row + static_cast<std::size_t>(x >> shiftX), f);
        }
}

// Trilinear interpolation of the coarser grid at the finer grid's voxel centres (the fine
// voxel i lies at (i - 0.5)/2 coarse voxels along a halved axis; edges held), written to
// out (of the finer extent); and its transpose, from the finer grid to out (of the
// coarser extent).
void interpolateToFiner(const Volume& coarse, const HalvedAxes& axes, Volume& out);
void transposeToCoarser(const Volume& fine, const HalvedAxes& axes, Volume& out);

// The map on the finer grid: interpolated, displacements doubled when y was halved since
// they count voxels along y.
Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes);
