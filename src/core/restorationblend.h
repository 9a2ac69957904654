// SPDX-License-Identifier: GPL-3.0-or-later
// One volume from the two copies of a pair acquired in opposite phase-encoding
// directions: the least-squares restoration (core/restoration.h) where the map compresses
// one copy, the mean of the two intensity-corrected copies where it is mild.
//
// The restoration recovers the detail that compression piled into one copy, but it
// inverts the attenuation of the spline's sampling at fractional displacements, which the
// acquired copies do not have: where the map is mild it sharpens the noise and the copies'
// disagreement, and the plain mean of the corrected copies is closer to the object. The
// weight of the restoration follows the steepest slope of the map near each voxel along
// its line (slopes nearer count more), from 0 below a slope of 0.1 to 1 from 0.3 up.
#pragma once

#include <vector>

#include "core/restoration.h"
#include "core/volume.h"

// Rows along y within which a slope of the map raises the restoration's weight; the slope
// counts less with the distance, by 1 - distance / (kRestorationReach + 1).
constexpr int kRestorationReach = 6;
// The slope |dvdm/dy| (central difference) from which the restoration starts to count,
// and the one from which it alone counts.
constexpr float kMildSlope = 0.1f;
constexpr float kSteepSlope = 0.3f;

// The restoration's weight, 0 to 1, at every voxel of the map.
Volume restorationWeights(const Volume& vdm);

// Replaces plus[i] by the combination of plus[i] and minus[i] (y along the phase
// encoding, both in one frame, plus corrected with +vdm): weight * restoration +
// (1 - weight) * the mean of the intensity-corrected copies, clipped at 0. A corrected
// copy that is not finite at a voxel drops out of the mean; where neither is, the
// restoration alone counts.
void combinePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings = {});
