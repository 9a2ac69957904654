// SPDX-License-Identifier: GPL-3.0-or-later
// The gradient-echo field maps of a session's fmap folder: the images BIDS names
// _phasediff, _phase1, _phase2, _fieldmap, _magnitude1, _magnitude2 and _magnitude, joined
// into field maps by their other entities, each checked for the images and the metadata
// its kind needs ("EchoTime1" and "EchoTime2", each phase's "EchoTime", or "Units").
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dataset/bidsname.h"
#include "dataset/discovery.h"
#include "nifti/fieldmapinputs.h"

struct FieldMapFile {
    std::string path;      // absolute
    std::string relative;  // below the dataset's folder
    BidsName name;
    nlohmann::json metadata = nlohmann::json::object();  // its inherited sidecar
    std::string sidecars;  // how messages name its sidecars
    std::string problem;   // why its sidecars could not be read
};

bool isGradientEchoSuffix(const std::string& suffix);

struct GradientEchoFieldMap {
    FieldMapKind kind = FieldMapKind::PhaseDifference;
    // The phase difference, the first phase or the field; then the second phase; then the
    // magnitudes, each with its suffix as its role.
    std::vector<const FieldMapFile*> images;
    std::vector<std::string> roles;
    std::vector<std::string> identifiers;  // "B0FieldIdentifier" of its first image
    std::string problem;                   // why it cannot be used; empty when it can
};

// The images as field-map inputs (labels and sidecars named below the dataset's folder).
FieldMapInputs fieldMapInputsOf(const GradientEchoFieldMap& fieldMap);

struct GradientEchoGrouping {
    std::vector<GradientEchoFieldMap> fieldMaps;  // by their shared entities, sorted
    std::vector<DatasetFinding> unused;           // images that belong to no field map, with why
};

GradientEchoGrouping groupGradientEchoFieldMaps(const std::vector<FieldMapFile>& files);
