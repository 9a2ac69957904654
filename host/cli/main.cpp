// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in host: loads the plug-in as the real host does and drives it from the
// command line.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "boundary/allocator.h"
#include "boundary/hoststate.h"
#include "cli/commands.h"
#include "cli/program.h"
#include "cli/programarguments.h"
#include "cli/stopsignals.h"
#include "core/stoprequest.h"

namespace {

int usageError(const std::string& reason)
{
    std::cerr << "mindaro: " << reason << '\n'
              << "usage: mindaro " << programDeclaration().usage << "  (see: mindaro --help)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    suitAllocatorToVolumes();
    catchStopSignals();
    std::vector<std::string> arguments;
    try {
        arguments = programArguments(argc, argv);
    } catch (const UsageError& error) {
        return usageError(error.what());
    }
    HostState& state = hostState();
    state.pluginPath = defaultPluginPath();
    if (const char* version = std::getenv("MINDARO_VERSION"); version != nullptr) {
        if (!parseHostVersion(version, state.version))
            return usageError("MINDARO_VERSION must look like 3.1.0, got \"" + std::string(version) + "\"");
    }

    std::size_t index = 0;
    for (; index < arguments.size() && arguments[index].rfind("-", 0) == 0; ++index) {
        const std::string& option = arguments[index];
        if (option == "--help" || option == "-h") {
            printProgramHelp(std::cout);
            return 0;
        }
        if (option == "--version") {
            printVersion(std::cout);
            return 0;
        }
        if (option == "--plugin") {
            if (index + 1 == arguments.size()) return usageError("option --plugin needs a value (FILE)");
            state.pluginPath = arguments[++index];
        } else if (option.rfind("--plugin=", 0) == 0) {
            state.pluginPath = option.substr(9);
        } else {
            return usageError("unknown option \"" + option + "\"");
        }
    }
    if (index == arguments.size()) return usageError("no command given");

    const std::string& name = arguments[index];
    for (const CommandEntry& command : allCommands())
        if (command.declaration->name == name) {
            const int status = command.run(std::vector<std::string>(arguments.begin() + index + 1, arguments.end()));
            // A command that failed once asked to stop ends with the signal's status, also
            // where the stop surfaced as another error; one that finished keeps its 0.
            const int signal = stopSignal();
            if (signal == 0 || status == 0 || status == 128 + signal) return status;
            return reportStop(name, signal);
        }
    return usageError("unknown command \"" + name + "\"");
}
