// SPDX-License-Identifier: GPL-3.0-or-later
// Trilinear resampling of a volume onto the destination's grid under an affine transform.
#pragma once

#include "core/volume.h"

// M maps destination voxel coordinates to source voxel coordinates.
void transformVolume(Volume& dst, const Volume& src, const Transform& m);
// M acts about the centres of the two volumes.
void transformVolumeCentred(Volume& dst, const Volume& src, const Transform& m);
// Fits the whole source field of view into the destination's extent.
void resizeVolume(Volume& dst, const Volume& src);
