// SPDX-License-Identifier: GPL-3.0-or-later
#include <array>
#include <optional>
#include <string>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/stopsignals.h"
#include "commands/fileproblems.h"
#include "commands/outputlock.h"
#include "commands/threadsoption.h"
#include "files/filenames.h"
#include "files/temporaryfiles.h"
#if defined(VARNO_HOST_NIFTI)
#include "correction/combination.h"
#endif

const CommandSpec combineCommand{
    .name = "combine",
    .arguments = "[PLUS MINUS]",
    .minimumArguments = 0,
    .maximumArguments = 2,
    .summary = "one restored run from a run acquired in both phase-encoding directions, by least squares",
    .description =
        "For runs acquired twice, once with each phase-encoding direction (every volume as an AP and a PA\n"
        "copy), finds for every pair of volumes the one undistorted volume that explains both copies: per\n"
        "line along the phase encoding, the least-squares solution of both copies' distortion models with a\n"
        "small penalty on the differences between neighbours. Where the field compresses one copy, the\n"
        "other copy is stretched and keeps the detail that the Jacobian correction of the compressed copy\n"
        "alone cannot restore. Where the field is mild the two intensity-corrected copies agree, and their\n"
        "mean is used instead, which averages the noise: the restoration counts fully within a few rows of\n"
        "a slope of the map of 0.3 voxel per voxel or more, not at all where the slope stays below 0.1,\n"
        "blended smoothly in between. Values below 0 are clipped to 0.\n"
        "The two copies are taken as aligned unless --plus-motion and --minus-motion give the head's\n"
        "motion in both runs (the _motion.tsv files that \"mindaro estimate --precise --motion\" wrote for\n"
        "them, or motion_ap.tsv and motion_pa.tsv of \"mindaro correct --motion\"): every volume of the\n"
        "minus run is then moved into the frame of the same volume of the plus run, and the map with the\n"
        "head, before the two are combined; a volume without a row in its file takes the file's first row.\n"
        "Projects: PLUS and MINUS are .fmr (or .dmr) projects of the same extent and volumes, PLUS the one\n"
        "that --map corrects with +map (its *_vdm.map from \"mindaro estimate\"); writes PLUS_combined beside\n"
        "PLUS (a DMR keeps the gradient table of PLUS).\n"
        "NIfTI: --plus and --minus are the two runs (.nii or .nii.gz), their directions from the BIDS\n"
        "sidecars (\"PhaseEncodingDirection\") or --pe-dir; --map is the displacement of --plus in voxels on\n"
        "its grid (displacement_voxels.nii.gz of \"mindaro correct\"), or --field the field in Hz\n"
        "(field_hz.nii.gz), turned into the displacement of --plus with the readout time of the sidecars\n"
        "(\"TotalReadoutTime\") or --readout-time and carried into the runs' grid when it lies on another.\n"
        "Diffusion runs bring their .bval and .bvec beside them; the volumes must match in b-value and\n"
        "direction, and OUT gets those of --plus. Writes OUT and its sidecar OUT.json.",
    .options =
        {
            {"--map", "MAP", "the map of PLUS (.map) or of --plus (displacement in voxels, .nii or .nii.gz)"},
            {"--field", "FIELD_HZ", "instead of --map: the field in Hz (.nii or .nii.gz)"},
            {"--plus", "RUN", "NIfTI run corrected with +map"},
            {"--minus", "RUN", "NIfTI run of the opposite direction, corrected with -map"},
            {"--out", "OUT", "the combined NIfTI run (.nii or .nii.gz)"},
            {"--pe-dir", "i|i-|j|j-", "phase-encoding direction of --plus; --minus takes the opposite"},
            {"--readout-time", "SECONDS", "total readout time of the runs (0.001 to 1), for --field"},
            {"--lr", "", "projects: the map was estimated with left-right phase encoding"},
            {"--plus-motion", "TSV", "the head's motion in every volume of the plus run (_motion.tsv)"},
            {"--minus-motion", "TSV", "the head's motion in every volume of the minus run (_motion.tsv)"},
            threadsOption(),
        },
};

namespace {

// The motion files of both runs (both or neither), empty without them.
std::array<std::string, 2> motionOptions(const ParsedCommandLine& command)
{
    if (command.has("--plus-motion") != command.has("--minus-motion"))
        throw UsageError("give the head's motion in both runs: --plus-motion and --minus-motion");
    if (!command.has("--plus-motion")) return {};
    for (const char* option : {"--plus-motion", "--minus-motion"}) requirePlainPath(command.value(option));
    return {command.value("--plus-motion"), command.value("--minus-motion")};
}

int combineProjects(const ParsedCommandLine& command, const std::array<std::string, 2>& motion)
{
    if (command.arguments.size() != 2) throw UsageError("give the two projects PLUS MINUS, or --plus and --minus");
    for (const char* option : {"--plus", "--minus", "--out", "--field", "--pe-dir", "--readout-time"})
        if (command.has(option)) throw UsageError(std::string(option) + " belongs to the NIfTI form, not to projects");
    if (!command.has("--map")) throw UsageError("--map PLUS_vdm.map is required");
    const std::string& plus = command.arguments[0];
    const std::string& minus = command.arguments[1];
    const std::string map = command.value("--map");
    requireProjectName(plus);
    requireProjectName(minus);
    requireProjectFilePath(map);
    HostState& state = hostState();
    state.stringParameters["file0"] = plus;
    state.stringParameters["file1"] = minus;
    state.stringParameters["vdm"] = map;
    state.stringParameters["combine_motion0"] = motion[0];
    state.stringParameters["combine_motion1"] = motion[1];
    state.intParameters["rllr"] = command.has("--lr");
    // One run at a time writes a combined copy; what a killed run left beside it goes.
    const std::string output = insertSuffix(plus, "_combined");
    std::optional<OutputLock> lock;
    try {
        lock.emplace(projectLockPath(output), "the combined copy of " + plus);
        removeStaleTemporaries(directoryPart(plus));
    } catch (const std::exception& error) {
        return reportFailure("combine", error);
    }
    describeUndone([output] { return output + " was not written (what was there before is as it was)."; });
    const int status = runPluginTask("combine");
    if (status == 1) explainFailedTask("combine", {map}, {plus, minus});
    return status;
}

}  // namespace

int commandCombine(const std::vector<std::string>& arguments)
{
    return runCommand(combineCommand, arguments, [](const ParsedCommandLine& command) {
        const CommandThreads threads(requestedThreads(command));
        const std::array<std::string, 2> motion = motionOptions(command);
        if (!command.arguments.empty()) return combineProjects(command, motion);
#if defined(VARNO_HOST_NIFTI)
        if (command.has("--lr")) throw UsageError("--lr belongs to projects; NIfTI runs give their direction");
        return combineNiftiRuns(command, motion);
#else
        throw UsageError("this build reads no NIfTI images: give the two projects PLUS MINUS");
#endif
    });
}
