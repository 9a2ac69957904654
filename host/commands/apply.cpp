// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <memory>
#include <set>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/stopsignals.h"
#include "commands/fileproblems.h"
#include "commands/outputlock.h"
#include "commands/threadsoption.h"
#include "files/filenames.h"
#include "files/temporaryfiles.h"

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

namespace {

// "Not written: the copies of b.fmr and c.fmr (the copies written: a_undist.fmr)." from the
// plug-in's log of the copies saved.
std::string copiesNotWritten(const std::vector<std::string>& projects)
{
    const std::vector<std::string>& log = hostState().logEntries;
    std::string missing;
    std::string written;
    for (const std::string& project : projects) {
        const std::string copy = insertSuffix(project, "_undist");
        const bool saved = std::find(log.begin(), log.end(), "Undistorted data saved as: " + copy) != log.end();
        std::string& list = saved ? written : missing;
        list += (list.empty() ? "" : ", ") + (saved ? copy : project);
    }
    if (missing.empty()) return "";
    return "Not undistorted (their copies are as they were before): " + missing + "." +
           (written.empty() ? "" : " Written: " + written + ".");
}

}  // namespace

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
        // One run at a time writes a project's copy.
        std::vector<std::unique_ptr<OutputLock>> locks;
        try {
            std::set<std::string> locked;
            for (const std::string& project : projects) {
                if (!locked.insert(projectLockPath(project)).second) continue;  // named twice
                locks.push_back(std::make_unique<OutputLock>(projectLockPath(project), "the copy of " + project));
                removeStaleTemporaries(directoryPart(project));
            }
        } catch (const std::exception& error) {
            return reportFailure("apply", error);
        }
        describeUndone([projects] { return copiesNotWritten(projects); });
        const int status = runPluginTask("apply");
        if (status == 1) explainFailedTask("apply", {map}, projects);
        return status;
    });
}
