// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/fieldmapinputs.h"

#include "cli/numbertext.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
// The proton's gyromagnetic ratio over 2 pi, in Hz per tesla.
constexpr double kProtonHertzPerTesla = 42.577478518e6;

std::string shown(const nlohmann::json& value)
{
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

// An echo time under key, or nothing when the key is absent.
std::optional<double> echoTime(const FieldMapImage& image, const std::string& key)
{
    const auto entry = image.metadata.find(key);
    if (entry == image.metadata.end()) return std::nullopt;
    if (!entry->is_number() || !(entry->get<double>() >= kShortestEchoTime && entry->get<double>() <= kLongestEchoTime))
        throw MetadataError("\"" + key + "\" of " + image.metadataSource + " is " + shown(*entry) +
                            "; it must be an echo time in seconds, from " + numberText(kShortestEchoTime) + " to " +
                            numberText(kLongestEchoTime) + ".");
    return entry->get<double>();
}

}  // namespace

std::string fieldMapKindKey(FieldMapKind kind)
{
    switch (kind) {
    case FieldMapKind::PhaseDifference: return "phasediff";
    case FieldMapKind::TwoPhases: return "phase1+phase2";
    case FieldMapKind::FieldInHertz: return "fieldmap";
    }
    return "";
}

std::string fieldMapKindText(FieldMapKind kind)
{
    switch (kind) {
    case FieldMapKind::PhaseDifference: return "phase difference";
    case FieldMapKind::TwoPhases: return "two phases";
    case FieldMapKind::FieldInHertz: return "field map";
    }
    return "";
}

FieldMapImage fieldMapImageWithSidecar(const std::string& path)
{
    const Sidecar sidecar = readSidecar(path);
    return {path, path, sidecar.content, sidecar.path};
}

EchoTimes resolveEchoTimes(const FieldMapInputs& inputs, const std::optional<EchoTimes>& option,
                           const std::string& advice, std::vector<std::string>& notes)
{
    const bool difference = inputs.kind == FieldMapKind::PhaseDifference;
    const FieldMapImage& first = inputs.phase;
    const FieldMapImage& second = difference ? inputs.phase : *inputs.phase2;
    const std::string firstKey = difference ? "EchoTime1" : "EchoTime";
    const std::string secondKey = difference ? "EchoTime2" : "EchoTime";
    const std::optional<double> a = echoTime(first, firstKey);
    const std::optional<double> b = echoTime(second, secondKey);
    EchoTimes times;
    if (option) {
        times = *option;
        if ((a && *a != option->first) || (b && *b != option->second))
            notes.push_back("--echo-times " + numberText(option->first) + " " + numberText(option->second) +
                            " overrides the echo times of " + first.metadataSource +
                            (difference ? "" : " and " + second.metadataSource) + ".");
    } else {
        if (!a || !b) {
            const FieldMapImage& lacking = !a ? first : second;
            throw MetadataError("\"" + (!a ? firstKey : secondKey) + "\" is missing from " + lacking.metadataSource +
                                " (the sidecar of " + lacking.label + "); the field needs both echo times. Add it" +
                                (advice.empty() ? "." : " or " + advice));
        }
        times = {*a, *b, difference ? first.metadataSource : first.metadataSource + " and " + second.metadataSource};
    }
    if (times.first == times.second)
        throw MetadataError("The echo times " + (option ? std::string("of --echo-times")
                                                        : "\"" + firstKey + "\" and \"" + secondKey + "\" of " + times.source) +
                            " are equal (" + numberText(times.first) + " s); the field needs two different echo times.");
    return times;
}

FieldUnits resolveFieldUnits(const FieldMapImage& fieldmap)
{
    const auto entry = fieldmap.metadata.find("Units");
    if (entry == fieldmap.metadata.end())
        throw MetadataError("\"Units\" is missing from " + fieldmap.metadataSource + " (the sidecar of " + fieldmap.label +
                            "); a field map must say whether it holds Hz, rad/s or T.");
    const std::string units = entry->is_string() ? entry->get<std::string>() : "";
    if (units == "Hz") return {units, 1.0};
    if (units == "rad/s") return {units, 1.0 / (2.0 * kPi)};
    if (units == "T") return {units, kProtonHertzPerTesla};
    throw MetadataError("\"Units\" of " + fieldmap.metadataSource + " is " + shown(*entry) +
                        "; a field map can be in \"Hz\", \"rad/s\" or \"T\".");
}
