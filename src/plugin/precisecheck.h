// SPDX-License-Identifier: GPL-3.0-or-later
// The check of a precise map against the standard estimate, as the estimate task runs it
// and logs it.
#pragma once

#include <array>

#include "core/volume.h"
#include "estimate/standardcheck.h"

class distcor;

struct PreciseOutcome {
    Volume map;
    bool precise = true;  // false when the standard map replaced the precise one
};

// The standard map replaces the precise one when the check finds that the pair does not
// follow the spin-echo intensity model (a gradient-echo pair). A standard estimate at half
// resolution settles most spin-echo pairs at an eighth of the cost; the full one decides
// the rest.
PreciseOutcome checkedAgainstStandard(distcor& plugin, const Volume& first, const Volume& second,
                                      const std::array<double, 3>& voxelSize, const StandardChoices& choices,
                                      Volume precise);
