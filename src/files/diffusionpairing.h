// SPDX-License-Identifier: GPL-3.0-or-later
// Whether two diffusion runs hold the same measurements in the same order, as the two
// copies of a run acquired once with each phase-encoding direction must.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/volume.h"

struct MeasurementDifference {
    std::size_t volume;  // counted from 0
    std::string text;    // "b-value 1000 against 2000", "gradient direction (1, 0, 0) against (0, 1, 0)"
};

// The first volume whose b-value differs by more than 1 s/mm^2 and 1 %, or, for b above
// 50, whose gradient direction differs by more than 2 degrees (either sign is the same
// measurement); directions are compared where both runs give one. Nothing when all agree;
// b-value lists of different lengths differ at the end of the shorter.
std::optional<MeasurementDifference> firstDifferingMeasurement(const std::vector<float>& bValuesA,
                                                               const std::vector<Point3>& directionsA,
                                                               const std::vector<float>& bValuesB,
                                                               const std::vector<Point3>& directionsB);
