// SPDX-License-Identifier: GPL-3.0-or-later
// The stages of "mindaro correct", shared with the dataset runs of "mindaro bids": a pair
// of NIfTI images and further runs imported as projects, the map estimated and applied
// through the plug-in, and everything exported as NIfTI beside the inputs' geometry.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/commandline.h"
#include "commands/estimatechoices.h"
#include "nifti/bidsmetadata.h"
#include "nifti/niftifile.h"
#include "report/orientation.h"
#include "report/qcpicture.h"

// One image to correct: its path, direction, grid and the names of its files on the way.
struct CorrectionRun {
    std::string image;
    PhaseEncoding direction;
    NiftiInfo grid;
    std::optional<double> readoutTime;  // seconds
    // Not on the pair's grid (or read out in another time): corrected with its own map,
    // carried over from the pair's through the field in Hz.
    bool carried = false;
    std::string project;  // FOLDER/projects/STEM.fmr
    std::string output;   // FOLDER/STEM_corrected.nii.gz
    std::string directionSource;  // the option or the sidecar that gave the direction, for the report
    std::string readoutTimeRule;  // how the readout time was found (readouttime.h); empty when not known
};

struct Correction {
    std::string ap;
    std::string pa;
    std::filesystem::path folder;
    // Where the results (corrected runs, maps, sidecars, picture) are written before they
    // are put in place under the same names in folder; empty: in folder itself.
    std::filesystem::path staging;
    EstimateChoices choices;
    PairMetadata metadata;
    std::vector<CorrectionRun> runs;  // the pair, then every further run
    LeftRightConvention convention = LeftRightConvention::Radiological;  // of the pictures
};

// The pair as the first two runs, with the pair's grid; throws when --pa does not share
// the extent of --ap.
void addPair(Correction& correction);
// Adds a further run: on the pair's grid (and read out in the pair's time, when both are
// known) it takes the map of the acquisition whose direction it shares; otherwise it is
// carried over. Throws MetadataError naming what is missing or why it cannot be corrected.
void addRun(Correction& correction, const std::string& image, PhaseEncoding direction,
            std::optional<double> readoutTime);
// A project and an output name for every run; equal stems get a counter.
void nameRuns(Correction& correction);
void nameRuns(std::vector<CorrectionRun>& runs, const std::filesystem::path& folder);

// What made the map and how the runs were undistorted, for the sidecars.
struct CorrectionMethod {
    std::string estimate;  // "precise", "standard full estimate" or "standard column-wise estimate"
    std::string note;      // why the precise estimate's map was replaced; empty otherwise
    bool intensityCorrection = false;
};

// The runs as projects in FOLDER/projects. The volumes of the pair that the map is
// estimated from must hold finite intensities the estimate can work on (throws naming
// the image); elsewhere values that are not finite are kept and reported.
void importRuns(const Correction& correction);
// Estimates the map from the pair and corrects the pair and every further run through
// the plug-in's tasks, and says which method made the map. Returns the exit status of the
// first task that failed, or 1 with the reason when the estimate gave up, else 0.
int estimateAndApply(const Correction& correction, CorrectionMethod& method);
// Every corrected run as NIfTI with the geometry of its input, and its sidecar.
void exportCorrectedRuns(const Correction& correction, const CorrectionMethod& method,
                         std::vector<std::string>& written);
// The displacement in voxels and mm, and the field in Hz when the readout time is known,
// on the grid of --ap, each with a sidecar giving its units, sign convention and method.
void exportMaps(const Correction& correction, const CorrectionMethod& method, std::vector<std::string>& written);
// The quality-control picture of the pair, FOLDER/qc.png, oriented by the sform or qform
// of --ap; and what it measured.
struct CorrectionQc {
    QcInputs inputs;
    QcResult result;
};
CorrectionQc writeQc(const Correction& correction, std::vector<std::string>& written);

// The readout time that an option gives, in seconds within the plausible range; throws
// UsageError naming the option otherwise. Nothing when the option was not given.
std::optional<double> optionalSeconds(const ParsedCommandLine& command, const std::string& option);

// Where a result named name is written: the staging folder, or the output folder itself.
std::string resultPath(const Correction& correction, const std::string& name);
// "NX x NY x NZ", as the messages and the report give an extent.
std::string extentText(const Dimensions& extent);

// "FOLDER/projects/STEM_vdm.map": the map the estimate or the carrying wrote for a project.
std::string mapPath(const std::string& project);
