// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/terminal.h"
#include "commands/fileproblems.h"
#include "files/filenames.h"

const CommandSpec selectCommand{
    .name = "select",
    .arguments = "[PATH]",
    .minimumArguments = 0,
    .maximumArguments = 1,
    .summary = "show what the dialog learns when a project is chosen: path, volumes, volume to show",
    .description = "Runs the project selection step with PATH as the file dialog's answer (asked for on a\n"
                   "terminal when not given) and prints filename, nr_of_volumes and display_volume\n"
                   "(counted from 1). Only names ending in .fmr or .dmr are read.",
    .options = {},
};

const CommandSpec selectVdmCommand{
    .name = "select-vdm",
    .arguments = "[PATH]",
    .minimumArguments = 0,
    .maximumArguments = 1,
    .summary = "show what the dialog learns when a displacement map is chosen",
    .description = "Runs the map selection step with PATH as the file dialog's answer (asked for on a\n"
                   "terminal when not given) and prints filename.",
    .options = {},
};

namespace {

// The file dialog's answer: the argument, or a line typed on a terminal.
std::string chosenPath(const ParsedCommandLine& command, const char* prompt)
{
    if (!command.arguments.empty()) return command.arguments.front();
    std::string path;
    if (inputIsTerminal()) {
        std::cerr << prompt << std::flush;
        std::getline(std::cin, path);
    }
    return path;
}

void printParameters(std::initializer_list<const char*> names)
{
    const HostState& state = hostState();
    for (const char* name : names) {
        std::cout << name << '=';
        if (const auto text = state.stringParameters.find(name); text != state.stringParameters.end())
            std::cout << text->second;
        else if (const auto number = state.intParameters.find(name); number != state.intParameters.end())
            std::cout << number->second;
        std::cout << '\n';
    }
}

int runSelection(const ParsedCommandLine& command, const char* prompt, const char* task,
                 std::initializer_list<const char*> results)
{
    const std::string path = chosenPath(command, prompt);
    hostState().openFileAnswer = path;
    const int status = runPluginTask(task);
    if (status == 0) printParameters(results);
    if (status == 1 && (hasExtension(path, "fmr") || hasExtension(path, "dmr"))) explainFailedTask("select", {}, {path});
    return status;
}

}  // namespace

int commandSelect(const std::vector<std::string>& arguments)
{
    return runCommand(selectCommand, arguments, [](const ParsedCommandLine& command) {
        return runSelection(command, "Please select an FMR or DMR project: ", "select_fmr_or_dmr",
                            {"filename", "nr_of_volumes", "display_volume"});
    });
}

int commandSelectVdm(const std::vector<std::string>& arguments)
{
    return runCommand(selectVdmCommand, arguments, [](const ParsedCommandLine& command) {
        return runSelection(command, "Please select a VDM: ", "select_vdm", {"filename"});
    });
}
