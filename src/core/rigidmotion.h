// SPDX-License-Identifier: GPL-3.0-or-later
// Rigid motion of the head between volumes. Positions are in mm from the centre of the
// volume's grid; a motion maps a position of the reference volume to where the same point
// of the head lies in the moved volume: p -> R p + t.
#pragma once

#include <array>
#include <vector>

#include "core/volume.h"

// Six parameters: the translation t in mm and the rotation R = Rz Ry Rx as angles in
// radians about x, y and z (x applied first).
struct RigidMotion {
    std::array<double, 3> translation{};
    std::array<double, 3> rotation{};
};

using Rotation = std::array<std::array<double, 3>, 3>;

struct RigidTransform {
    Rotation rotation{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    std::array<double, 3> translation{};
};

RigidTransform transformOf(const RigidMotion& motion);
RigidMotion motionOf(const RigidTransform& transform);
RigidTransform inverse(const RigidTransform& transform);

// The transform followed, in the reference frame, by the small motion x -> x + shift +
// turn x (turn a rotation vector in radians): R' = R exp([turn]x), t' = t + R shift.
RigidTransform composedWithSmallMotion(const RigidTransform& transform, const std::array<double, 3>& shift,
                                       const std::array<double, 3>& turn);

// The largest translation (mm) and rotation angle (degrees, of the whole rotation) of a
// motion.
double largestTranslation(const RigidMotion& motion);
double rotationAngleDegrees(const RigidMotion& motion);

// The position in mm of voxel (x, y, z) of a grid of the extent and voxel size.
std::array<double, 3> gridPosition(double x, double y, double z, Dimensions extent,
                                   const std::array<double, 3>& voxelSize);

// A volume ready to be resampled: its cubic B-spline coefficients, stored with
// kSplinePadding zero coefficients around the volume on every side (the spline's
// coefficients are 0 outside the volume), x fastest.
constexpr int kSplinePadding = 3;
struct SplineVolume {
    Dimensions extent{};
    std::vector<float> coefficients;
};
SplineVolume splineVolume(const Volume& volume);

// out(p) = v(R p + t) on v's own grid, sampled by the cubic B-spline (0 outside).
Volume resampledRigidly(const SplineVolume& v, const std::array<double, 3>& voxelSize,
                        const RigidTransform& transform);

// The same with the slice position clamped into the volume's slices: a head moved through
// the slab sees the first or last slice's values beyond them instead of the spline's
// fall to 0, which no field could explain.
Volume resampledRigidlyWithinSlices(const SplineVolume& v, const std::array<double, 3>& voxelSize,
                                    const RigidTransform& transform);
