// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "commands/threadsoption.h"
#include "dataset/itemrunner.h"
#include "nifti/jsonfile.h"

const CommandSpec bidsItemCommand{
    .name = "bids-item",
    .arguments = "ITEM.json",
    .minimumArguments = 1,
    .maximumArguments = 1,
    .summary = "one work item of \"bids\" (started by \"bids\" itself, one process per item)",
    .description = "Carries out the work item that \"mindaro bids\" wrote as ITEM.json: averages the pair's volumes,\n"
                   "estimates and applies the map, and renames the results into the output folder, the item's\n"
                   "record last. Messages go to standard output and error, which \"bids\" keeps as the item's log.",
    .options = {threadsOption()},
};

int commandBidsItem(const std::vector<std::string>& arguments)
{
    return runCommand(bidsItemCommand, arguments, [](const ParsedCommandLine& command) {
        const CommandThreads threads(requestedThreads(command));
        WorkItem item;
        try {
            item = workItemFromJson(readJsonFile(command.arguments.front(), "work item"));
            // The estimate options in the words "bids" was given, read as "correct" reads them.
            CommandSpec estimate = bidsItemCommand;
            estimate.minimumArguments = estimate.maximumArguments = 0;
            estimate.options = estimateOptionsOfCorrect();
            return runWorkItem(item, parseCorrectionChoices(parseCommandLine(estimate, item.estimateOptions)));
        } catch (const std::exception& error) {
            std::cerr << "mindaro bids-item: " << error.what() << '\n';
            if (!item.name.empty()) std::cerr << "(its work folder " << workFolderOf(item) << " is kept for a look)\n";
            return 1;
        }
    });
}
