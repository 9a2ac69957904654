// SPDX-License-Identifier: GPL-3.0-or-later
// Gradient-echo field maps of a phantom with a known field, in the three forms BIDS knows:
// a phase difference in scanner units with two magnitudes, two phases in radians with two
// magnitudes, and a field map in rad/s with its magnitude; and the phantom's runs.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/bidsdataset.h"

enum class FieldMapCase { PhaseDifference, TwoPhases, FieldInRadiansPerSecond };

// The echo times of the phase images: 10 ms apart, so that the phantom's field wraps.
constexpr double kPhantomEchoTime1 = 0.00492;
constexpr double kPhantomEchoTime2 = 0.01492;

// Writes the images of one case (PREFIX_phasediff, PREFIX_magnitude1 and
// PREFIX_magnitude2; PREFIX_phase1, PREFIX_phase2 and the two magnitudes; or
// PREFIX_fieldmap and PREFIX_magnitude, all .nii.gz) on the grid, with sidecars holding
// the echo times or units and extra. The phase is noise where the magnitude is dark.
// Returns the paths, the phase (or field) first, then the second phase, then the
// magnitudes.
std::vector<std::string> writeFieldMapCase(const std::string& prefix, FieldMapCase kind, const TestGrid& grid,
                                           const Volume& hertz, const Volume& magnitude, const nlohmann::json& extra);

// A phantom and its two runs on a 3 mm grid, the first acquired with phase encoding j
// (displaced by +field x readout time), the second with j-; and the true field.
struct FieldMapPhantom {
    PhantomVolumes phantom;
    TestGrid runGrid;
    TestGrid fieldGrid;  // finer and shifted: the field map's own grid
    double readoutTime = 0.05;
    Volume hertz;  // the true field on runGrid
    std::string first;   // FOLDER/first_bold.nii.gz, "PhaseEncodingDirection" j
    std::string second;  // FOLDER/second_bold.nii.gz, j-
};
FieldMapPhantom makeFieldMapPhantom();  // without files: first and second are empty
FieldMapPhantom writeFieldMapPhantomRuns(const std::string& folder);

// The field and the undistorted object on the phantom's field-map grid.
Volume phantomFieldOnFieldGrid(const FieldMapPhantom& phantom);
Volume phantomMagnitudeOnFieldGrid(const FieldMapPhantom& phantom);
