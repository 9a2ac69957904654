// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/fileproblems.h"
#include "files/filenames.h"

const CommandSpec checkCommand{
    .name = "check",
    .arguments = "PROJECT...",
    .minimumArguments = 1,
    .maximumArguments = kAnyNumber,
    .summary = "check that every entry is an FMR or DMR project that can be read, and say what it holds",
    .description = "Runs the dialog's check (\"Check: OK\", or one line per entry that is not an .fmr/.dmr\n"
                   "file or cannot be opened), then reads every project as estimate and apply will: the\n"
                   "header's keys, the storage format and the size of the data file. Prints one line per\n"
                   "project that can be read, and one message per problem found (exit status 1).",
    .options = {},
};

int commandCheck(const std::vector<std::string>& arguments)
{
    return runCommand(checkCommand, arguments, [](const ParsedCommandLine& command) {
        std::string files;
        for (const std::string& entry : command.arguments) {
            if (hasExtension(entry, "fmr") || hasExtension(entry, "dmr"))
                requireProjectName(entry);
            else
                requirePlainPath(entry);
            files += entry + "\n";
        }
        hostState().stringParameters["files"] = files;
        const int status = runPluginTask("check");
        if (status != 0) return status;
        // The step lists the entries it refuses in a message box; the others are read further.
        const std::vector<std::string>& boxes = hostState().messages;
        const std::string refused = boxes.empty() ? std::string() : boxes.back();
        bool problems = !boxes.empty();
        for (const std::string& entry : command.arguments) {
            if (!(hasExtension(entry, "fmr") || hasExtension(entry, "dmr"))) continue;
            if (refused.find(entry + ": ") != std::string::npos) continue;
            if (const auto problem = projectProblem(entry)) {
                std::cerr << "mindaro check: " << problem->text << '\n';
                problems = true;
            } else {
                std::cout << projectSummary(entry) << '\n';
            }
        }
        return problems ? 1 : 0;
    });
}
