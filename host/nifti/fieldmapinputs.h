// SPDX-License-Identifier: GPL-3.0-or-later
// The images of a gradient-echo field map as BIDS describes them, with what their sidecars
// say: a phase difference with "EchoTime1" and "EchoTime2" and one or two magnitudes; two
// phases, each with its "EchoTime", and two magnitudes; or a field map with its "Units"
// ("Hz", "rad/s" or "T") and a magnitude.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "nifti/bidsmetadata.h"

enum class FieldMapKind { PhaseDifference, TwoPhases, FieldInHertz };

// The BIDS suffixes of the kind, as the sidecars name it: "phasediff", "phase1+phase2",
// "fieldmap".
std::string fieldMapKindKey(FieldMapKind kind);
// For people: "phase difference", "two phases", "field map".
std::string fieldMapKindText(FieldMapKind kind);

struct FieldMapImage {
    std::string path;
    std::string label;  // how messages name the image: its path, or where it lies in a dataset
    nlohmann::json metadata = nlohmann::json::object();  // its sidecar, inherited in a dataset
    std::string metadataSource;  // how messages name the sidecar(s)
};

// Reads IMAGE.json beside the image when there is one (throws MetadataError when it is not
// a JSON object).
FieldMapImage fieldMapImageWithSidecar(const std::string& path);

struct FieldMapInputs {
    FieldMapKind kind = FieldMapKind::PhaseDifference;
    FieldMapImage phase;  // the phase difference, the first phase, or the field map
    std::optional<FieldMapImage> phase2;
    FieldMapImage magnitude;
    std::optional<FieldMapImage> magnitude2;
};

struct EchoTimes {
    double first = 0.0;  // seconds
    double second = 0.0;
    std::string source;  // the sidecar(s) or "--echo-times"
};

// The plausible echo times of a field map, in seconds.
constexpr double kShortestEchoTime = 0.0001;
constexpr double kLongestEchoTime = 0.5;

// The echo times of a phase difference or two phases from their sidecars; option stands in
// for what they do not give and overrides what they do (with a note). Throws
// MetadataError naming the file and the key when one is missing (advice, when not empty,
// says how else to give it), not a plausible number of seconds, or when both are equal.
EchoTimes resolveEchoTimes(const FieldMapInputs& inputs, const std::optional<EchoTimes>& option,
                           const std::string& advice, std::vector<std::string>& notes);

struct FieldUnits {
    std::string name;  // as the sidecar gives it
    double hertzPerUnit = 1.0;
};
// "Units" of a field map: "Hz", "rad/s" (divided by 2 pi) or "T" (times the proton's 42.577
// MHz/T). Throws MetadataError naming the file and the key when missing or another unit.
FieldUnits resolveFieldUnits(const FieldMapImage& fieldmap);
