// SPDX-License-Identifier: GPL-3.0-or-later
// The field in Hz of a gradient-echo field map, from its NIfTI images and sidecars: the
// phase read in radians or scanner units (said which), the phase difference unwrapped
// inside the head's mask from the magnitude (resampled into the phase's grid when it lies
// on another), turned into Hz by the echo times (or a field map converted from its units),
// carried beyond the mask and smoothed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fieldmap/fieldestimate.h"
#include "nifti/fieldmapinputs.h"
#include "nifti/niftifile.h"

// Beyond this the field is taken for a wrong echo time or unit, not a head in a scanner.
constexpr double kLargestFieldHertz = 2000.0;
constexpr double kDefaultFieldSmoothingMm = 2.0;

struct FieldMapSettings {
    double smoothingMm = kDefaultFieldSmoothingMm;  // standard deviation of the Gaussian; 0 for none
    std::optional<EchoTimes> echoTimes;             // --echo-times
    std::string echoTimesAdvice;                    // how else echo times can be given, for messages
};

struct FieldMap {
    FieldMapInputs inputs;
    std::string gridImage;  // the image whose grid and geometry the field has (the phase, or the field map)
    NiftiInfo grid;
    FieldEstimate estimate;  // hertz, mask, unwrapping
    Volume magnitude;        // on the grid (the mean of two)
    std::optional<EchoTimes> echoTimes;
    std::string stored;  // how the phase or field was stored: "radians", "scanner units ...", "Hz", ...
    double smoothingMm = 0.0;
    std::vector<std::string> notes;  // what the log says on the way, one line each
};

// Throws MetadataError naming the file and the key for missing or unusable metadata, and
// std::runtime_error naming the files for images that cannot give a field (neither radians
// nor scanner units, other grids, a magnitude that does not overlap, no head in the
// magnitude, a field beyond 2 kHz).
FieldMap buildFieldMap(const FieldMapInputs& inputs, const FieldMapSettings& settings);
