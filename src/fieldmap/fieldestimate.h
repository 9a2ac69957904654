// SPDX-License-Identifier: GPL-3.0-or-later
// The off-resonance field in Hz on a field map's grid, from the phase that accrued between
// two echoes or from a field given in Hz: measured inside the head's mask, carried
// smoothly beyond it over the whole grid (EPI signal that lands inside the head may come
// from just outside the mask), then lightly smoothed.
#pragma once

#include <array>
#include <optional>

#include "core/volume.h"
#include "fieldmap/headmask.h"
#include "fieldmap/phaseunwrap.h"

struct FieldSettings {
    std::array<double, 3> voxelSize{1.0, 1.0, 1.0};  // mm
    double smoothingMm = 2.0;  // standard deviation of the Gaussian; 0 for none
};

struct FieldEstimate {
    Volume hertz;    // every voxel of the grid
    VoxelMask mask;  // where the field was measured
    // The field inside the mask before smoothing: its largest magnitude, in Hz.
    double largestHertz = 0.0;
    // How the phase was unwrapped; nothing for a field given in Hz.
    std::optional<UnwrappedPhase> unwrapping;
};

// wrappedDifference in radians, the phase of the second echo minus the first;
// echoTimeDifference = TE2 - TE1 in seconds (not 0). Field = unwrapped / (2 pi dTE).
// The unwrapped phase is dropped from the result (only its summary is kept).
FieldEstimate fieldFromPhaseDifference(const Volume& wrappedDifference, const VoxelMask& mask,
                                       double echoTimeDifference, const FieldSettings& settings);
FieldEstimate fieldFromHertz(const Volume& hertz, const VoxelMask& mask, const FieldSettings& settings);
