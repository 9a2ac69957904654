// SPDX-License-Identifier: GPL-3.0-or-later
#if defined(__linux__)
#include <sys/prctl.h>

#include <csignal>
#endif
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "commands/correctfieldmap.h"
#include "commands/estimatechoices.h"
#include "commands/threadsoption.h"
#include "core/stoprequest.h"
#include "dataset/itemrunner.h"
#include "nifti/jsonfile.h"

const CommandSpec bidsItemCommand{
    .name = "bids-item",
    .arguments = "ITEM.json",
    .minimumArguments = 1,
    .maximumArguments = 1,
    .summary = "one work item of \"bids\" (started by \"bids\" itself, one process per item)",
    .description = "Carries out the work item that \"mindaro bids\" wrote as ITEM.json: averages the pair's volumes,\n"
                   "estimates and applies the map (or builds the field of a gradient-echo field map), corrects the\n"
                   "runs, and renames the results into the output folder, the item's record last. Messages go to\n"
                   "standard output and error, which \"bids\" keeps as the item's log.",
    .options = {threadsOption()},
};

int commandBidsItem(const std::vector<std::string>& arguments)
{
#if defined(__linux__)
    // A work item stops with the "bids" that started it, also when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    return runCommand(bidsItemCommand, arguments, [](const ParsedCommandLine& command) {
        const CommandThreads threads(requestedThreads(command));
        WorkItem item;
        try {
            item = workItemFromJson(readJsonFile(command.arguments.front(), "work item"));
            // The estimate options in the words "bids" was given, read as "correct" reads them.
            CommandSpec estimate = bidsItemCommand;
            estimate.minimumArguments = estimate.maximumArguments = 0;
            estimate.options = estimateOptionsOfCorrect();
            const ParsedCommandLine options = parseCommandLine(estimate, item.estimateOptions);
            ItemSettings settings;
            settings.choices = parseCorrectionChoices(options);
            settings.fieldSmoothingMm = parseFieldSmoothing(options);
            if (options.has("--neurological")) settings.convention = LeftRightConvention::Neurological;
            return runWorkItem(item, settings);
        } catch (const StopRequested&) {
            // Stopped: nothing of the item stays; the next run does it again.
            std::error_code ignored;
            if (!item.name.empty()) std::filesystem::remove_all(workFolderOf(item), ignored);
            throw;
        } catch (const std::exception& error) {
            std::cerr << "mindaro bids-item: " << error.what() << '\n';
            if (!item.name.empty()) std::cerr << "(its work folder " << workFolderOf(item) << " is kept for a look)\n";
            return 1;
        }
    });
}
