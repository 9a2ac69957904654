// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <iostream>
#include <memory>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/stopsignals.h"
#include "commands/estimatechoices.h"
#include "commands/fileproblems.h"
#include "commands/inplaceoutputs.h"
#include "commands/outputlock.h"
#include "commands/threadsoption.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/temporaryfiles.h"
#include "files/voxeldata.h"

const CommandSpec estimateCommand{
    .name = "estimate",
    .arguments = "FIRST SECOND",
    .minimumArguments = 2,
    .maximumArguments = 2,
    .summary = "estimate the displacement map of an opposite phase-encoding pair and save it beside both",
    .description =
        "FIRST and SECOND are FMR or DMR projects of the same extent acquired with opposite\n"
        "phase-encoding polarity (for example AP and PA). FIRST is corrected with +VDM, SECOND with\n"
        "-VDM. Writes FIRST_vdm.map and SECOND_vdm.map beside the projects (and *_vdmderiv.map with\n"
        "--derivative, *_undist copies with --apply). The full estimate refines the column-wise\n"
        "estimate in four levels and compares the pair by NCC unless --ssd is given.\n"
        "--precise models the physics instead: the map under which both projects, each corrected\n"
        "with its change of intensity, agree best under a smooth field. It is checked against the\n"
        "full estimate (with --ssd, --ic and --order as given; first at half resolution across\n"
        "the phase-encoding lines and then refined across the slices, which settles most spin-echo\n"
        "pairs), whose map is kept instead when the pair does not follow the spin-echo model of\n"
        "intensities (gradient-echo pairs).",
    .options =
        {
            {"--volumes", "K0 K1",
             "volumes to use from FIRST and SECOND, counted from 0 (default 0 0), or lists such as 0,1,2 or all "
             "(--precise)",
             false, 2},
            {"--motion", "", "estimate the head's motion between the volumes with the field (--precise); writes "
                             "FIRST_motion.tsv and SECOND_motion.tsv"},
            {"--realign", "", "with --motion and --apply: the copies moved back to the first volume of FIRST"},
            {"--lr", "", "phase encoding runs left-right (x) instead of anterior-posterior (y)"},
            {"--ssd", "", "compare by mean squared difference instead of normalised cross-correlation"},
            {"--ic", "", "modulate the intensities by the stretch of the current map while estimating"},
            {"--fast", "", "only the column-wise estimate (much faster, less detailed)"},
            {"--precise", "", "the physically modelled estimate (most accurate on spin-echo pairs)"},
            {"--order", "0|1|2", "smoothing of the inputs: 0 Gaussian (default), 1 or 2 its derivative"},
            {"--apply", "", "write undistorted *_undist copies of both projects"},
            {"--intensity-correction", "", "multiply the copies by the Jacobian of the map (restores intensities)"},
            {"--derivative", "", "also save the maps' derivatives along the phase encoding"},
            threadsOption(),
        },
};

namespace {

std::string mapName(const std::string& project)
{
    return insertSuffix(replaceExtension(project, "map"), "_vdm");
}

std::string derivativeName(const std::string& project)
{
    return insertSuffix(replaceExtension(project, "map"), "_vdmderiv");
}

bool isInputOf(const std::string& path, const std::vector<std::string>& projects)
{
    for (const std::string& project : projects)
        for (const std::string& input : {project, projectDataFilePath(project)})
            if (!input.empty() && sameFile(path, input)) return true;
    return false;
}

bool saved(const std::string& map)
{
    const std::vector<std::string>& maps = hostState().savedMaps;
    return std::find(maps.begin(), maps.end(), map) != maps.end();
}

}  // namespace

int commandEstimate(const std::vector<std::string>& arguments)
{
    return runCommand(estimateCommand, arguments, [](const ParsedCommandLine& command) {
        HostState& state = hostState();
        const CommandThreads threads(requestedThreads(command));
        const std::string& first = command.arguments[0];
        const std::string& second = command.arguments[1];
        requireProjectName(first);
        requireProjectName(second);
        // The second map would overwrite the first, and the second copy the first.
        if (sameFile(mapName(first), mapName(second)))
            throw UsageError("FIRST and SECOND must be two different projects: both maps would be saved as " +
                             mapName(first));
        if (command.has("--intensity-correction") && !command.has("--apply"))
            throw UsageError("--intensity-correction applies to the undistorted copies: add --apply");
        state.stringParameters.erase("estimate_method");
        state.stringParameters["file0"] = first;
        state.stringParameters["file1"] = second;

        const EstimateChoices choices = parseEstimateChoices(command);
        requirePreciseForVolumes(choices);
        if (choices.realign && !command.has("--apply")) throw UsageError("--realign applies to the copies: add --apply");
        storeEstimateChoices(choices, state);
        state.intParameters["rllr"] = command.has("--lr");
        state.intParameters["apply_to_input"] = command.has("--apply");
        state.intParameters["save_derivative"] = command.has("--derivative");

        // The maps and copies of both projects are written together or not at all, and by
        // one run at a time.
        std::vector<std::unique_ptr<OutputLock>> locks;
        InPlaceOutputs outputs(InPlaceOutputs::Undo::NewFilesBesideEarlierOnes);
        try {
            std::vector<std::string> written;
            for (const std::string& project : {first, second}) {
                locks.push_back(std::make_unique<OutputLock>(projectLockPath(project), "the map and copy of " + project));
                removeStaleTemporaries(directoryPart(project));
                written.push_back(mapName(project));
                if (command.has("--derivative")) written.push_back(derivativeName(project));
                if (command.has("--apply"))
                    written.insert(written.end(), {insertSuffix(project, "_undist"),
                                                   savedDataFilePath(insertSuffix(project, "_undist"))});
            }
            // An output that is an input stays where it is: the plug-in refuses it itself.
            for (const std::string& output : written)
                if (!isInputOf(output, {first, second})) outputs.add(output);
        } catch (const std::exception& error) {
            return reportFailure("estimate", error);
        }
        describeUndone([] { return "Nothing was written: the maps and copies are as they were before."; });
        const int status = runPluginTask("estimate");
        if (status != 0) {
            if (status == 1) explainFailedTask("estimate", {}, {first, second});
            return status;
        }
        if (const int gaveUp = requireMapsSaved("estimate"); gaveUp != 0) return gaveUp;
        outputs.finish();
        if (command.has("--precise"))
            std::cout << (state.stringParameters["estimate_method"] == "precise"
                              ? "Method:           precise estimate\n"
                              : "Method:           standard estimate (the pair failed the precise estimate's check)\n");
        // Only what this run wrote: the maps the host saved for it, and the copies that
        // follow them.
        for (const std::string& project : {first, second}) {
            if (saved(mapName(project))) std::cout << "Map:              " << mapName(project) << '\n';
            const std::string motion = insertSuffix(replaceExtension(project, "tsv"), "_motion");
            if (command.has("--motion")) std::cout << "Motion:           " << motion << '\n';
            const std::string derivative = derivativeName(project);
            if (saved(derivative)) std::cout << "Derivative map:   " << derivative << '\n';
            if (command.has("--apply")) std::cout << "Undistorted copy: " << insertSuffix(project, "_undist") << '\n';
        }
        return status;
    });
}
