// SPDX-License-Identifier: GPL-3.0-or-later
// The stages of a correction with a gradient-echo field map (a phase difference, two
// phases or a field map), shared by "mindaro correct" and the dataset runs of "mindaro
// bids": the field built once, carried into every run's grid through world coordinates
// and turned into that run's displacement with its own phase encoding and readout time,
// each run corrected through the plug-in's apply step, and everything exported with the
// geometry of its input.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "correction/correction.h"
#include "correction/fieldmapbuild.h"
#include "correction/runreport.h"
#include "nifti/readouttime.h"

// A run is corrected only when this much of its head lies on the field map, within this
// margin of the head in the field map's magnitude.
constexpr double kLeastFieldCoverage = 0.9;
constexpr double kCoverageMarginMm = 10.0;

class FieldCoverageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FieldMapCorrection {
    FieldMapInputs inputs;
    FieldMapSettings settings;
    std::filesystem::path folder;   // the projects go to folder/projects
    std::filesystem::path staging;  // where results are written before they are put in place; empty: folder
    bool intensityCorrection = true;
    std::vector<CorrectionRun> runs;  // every one carried from the field, its readout time known
    LeftRightConvention convention = LeftRightConvention::Radiological;
};

// A run to correct with the field, along its own axis and with its own readout time.
CorrectionRun fieldMapRun(const std::string& image, PhaseEncoding direction, const std::string& directionSource,
                          const ReadoutTime& readout);

// Imports the run as its project, carries the field into its grid, writes its map and
// corrects it through the plug-in; keeps its first volume and displacement in result.
// Throws FieldCoverageError naming the run when less than kLeastFieldCoverage of its head
// lies on the field map, before anything of it is written. Returns the apply step's exit
// status.
int correctRunWithField(const FieldMapCorrection& correction, const FieldMap& map, const CorrectionRun& run,
                        CorrectedRun& result);

// The field in Hz as name (a .nii.gz below the output folder, written in the staging
// folder) with the geometry of the image it was measured on, and its sidecar: what it is
// made of and how, plus extra.
void exportField(const FieldMapCorrection& correction, const FieldMap& map, const std::string& name,
                 const nlohmann::json& extra, std::vector<std::string>& written);
// The corrected run (run.output) and its displacement in voxels (run.output with
// "_corrected" replaced by "_displacement_voxels"), each with its sidecar; fieldName is how
// the sidecars name the field. Keeps the corrected first volume in result.after.
void exportFieldMapRun(const FieldMapCorrection& correction, const FieldMap& map, const CorrectionRun& run,
                       CorrectedRun& result, const std::string& fieldName, std::vector<std::string>& written);
// run.output's displacement map: STEM_displacement_voxels.nii.gz beside it.
std::string displacementOutput(const CorrectionRun& run);

// What the field's sidecar says of how it was made.
nlohmann::json fieldDescription(const FieldMap& map);
