// SPDX-License-Identifier: GPL-3.0-or-later
// Moving intensities by a voxel displacement map along y: the corrected value at
// (x, y, z) is the source at (x, y + s*vdm(x, y, z), z), s = +1 normal, -1 reversed.
#pragma once

#include <algorithm>

#include <vector>

#include "core/volume.h"

void applyVdmLinear(Volume& dst, const Volume& src, const Volume& vdm, bool reversed = false);
void applyVdmLinearReversed(Volume& dst, const Volume& src, const Volume& vdm);

// Resamples only the listed voxels at y + s*(vdm + scale*update(partner)); positions
// outside the open interval (0, ny-1) leave the voxel as it was.
void applyVdmLinearLocal(Volume& dst, const Volume& src, const Volume& vdm, const std::vector<VoxelIndex>& voxels,
                         const Volume& update, const std::vector<VoxelIndex>& updateVoxels, float scale,
                         bool reversed = false);
void applyVdmLinearLocalReversed(Volume& dst, const Volume& src, const Volume& vdm,
                                 const std::vector<VoxelIndex>& voxels, const Volume& update,
                                 const std::vector<VoxelIndex>& updateVoxels, float scale);

void applyVdmCubic(Volume& dst, const Volume& src, const Volume& vdm, bool reversed = false);
void applyVdmCubicReversed(Volume& dst, const Volume& src, const Volume& vdm);

// Multiplies a volume corrected with the map (s = +1, or -1 when reversed) by the
// Jacobian of the correction, 1 + s*dd/dy with dd/dy the central difference (0 in the
// first and last row), clipped at 0: undoes the change of intensity that the stretch or
// compression of the distortion caused.
void multiplyByJacobian(Volume& corrected, const Volume& vdm, bool reversed = false);
// Its factor at a voxel from the map below and above it along y; sign is +1, or -1 for the
// reversed direction.
inline float jacobianFactor(float below, float above, float sign)
{
    return std::max(0.0f, 1.0f + sign * ((above - below) * 0.5f));
}

// Undistorts a stored volume (transposed first and back when transposed is set), with
// multiplyByJacobian when intensityCorrection is set.
Volume undistort(const Volume& src, const Volume& vdm, bool transposed, bool intensityCorrection = false);
Volume vdmDerivativeY(const Volume& vdm);
Volume invertVdm(const Volume& vdm);
int countFolds(const Volume& vdm);
int repairFolds(Volume& vdm);
