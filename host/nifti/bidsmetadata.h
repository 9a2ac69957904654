// SPDX-License-Identifier: GPL-3.0-or-later
// Phase-encoding direction and total readout time of NIfTI images from their BIDS JSON
// sidecars (IMAGE.json beside IMAGE.nii[.gz]) or from the command line. Missing or
// contradictory metadata is an error that names the key and the option that gives it.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class MetadataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The total readout times, in seconds, taken as physical: outside them a value is a typo,
// another unit, or one that would turn the field map into values that are not finite.
constexpr double kShortestReadoutTime = 0.001;
constexpr double kLongestReadoutTime = 1.0;
bool plausibleReadoutTime(double seconds);

struct PhaseEncoding {
    char axis = 'j';   // 'i' (x, left-right) or 'j' (y, anterior-posterior)
    int polarity = 1;  // +1 for "j", -1 for "j-"

    std::string text() const;  // "j", "j-", "i", "i-"
    PhaseEncoding opposite() const { return {axis, -polarity}; }
    friend bool operator==(const PhaseEncoding&, const PhaseEncoding&) = default;
};

// "i", "i-", "j" or "j-"; nothing otherwise.
std::optional<PhaseEncoding> parsePhaseEncoding(const std::string& text);

// IMAGE.json for IMAGE.nii or IMAGE.nii.gz.
std::string sidecarPath(const std::string& image);
// IMAGE for IMAGE.nii or IMAGE.nii.gz, folder kept.
std::string withoutNiftiExtension(const std::string& image);
// The image's name without ".nii" or ".nii.gz" and without its folder.
std::string imageStem(const std::string& image);

struct Sidecar {
    std::string path;
    bool exists = false;
    nlohmann::json content = nlohmann::json::object();
};

// Reads the sidecar when there is one; throws MetadataError when it is not a JSON object.
Sidecar readSidecar(const std::string& image);

struct PairMetadata {
    PhaseEncoding first;   // of --ap, corrected with +map
    PhaseEncoding second;  // of --pa, corrected with -map
    std::optional<double> totalReadoutTime;  // seconds
    // Where each came from: "--pe-dir", "--readout-time" or the sidecar's path; the
    // readout time's source is empty when it is not known.
    std::string firstSource;
    std::string secondSource;
    std::string readoutTimeSource;
    // How the readout time was found: "--readout-time", "TotalReadoutTime" or the echo
    // spacing times the rows (readouttime.h).
    std::string readoutTimeRule;
    std::vector<std::string> notes;          // what the user should know, one line each
};

// How the messages name the two images of a pair: the options that gave them.
struct PairRoles {
    std::string first = "--ap";
    std::string second = "--pa";
};

// The pair's phase encoding from --pe-dir (the first image's direction, the second
// taking the opposite) or the two sidecars, and the readout time from --readout-time or
// the sidecars. Empty or absent options mean "from the sidecars".
PairMetadata resolvePairMetadata(const std::string& first, const std::string& second, const std::string& peDirOption,
                                 std::optional<double> readoutTimeOption, const PairRoles& roles = {});

// The phase encoding of a run from --apply-pe-dir or its sidecar, and which of the two
// gave it.
PhaseEncoding resolveImagePhaseEncoding(const std::string& image, const std::string& peDirOption, std::string& source);
// The same for a further run of a pair; it must lie along the pair's axis.
PhaseEncoding resolveRunPhaseEncoding(const std::string& run, const std::string& peDirOption, char pairAxis);
