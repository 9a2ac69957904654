// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "sdk/hostservices.h"

const CommandSpec taskCommand{
    .name = "task",
    .arguments = "NAME",
    .minimumArguments = 1,
    .maximumArguments = 1,
    .summary = "run one dialog step of the plug-in, exactly as its dialog runs it",
    .description = "NAME is the value of the dialog parameter \"task\": select_fmr_or_dmr, select_vdm,\n"
                   "check, estimate or apply. Log entries go to standard output, message boxes to\n"
                   "standard error. Exit status 1 when an error message was shown.",
    .options =
        {
            {"--set", "NAME=TEXT", "set a string dialog parameter", true},
            {"--set-int", "NAME=INT", "set an integer dialog parameter; flags are 0 or 1", true},
            {"--open", "PATH", "what the file-open dialog returns (default: empty, as if cancelled)"},
            {"--yes", "", "answer yes to every yes/no question"},
            {"--no", "", "answer no to every yes/no question (default when not on a terminal)"},
            {"--document", "PATH",
             "the current FMR document for the map services (default: \"file0\", else the first line of \"files\")"},
            {"--get", "NAME", "after the step, print NAME=value of a dialog parameter", true},
        },
};

namespace {

void storeParameters(const ParsedCommandLine& command, HostState& state)
{
    for (const std::string& assignment : command.values("--set")) {
        const auto [name, value] = splitAssignment("--set", assignment);
        if (value.size() >= static_cast<std::size_t>(kStringParameterBufferSize))
            throw UsageError("--set " + name + ": the value is " + std::to_string(value.size()) +
                             " bytes long; the plug-in reads at most " +
                             std::to_string(kStringParameterBufferSize - 1));
        state.stringParameters[name] = value;
    }
    for (const std::string& assignment : command.values("--set-int")) {
        const auto [name, value] = splitAssignment("--set-int", assignment);
        state.intParameters[name] = parseInteger("--set-int " + name, value);
    }
    if (command.has("--open")) {
        const std::string path = command.value("--open");
        if (path.size() >= static_cast<std::size_t>(kOpenFileNameBufferSize))
            throw UsageError("--open: the path is " + std::to_string(path.size()) +
                             " bytes long; the plug-in reads at most " + std::to_string(kOpenFileNameBufferSize - 1));
        state.openFileAnswer = path;
    }
    if (command.has("--yes") && command.has("--no")) throw UsageError("--yes and --no exclude each other");
    if (command.has("--yes")) state.yesNo = YesNoAnswer::Yes;
    if (command.has("--no")) state.yesNo = YesNoAnswer::No;
    if (command.has("--document")) state.documentPath = command.value("--document");
}

// A parameter that only the integer store holds prints as a number; any other as text.
void printParameter(const std::string& name, const HostState& state)
{
    const auto text = state.stringParameters.find(name);
    const auto number = state.intParameters.find(name);
    std::cout << name << '=';
    if (text == state.stringParameters.end() && number != state.intParameters.end())
        std::cout << number->second;
    else if (text != state.stringParameters.end())
        std::cout << text->second;
    std::cout << '\n';
}

}  // namespace

int commandTask(const std::vector<std::string>& arguments)
{
    return runCommand(taskCommand, arguments, [](const ParsedCommandLine& command) {
        HostState& state = hostState();
        storeParameters(command, state);
        const int status = runPluginTask(command.arguments.front());
        if (status == 3) return status;
        for (const std::string& name : command.values("--get")) printParameter(name, state);
        return status;
    });
}
