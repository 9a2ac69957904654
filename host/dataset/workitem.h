// SPDX-License-Identifier: GPL-3.0-or-later
// One unit of a dataset run: a field map (a pair of opposite phase-encoding acquisitions,
// or a gradient-echo field map), the runs it corrects and the names of everything it
// leaves in the output folder. The participant
// run writes each item as JSON and a separate "mindaro bids-item" process carries it out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// A NIfTI image of the dataset with its phase encoding and readout time.
struct ItemImage {
    std::string path;      // absolute
    std::string relative;  // below the dataset's folder, "sub-01/fmap/sub-01_dir-AP_epi.nii.gz"
    std::string phaseEncodingDirection;   // "j-"
    std::optional<double> totalReadoutTime;  // seconds
    std::vector<int> volumes;  // volumes averaged into the pair's image; empty for a run
    std::string readoutTimeRule;  // how the readout time was found (readouttime.h)
};

// An image of a gradient-echo field map.
struct ItemFieldMapImage {
    std::string role;      // "phasediff", "phase1", "phase2", "fieldmap", "magnitude1", "magnitude2", "magnitude"
    std::string path;      // absolute
    std::string relative;  // below the dataset's folder
    nlohmann::json metadata = nlohmann::json::object();  // its inherited sidecar
};

struct ItemTarget {
    ItemImage image;
    std::string why;      // "IntendedFor of sub-01/fmap/sub-01_dir-AP_epi.json"
    std::string output;   // below the output folder: "sub-01/func/sub-01_task-rest_desc-sdc_bold.nii.gz"
    std::string bval;     // diffusion runs: the gradient files to copy beside the output
    std::string bvec;
    nlohmann::json metadata = nlohmann::json::object();  // the source's inherited sidecar
    // Below the output folder: its first volume before and after the correction, beside its
    // field (SVG).
    std::string beforePicture;
    std::string afterPicture;
};

// Two targets of an item that are one run acquired in both directions, combined into one.
struct ItemCombination {
    int plus = 0;         // index of the target acquired in the direction of first
    int minus = 0;
    std::string output;   // below the output folder: the plus run's name without dir-, desc-sdc
};

struct WorkItem {
    std::string name;      // "sub-01_ses-1_fmapid-1"
    std::string subject;   // "01"
    std::string session;   // "1", or empty
    std::string method;    // "field-map pair", "diffusion b=0 pair" or "gradient-echo field map"
    std::string b0FieldIdentifier;
    // "epi" for a pair of opposite directions; the BIDS kind of a gradient-echo field map
    // ("phasediff", "phase1+phase2", "fieldmap", as fieldMapKindKey names them).
    std::string fieldMapKind = "epi";
    ItemImage first;       // a pair's: corrected with +map
    ItemImage second;      // a pair's: corrected with -map
    // A gradient-echo field map's: the phase difference, the first phase or the field,
    // then the second phase, then the magnitudes.
    std::vector<ItemFieldMapImage> fieldMapImages;
    std::vector<ItemTarget> targets;
    std::vector<ItemCombination> combinations;
    // Below the output folder.
    std::string fieldmap;  // "sub-01/fmap/sub-01_fmapid-1_desc-varno_fieldmap.nii.gz"
    std::string picture;   // "sub-01/figures/sub-01_fmapid-1_desc-qc.png": the pair, or the field over its magnitude
    std::string record;    // "sub-01/log/sub-01_fmapid-1.json", written last
    std::string log;       // "sub-01/log/sub-01_fmapid-1.log"
    std::vector<std::string> estimateOptions;  // command-line words forwarded to the estimate
    std::string datasetFolder;  // absolute
    std::string outputFolder;   // absolute

    bool pair() const { return fieldMapKind == "epi"; }
    // The outputs below the output folder, the record last.
    std::vector<std::string> outputs() const;
};

// "bids:raw:RELATIVE": an image of the raw dataset as the derivatives' sidecars name it.
std::string rawDatasetUri(const std::string& relative);

nlohmann::json toJson(const WorkItem& item);
// Throws std::runtime_error when a key is missing or of the wrong kind.
WorkItem workItemFromJson(const nlohmann::json& content);
