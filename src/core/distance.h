// SPDX-License-Identifier: GPL-3.0-or-later
// Agreement measures between two volumes (whole or over a voxel list) and between two
// vectors ignoring zero entries. Squared differences sum in double, NCC in float.
#pragma once

#include <vector>

#include "core/volume.h"

double ssd(const Volume& a, const Volume& b);
double meanSsd(const Volume& a, const Volume& b);
double ncc(const Volume& a, const Volume& b);
double ssdLocal(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels);
double nccLocal(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels);
double meanSquaredDifferenceNonZero(const Vector& v, const Vector& w);
