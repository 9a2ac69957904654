// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/fileproblems.h"
#include "commands/threadsoption.h"

const CommandSpec applyCommand{
    .name = "apply",
    .arguments = "VDM PROJECT...",
    .minimumArguments = 2,
    .maximumArguments = kAnyNumber,
    .summary = "undistort projects with a saved displacement map, writing *_undist copies",
    .description =
        "VDM is a *_vdm.map file written by \"mindaro estimate\"; each PROJECT (.fmr or .dmr) gets an\n"
        "undistorted copy PROJECT_undist beside it, all volumes included.\n"
        "Apply a project's own map to it (the map of the second project of a pair is the negated\n"
        "first map). When a project's matrix differs from the map's, the map can be resized to it\n"
        "(same field of view assumed): --yes allows that, --no refuses; on a terminal you are asked.\n"
        "--intensity-correction also multiplies every corrected volume by the Jacobian of the map,\n"
        "1 + dVDM/dy along the phase encoding, which undoes the brightening of compressed and the\n"
        "darkening of stretched regions (best with maps of the precise estimate).",
    .options =
        {
            {"--lr", "", "the map was estimated with left-right phase encoding"},
            {"--intensity-correction", "", "multiply each volume by the Jacobian of the map (restores intensities)"},
            {"--yes", "", "resize the map to projects of another matrix without asking"},
            {"--no", "", "refuse projects whose matrix differs from the map's (default off a terminal)"},
            threadsOption(),
        },
};

int commandApply(const std::vector<std::string>& arguments)
{
    return runCommand(applyCommand, arguments, [](const ParsedCommandLine& command) {
        if (command.has("--yes") && command.has("--no")) throw UsageError("--yes and --no exclude each other");
        const CommandThreads threads(requestedThreads(command));
        HostState& state = hostState();
        if (command.has("--yes")) state.yesNo = YesNoAnswer::Yes;
        if (command.has("--no")) state.yesNo = YesNoAnswer::No;
        const std::string& map = command.arguments.front();
        requireProjectFilePath(map);
        state.stringParameters["vdm"] = map;
        const std::vector<std::string> projects(command.arguments.begin() + 1, command.arguments.end());
        std::string files;
        for (const std::string& project : projects) {
            requireProjectName(project);
            files += project + "\n";
        }
        state.stringParameters["files"] = files;
        state.intParameters["rllr"] = command.has("--lr");
        state.intParameters["intensity_correction"] = command.has("--intensity-correction");
        const int status = runPluginTask("apply");
        if (status == 1) explainFailedTask("apply", {map}, projects);
        return status;
    });
}
