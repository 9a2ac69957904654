// SPDX-License-Identifier: GPL-3.0-or-later
// The coarse-to-fine levels of the precise estimate: images halved by block means, maps
// carried to the finer level, and maps kept free of folds.
#pragma once

#include <array>

#include "core/volume.h"

using HalvedAxes = std::array<bool, 3>;

// The axes that the next coarser level halves: those of at least 8 voxels.
HalvedAxes axesToHalve(Dimensions extent);
Dimensions halvedExtent(Dimensions extent, const HalvedAxes& axes);
// Means of 2 x 2 x 2 blocks (of 2 or 1 along axes not halved; a last odd block holds
// what is there).
Volume halveVolume(const Volume& volume, const HalvedAxes& axes);

// The map on the finer grid: trilinear interpolation at the fine voxel centres (edges
// held), displacements doubled when y was halved since they count voxels along y.
Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes);

// Smoothing with the kernel (1, 2, 1)/4 along one axis (0 x, 1 y, 2 z), edges held.
void smoothAlongAxis(Volume& volume, int axis);

// Smooths along y until every |central difference along y| is below the limit; returns
// the passes made. A map that is not finite, or still folds after 200 passes, is set to 0.
int restoreFeasibility(Volume& d, float limit);
