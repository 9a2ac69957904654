// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate from several volumes of each phase-encoding direction. Every volume
// keeps its own gain and, when motion is estimated, its own rigid position relative to the
// first volume of the first direction, in whose frame the field lives. Motion and field
// are estimated together on every level, coarse to fine: each round moves every volume
// back to the reference position (the motion half, against the other direction's
// corrected mean) and then fits the field to the two directions' means of the moved-back
// volumes. The translation along the phase encoding between the two directions cannot be
// told from an offset of the field, which shifts the two directions apart in the same way:
// the second direction's volumes are kept at a mean of 0 along it, and the field carries
// the rest.
#pragma once

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "core/rigidmotion.h"
#include "core/volume.h"
#include "estimate/motionstep.h"
#include "estimate/preciseestimate.h"

struct PreciseVolumesSettings {
    PreciseSettings precise;
    bool motion = false;
    double largestTranslation = 10.0;  // mm: a volume found further away is refused
    double largestRotation = 10.0;     // degrees
};

struct PreciseVolumesResult {
    Volume map;
    std::vector<VolumeMotion> first;   // per volume of the first direction; the first is the reference
    std::vector<VolumeMotion> second;  // per volume of the second direction
};

// firsts and seconds: at least one volume each, all of one extent (checked with the
// names, which say which volume a message means). The map in voxels along y, as
// estimatePreciseVdm gives it, in the frame of firsts[0]. Throws std::invalid_argument
// for unusable inputs and for a volume that moved beyond the settings' limits.
PreciseVolumesResult estimatePreciseVdmOfVolumes(const std::vector<Volume>& firsts, const std::vector<Volume>& seconds,
                                                 const std::vector<std::string>& firstNames,
                                                 const std::vector<std::string>& secondNames,
                                                 const std::array<double, 3>& voxelSize, std::ostream& log,
                                                 const PreciseVolumesSettings& settings = {});
