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
// resolution across the phase-encoding lines settles most spin-echo pairs at a quarter of
// the cost; the full one decides the rest.
PreciseOutcome checkedAgainstStandard(distcor& plugin, const Volume& first, const Volume& second,
                                      const std::array<double, 3>& voxelSize, const StandardChoices& choices,
                                      Volume precise);

// The precise estimate of the pair (its progress in the log), checked as above. On
// several threads the half-resolution standard map, whose smoothing calls the host's FFT
// on this thread, is computed while the worker threads estimate the precise map; the log
// holds the same entries in the same order as on one thread.
PreciseOutcome preciseMapChecked(distcor& plugin, const Volume& first, const Volume& second,
                                 const std::array<double, 3>& voxelSize, const StandardChoices& choices);
