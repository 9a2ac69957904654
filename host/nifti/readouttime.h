// SPDX-License-Identifier: GPL-3.0-or-later
// The total readout time of an EPI image from its BIDS metadata: "TotalReadoutTime", else
// "EffectiveEchoSpacing" x ("ReconMatrixPE" - 1), else "EffectiveEchoSpacing" x (the
// image's rows along its phase-encoding axis - 1). Which rule gave it is kept for the log
// and the sidecars.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "nifti/bidsmetadata.h"

struct ReadoutTime {
    double seconds = 0.0;
    // "TotalReadoutTime", "EffectiveEchoSpacing x (ReconMatrixPE - 1)" or
    // "EffectiveEchoSpacing x (rows along j - 1)", with the numbers it took.
    std::string rule;
};

// content: the image's (inherited) sidecar; where: what messages name for it; rows: the
// image's rows along its phase-encoding axis, when known. Nothing when no rule applies.
// Throws MetadataError naming where and the key when a value of the rule that applies is
// not a usable number, or the time it gives lies outside 0.001 s to 1 s.
std::optional<ReadoutTime> readoutTimeFromMetadata(const nlohmann::json& content, const std::string& where,
                                                   std::optional<int> rows);

// The same for an image and its sidecar, the rows read from the image's header when the
// last rule is needed and the direction is known (an unreadable header gives no rows).
std::optional<ReadoutTime> imageReadoutTime(const std::string& image, const Sidecar& sidecar,
                                            std::optional<PhaseEncoding> direction);
