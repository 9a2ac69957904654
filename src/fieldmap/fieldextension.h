// SPDX-License-Identifier: GPL-3.0-or-later
// A field known inside a mask carried smoothly over the rest of its grid, and the light
// Gaussian smoothing of a field in millimetres.
#pragma once

#include <array>

#include "core/volume.h"
#include "fieldmap/headmask.h"

// The values on the mask, carried outward layer by layer: every voxel next to the known
// ones (six face neighbours) takes the mean of its known neighbours, then counts as known,
// until the grid is filled. Without a known voxel the values are returned as they are.
Volume extendBeyondMask(const Volume& values, const VoxelMask& known);

// A separable Gaussian of standard deviation sigmaMm along every axis (kernel to 3 sigma,
// the edge voxels repeated beyond the grid); sigmaMm 0 returns the values as they are.
Volume smoothInMillimetres(const Volume& values, double sigmaMm, const std::array<double, 3>& voxelSize);
