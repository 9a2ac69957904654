// SPDX-License-Identifier: GPL-3.0-or-later
// The motion half of the precise estimate of several volumes: every volume's rigid motion
// and gain refined together with an affine change of the field, by Gauss-Newton steps
// that make each volume, moved back to the reference position and corrected with the
// field, match the other direction's corrected mean. A rotation about x or z shifts the
// head along y in proportion to z or x, which an affine field does as well: alone, the
// motion and the field would trade those parts back and forth for many rounds, so the
// step solves for both. The update of a motion is a small motion in the reference frame
// applied after the current one, so its derivatives come from the moved-back volume on the
// reference grid.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/rigidmotion.h"
#include "core/volume.h"

struct VolumeMotion {
    RigidTransform transform;
    double gain = 1.0;
};

// The volume moved back (sampled at R p + t, the slice position clamped into its slices)
// and multiplied by its gain, on its own grid.
Volume movedBack(const SplineVolume& volume, const std::array<double, 3>& voxelSize, const VolumeMotion& motion);

// An image corrected with the map d: sampled along y at y + sign d and multiplied by its
// clipped Jacobian [1 + sign dd/dy]+.
Volume correctedWithMap(const Volume& image, const Volume& d, float sign);

struct MotionStepResult {
    double translationChange = 0.0;  // mm, largest component of any volume
    double rotationChange = 0.0;     // degrees, of any volume
};

// One Gauss-Newton step of a volume's motion and gain, the field left out, for
// r = [volume moved back] - reference over the voxels given: for volumes of one
// phase-encoding direction, whose distortion is the same.
MotionStepResult registerRigidly(const Volume& movedBack, const Volume& reference, const std::array<double, 3>& voxelSize,
                                 const std::vector<std::size_t>& voxels, VolumeMotion& motion);

// The same for the totals along y of every line: the distortion moves signal along the
// lines but keeps their totals, so these compare volumes of the two directions without
// any field. The translation along y leaves them unchanged and stays as it is. Where the
// field is steep, though, the magnitude total of a line grows with the pile-up; given a
// field (in the reference frame, null for none) the step fits that growth with the motion,
// in proportion to each line's signal times the compression the field gives it in each
// direction. The lines of the first and last edge slices are left out.
MotionStepResult registerLineTotals(const Volume& movedBack, const Volume& reference, const std::array<double, 3>& voxelSize,
                                    VolumeMotion& motion, const Volume* field = nullptr, int edge = 0);

// One volume of the step: moved back with its current motion (and gain); motion is null
// for the reference volume, which does not move. direction: 0 for the first (corrected
// with +d), 1 for the second.
struct MotionVolume {
    const Volume* movedBack = nullptr;
    VolumeMotion* motion = nullptr;
    int direction = 0;
};


// One joint Gauss-Newton step over the voxels given, but for those where d is steep (its
// gradient beyond 0.2 voxel per voxel, at most a quarter of them): every moving volume's
// translation, rotation and log-gain, and d's change by a + b x + c y + e z. means are the two
// directions' means of the moved-back volumes. The mean translation along y of the second
// direction's volumes in the reference frame is held (the field's offset moves instead).
// The motions and d are updated.
MotionStepResult refineMotionsWithAffineField(const std::vector<MotionVolume>& volumes, const std::array<Volume, 2>& means,
                                              const std::array<double, 3>& voxelSize,
                                              const std::vector<std::size_t>& voxels, Volume& d);
