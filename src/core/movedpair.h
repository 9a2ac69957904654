// SPDX-License-Identifier: GPL-3.0-or-later
// A volume acquired once in each phase-encoding direction with the head at two positions:
// before the copies are combined, the minus copy is resampled into the plus copy's frame
// and the map, which moves with the head, is carried into that frame too.
#pragma once

#include <array>

#include "core/rigidmotion.h"
#include "core/volume.h"

// p -> outer(inner(p)).
RigidTransform composed(const RigidTransform& outer, const RigidTransform& inner);

// True when the transform leaves every position where it is.
bool isIdentity(const RigidTransform& transform);

// The head's position in each copy: the motion from the frame in which the map lies to
// the copy's frame (positions in mm from the grid's centre, y along the phase encoding).
struct CopyPositions {
    RigidTransform plus;
    RigidTransform minus;
};

// The minus copy resampled into the plus copy's frame (cubic B-spline, 0 outside):
// out(p) = minus(M P^-1 p), P and M the two positions.
Volume minusInPlusFrame(const Volume& minus, const std::array<double, 3>& voxelSize, const CopyPositions& positions);

// The map of the frame in which it lies, carried to a head at the position: the field
// moves with the head. Beyond the slab the smooth field goes on as at its edge slices
// rather than falling to 0.
Volume mapAtHeadPosition(const Volume& vdm, const std::array<double, 3>& voxelSize, const RigidTransform& position);

// The map carried into the plus copy's frame.
Volume mapInPlusFrame(const Volume& vdm, const std::array<double, 3>& voxelSize, const CopyPositions& positions);
