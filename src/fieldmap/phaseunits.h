// SPDX-License-Identifier: GPL-3.0-or-later
// Phase images as scanners and converters store them, turned into radians. The scale is
// told apart by the range of the values: radians (-pi..pi, or 0..2pi), or the 12-bit
// scanner scale (-4096..4095 for -pi..pi, or its unsigned form 0..4095 that the signed one
// is made from by 2 x value - 4096).
#pragma once

#include <optional>
#include <string>

#include "core/volume.h"

enum class PhaseScale { Radians, ScannerSigned, ScannerUnsigned };

// The scale of the finite values, or nothing when they fit none (degrees, a field in Hz,
// a magnitude image).
std::optional<PhaseScale> detectPhaseScale(const Volume& phase);
// "radians", "scanner units (-4096..4095 for -pi..pi)", ...
std::string phaseScaleText(PhaseScale scale);

// x - 2 pi round(x / 2 pi): the same angle in [-pi, pi].
float wrapPhase(float radians);

// The phase in radians, wrapped into [-pi, pi]; values that are not finite become 0.
Volume phaseInRadians(const Volume& phase, PhaseScale scale);
// wrap(second - first) voxel by voxel, both in radians: the phase that accrued between two
// echoes, before unwrapping.
Volume wrappedDifference(const Volume& first, const Volume& second);
