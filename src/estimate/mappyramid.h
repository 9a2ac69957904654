// SPDX-License-Identifier: GPL-3.0-or-later
// The coarse-to-fine grids of the precise estimate: images halved by block means, and
// maps carried between grids by trilinear interpolation and its transpose.
#pragma once

#include <array>

#include "core/volume.h"

using HalvedAxes = std::array<bool, 3>;

// The axes that the next coarser grid halves: those of at least 8 voxels.
HalvedAxes axesToHalve(Dimensions extent);
Dimensions halvedExtent(Dimensions extent, const HalvedAxes& axes);
// Means of 2 x 2 x 2 blocks (of 2 or 1 along axes not halved; a last odd block holds
// what is there).
Volume halveVolume(const Volume& volume, const HalvedAxes& axes);

// Trilinear interpolation of the coarser grid at the finer grid's voxel centres (the fine
// voxel i lies at (i - 0.5)/2 coarse voxels along a halved axis; edges held), written to
// out (of the finer extent); and its transpose, from the finer grid to out (of the
// coarser extent).
void interpolateToFiner(const Volume& coarse, const HalvedAxes& axes, Volume& out);
void transposeToCoarser(const Volume& fine, const HalvedAxes& axes, Volume& out);

// The map on the finer grid: interpolated, displacements doubled when y was halved since
// they count voxels along y.
Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes);
