// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/bidsmetadata.h"

#include <cmath>
#include <filesystem>
#include <sstream>

#include "files/filenames.h"
#include "nifti/jsonfile.h"
#include "nifti/readouttime.h"

namespace {

const char* const kDirectionKey = "PhaseEncodingDirection";
const char* const kReadoutKey = "TotalReadoutTime";

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A value as a message shows it: JSON text, cut short when long.
std::string shown(const nlohmann::json& value)
{
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// The direction a sidecar gives, or why it gives none. The advice says how to pass it.
std::optional<PhaseEncoding> sidecarDirection(const std::string& image, const Sidecar& sidecar,
                                              const std::string& advice)
{
    if (!sidecar.exists)
        throw MetadataError("The phase-encoding direction of " + image + " is not known: it has no sidecar " +
                            sidecar.path + ". Add one with \"" + kDirectionKey + "\" or " + advice);
    const auto entry = sidecar.content.find(kDirectionKey);
    if (entry == sidecar.content.end())
        throw MetadataError("The phase-encoding direction of " + image + " is not known: its sidecar " +
                            sidecar.path + " has no \"" + kDirectionKey + "\". Add it there or " + advice);
    const std::optional<PhaseEncoding> direction =
        entry->is_string() ? parsePhaseEncoding(entry->get<std::string>()) : std::nullopt;
    if (!direction)
        throw MetadataError("\"" + std::string(kDirectionKey) + "\" of " + sidecar.path + " is " + shown(*entry) +
                            "; only i, i-, j and j- can be corrected. Correct it or " + advice);
    return direction;
}

std::string seconds(double value)
{
    std::ostringstream text;
    text << value << " s";
    return text.str();
}

// The readout time of an image of the pair by the rules of readouttime.h, with the advice
// of the pair's option when a value cannot be used.
std::optional<ReadoutTime> pairReadoutTime(const std::string& image, const Sidecar& sidecar, PhaseEncoding direction)
{
    try {
        return imageReadoutTime(image, sidecar, direction);
    } catch (const MetadataError& error) {
        throw MetadataError(std::string(error.what()) + " Correct it or pass --readout-time SECONDS.");
    }
}

}  // namespace

bool plausibleReadoutTime(double seconds)
{
    return seconds >= kShortestReadoutTime && seconds <= kLongestReadoutTime;
}

std::string PhaseEncoding::text() const
{
    return std::string(1, axis) + (polarity < 0 ? "-" : "");
}

std::optional<PhaseEncoding> parsePhaseEncoding(const std::string& text)
{
    if (text == "i") return PhaseEncoding{'i', 1};
    if (text == "i-") return PhaseEncoding{'i', -1};
    if (text == "j") return PhaseEncoding{'j', 1};
    if (text == "j-") return PhaseEncoding{'j', -1};
    return std::nullopt;
}

std::string withoutNiftiExtension(const std::string& image)
{
    if (endsWith(image, ".nii.gz")) return image.substr(0, image.size() - 7);
    if (endsWith(image, ".nii")) return image.substr(0, image.size() - 4);
    return image;
}

std::string sidecarPath(const std::string& image)
{
    return withoutNiftiExtension(image) + ".json";
}

std::string imageStem(const std::string& image)
{
    return fileNamePart(withoutNiftiExtension(image));
}

Sidecar readSidecar(const std::string& image)
{
    Sidecar sidecar;
    sidecar.path = sidecarPath(image);
    std::error_code error;
    if (!std::filesystem::exists(sidecar.path, error)) return sidecar;
    sidecar.exists = true;
    try {
        sidecar.content = readJsonFile(sidecar.path, "sidecar");
    } catch (const JsonFileError& failure) {
        throw MetadataError(failure.what());
    }
    if (!sidecar.content.is_object()) throw MetadataError("The sidecar " + sidecar.path + " does not hold a JSON object.");
    return sidecar;
}

PairMetadata resolvePairMetadata(const std::string& first, const std::string& second, const std::string& peDirOption,
                                 std::optional<double> readoutTimeOption, const PairRoles& roles)
{
    const std::optional<PhaseEncoding> direction = parsePhaseEncoding(peDirOption);
    if (!peDirOption.empty() && !direction)
        throw MetadataError("--pe-dir expects i, i-, j or j-, got " + quoted(peDirOption) + ".");
    const Sidecar firstSidecar = readSidecar(first);
    const Sidecar secondSidecar = readSidecar(second);
    PairMetadata result;
    if (direction) {
        result.first = *direction;
        result.second = direction->opposite();
        result.firstSource = result.secondSource = "--pe-dir";
        for (const auto& [sidecar, wanted] : {std::pair{&firstSidecar, result.first}, {&secondSidecar, result.second}}) {
            const auto entry = sidecar->content.find(kDirectionKey);
            if (entry != sidecar->content.end() && !(entry->is_string() && parsePhaseEncoding(entry->get<std::string>()) == wanted))
                result.notes.push_back("--pe-dir " + peDirOption + " overrides \"" + kDirectionKey + "\": " +
                                       shown(*entry) + " of " + sidecar->path + " (taken as " + wanted.text() + ").");
        }
    } else {
        const std::string advice = "pass --pe-dir with the direction of " + roles.first + " (i, i-, j or j-).";
        result.first = *sidecarDirection(first, firstSidecar, advice);
        result.second = *sidecarDirection(second, secondSidecar, advice);
        result.firstSource = firstSidecar.path;
        result.secondSource = secondSidecar.path;
        const std::string sources = "(from " + firstSidecar.path + " and " + secondSidecar.path + ")";
        if (result.first == result.second)
            throw MetadataError(roles.first + " " + first + " and " + roles.second + " " + second + " have the same phase-encoding direction " +
                                quoted(result.first.text()) + " " + sources +
                                "; the two acquisitions must have opposite directions.");
        if (result.first.axis != result.second.axis)
            throw MetadataError(roles.first + " " + first + " and " + roles.second + " " + second + " have phase-encoding directions " +
                                quoted(result.first.text()) + " and " + quoted(result.second.text()) +
                                " along different axes " + sources +
                                "; the two acquisitions must have opposite directions along one axis.");
    }

    if (readoutTimeOption) {
        if (!plausibleReadoutTime(*readoutTimeOption))
            throw MetadataError("--readout-time expects a number of seconds from " + seconds(kShortestReadoutTime) +
                                " to " + seconds(kLongestReadoutTime) + ".");
        result.totalReadoutTime = readoutTimeOption;
        result.readoutTimeSource = "--readout-time";
        result.readoutTimeRule = "--readout-time";
        return result;
    }
    const std::optional<ReadoutTime> firstTime = pairReadoutTime(first, firstSidecar, result.first);
    const std::optional<ReadoutTime> secondTime = pairReadoutTime(second, secondSidecar, result.second);
    if (firstTime && secondTime &&
        std::abs(firstTime->seconds - secondTime->seconds) > 1e-6 * std::max(firstTime->seconds, secondTime->seconds)) {
        if (firstTime->rule == kReadoutKey && secondTime->rule == kReadoutKey)
            throw MetadataError("\"" + std::string(kReadoutKey) + "\" differs between " + firstSidecar.path + " (" +
                                seconds(firstTime->seconds) + ") and " + secondSidecar.path + " (" +
                                seconds(secondTime->seconds) + "). Correct the sidecars or pass --readout-time SECONDS.");
        throw MetadataError("The total readout time differs between " + firstSidecar.path + " (" +
                            seconds(firstTime->seconds) + ", from " + firstTime->rule + ") and " + secondSidecar.path +
                            " (" + seconds(secondTime->seconds) + ", from " + secondTime->rule +
                            "). Correct the sidecars or pass --readout-time SECONDS.");
    }
    const std::optional<ReadoutTime>& known = firstTime ? firstTime : secondTime;
    if (known) {
        result.totalReadoutTime = known->seconds;
        result.readoutTimeSource = firstTime ? firstSidecar.path : secondSidecar.path;
        result.readoutTimeRule = known->rule;
        if (known->rule != kReadoutKey)
            result.notes.push_back("The total readout time of the pair is " + seconds(known->seconds) + ", from " +
                                   known->rule + " in " + result.readoutTimeSource + ".");
    }
    if (!result.totalReadoutTime)
        result.notes.push_back("Neither " + firstSidecar.path + " nor " + secondSidecar.path + " gives \"" +
                               kReadoutKey + "\" or \"EffectiveEchoSpacing\" (or pass --readout-time SECONDS): the "
                               "field map in Hz is not written.");
    return result;
}

PhaseEncoding resolveImagePhaseEncoding(const std::string& image, const std::string& peDirOption, std::string& source)
{
    source = "--apply-pe-dir";
    if (!peDirOption.empty()) {
        const std::optional<PhaseEncoding> given = parsePhaseEncoding(peDirOption);
        if (!given) throw MetadataError("--apply-pe-dir expects i, i-, j or j-, got " + quoted(peDirOption) + ".");
        return *given;
    }
    const Sidecar sidecar = readSidecar(image);
    source = sidecar.path;
    return *sidecarDirection(image, sidecar, "pass --apply-pe-dir with its direction (i, i-, j or j-).");
}

PhaseEncoding resolveRunPhaseEncoding(const std::string& run, const std::string& peDirOption, char pairAxis)
{
    std::string source;
    const PhaseEncoding direction = resolveImagePhaseEncoding(run, peDirOption, source);
    if (direction.axis != pairAxis)
        throw MetadataError(run + " has the phase-encoding direction " + quoted(direction.text()) + " (from " + source +
                            "), but the pair was acquired along " + std::string(1, pairAxis) +
                            "; a run can be corrected only with a map along its own phase-encoding axis.");
    return direction;
}
