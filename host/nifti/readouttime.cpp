// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/readouttime.h"

#include <cmath>

#include "cli/numbertext.h"
#include "nifti/niftifile.h"

namespace {

std::string shown(const nlohmann::json& value)
{
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

std::string rangeText()
{
    return "from " + numberText(kShortestReadoutTime) + " s to " + numberText(kLongestReadoutTime) + " s";
}

// A positive finite number under key, or nothing when the key is absent.
std::optional<double> positiveNumber(const nlohmann::json& content, const std::string& key, const std::string& where,
                                     const std::string& expected)
{
    const auto entry = content.find(key);
    if (entry == content.end()) return std::nullopt;
    if (!entry->is_number() || !std::isfinite(entry->get<double>()) || !(entry->get<double>() > 0.0))
        throw MetadataError("\"" + key + "\" of " + where + " is " + shown(*entry) + "; it must be " + expected + ".");
    return entry->get<double>();
}

ReadoutTime checked(double seconds, const std::string& rule, const std::string& where)
{
    if (!plausibleReadoutTime(seconds))
        throw MetadataError("The total readout time of " + where + " from " + rule + " is " + numberText(seconds) +
                            " s; it must be a number of seconds " + rangeText() + ".");
    return {seconds, rule};
}

}  // namespace

std::optional<ReadoutTime> readoutTimeFromMetadata(const nlohmann::json& content, const std::string& where,
                                                   std::optional<int> rows)
{
    if (const auto entry = content.find("TotalReadoutTime"); entry != content.end()) {
        if (!entry->is_number() || !plausibleReadoutTime(entry->get<double>()))
            throw MetadataError("\"TotalReadoutTime\" of " + where + " is " + shown(*entry) +
                                "; it must be a number of seconds " + rangeText() + ".");
        return ReadoutTime{entry->get<double>(), "TotalReadoutTime"};
    }
    const std::optional<double> spacing =
        positiveNumber(content, "EffectiveEchoSpacing", where, "a positive number of seconds");
    if (!spacing) return std::nullopt;
    const std::optional<double> matrix = positiveNumber(content, "ReconMatrixPE", where, "a whole number of rows, at least 2");
    if (matrix) {
        if (*matrix != std::floor(*matrix) || *matrix < 2.0)
            throw MetadataError("\"ReconMatrixPE\" of " + where + " is " + numberText(*matrix) +
                                "; it must be a whole number of rows, at least 2.");
        return checked(*spacing * (*matrix - 1.0),
                       "EffectiveEchoSpacing x (ReconMatrixPE - 1) = " + numberText(*spacing) + " s x " + numberText(*matrix - 1.0),
                       where);
    }
    if (!rows || *rows < 2) return std::nullopt;
    return checked(*spacing * (*rows - 1),
                   "EffectiveEchoSpacing x (rows along the phase encoding - 1) = " + numberText(*spacing) + " s x " +
                       std::to_string(*rows - 1),
                   where);
}

std::optional<ReadoutTime> imageReadoutTime(const std::string& image, const Sidecar& sidecar,
                                            std::optional<PhaseEncoding> direction)
{
    std::optional<int> rows;
    const nlohmann::json& content = sidecar.content;
    const bool needsRows = !content.contains("TotalReadoutTime") && content.contains("EffectiveEchoSpacing") &&
                           !content.contains("ReconMatrixPE");
    if (needsRows && direction) {
        try {
            const Dimensions extent = readNiftiInfo(image).extent;
            rows = direction->axis == 'i' ? extent.x : extent.y;
        } catch (const std::exception&) {
            // The image itself is refused, with its reason, where it is read.
        }
    }
    return readoutTimeFromMetadata(content, sidecar.path, rows);
}
