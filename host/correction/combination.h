// SPDX-License-Identifier: GPL-3.0-or-later
// Runs acquired in both phase-encoding directions, combined into one restored run by the
// plug-in's "combine" step: the stages that "combine", "correct --combine" and "bids"
// share.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cli/commandline.h"
#include "nifti/niftiprojects.h"

// The gradient tables of two NIfTI runs from the .bval and .bvec beside each (both empty
// when neither has them). Throws naming the files when only one run has them, or naming
// the first volume whose b-value or direction differs.
struct PairedGradients {
    GradientTable plus;
    GradientTable minus;
    std::string bval;  // those of the plus run, empty without
    std::string bvec;
};
PairedGradients requirePairedRuns(const std::string& plus, const std::string& minus, int volumes);

// "mindaro combine --plus RUN --minus RUN --map MAP|--field FIELD --out OUT", with the
// head's motion in both runs (_motion.tsv files; both empty: the copies taken as aligned).
int combineNiftiRuns(const ParsedCommandLine& command, const std::array<std::string, 2>& motion);

struct Correction;

// Two further runs of a correction that are one run acquired in both directions: their
// indexes in Correction::runs (plus: the direction of --ap, corrected with +map), the
// combined image FOLDER/STEM_combined.nii.gz (STEM of the plus run) and their gradient
// tables.
struct CombinedRuns {
    std::size_t plus = 0;
    std::size_t minus = 0;
    std::string output;
    std::string project;  // the combined project, FOLDER/projects/STEM_combined.fmr
    PairedGradients gradients;
    // The head's motion in every volume of the plus and the minus run (_motion.tsv files
    // whose rows count the runs' volumes), and what the sidecar says of it; empty when the
    // copies are taken as aligned.
    std::array<std::string, 2> motion;
    std::string motionText;
};

// Pairs the further runs of each direction in the order given, the n-th of the direction
// of --ap with the n-th of the other; throws naming the runs when the directions do not
// hold as many runs, a run is not on the pair's grid, or two paired runs do not hold the
// same volumes.
std::vector<CombinedRuns> pairRunsToCombine(const Correction& correction);
// The estimate's motion for the pairs whose runs are --ap and --pa themselves (when it
// estimated the head's motion); a note for the others, which are taken as aligned.
void useEstimatedMotion(const Correction& correction, std::vector<CombinedRuns>& pairs);
// What a combined run's sidecar says of the motion between its copies.
std::string motionBetweenCopiesText(const CombinedRuns& pair);
// Combines every pair of the correction's projects through the plug-in and exports each
// combined run with its sidecar (and the plus run's .bval and .bvec); returns the exit
// status of the first step that failed, else 0.
int combineCorrectedRuns(const Correction& correction, const std::vector<CombinedRuns>& pairs,
                         std::vector<std::string>& written);
