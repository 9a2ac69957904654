#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"

const CommandSpec checkCommand{
    .name = "check",
    .arguments = "PROJECT...",
    .minimumArguments = 1,
    .maximumArguments = kAnyNumber,
    .summary = "check that every entry is an FMR or DMR project that can be opened",
    .description = "Prints \"Check: OK\", or one line per entry that is not an .fmr/.dmr file or cannot be\n"
                   "opened (exit status 1).",
    .options = {},
};

int commandCheck(const std::vector<std::string>& arguments)
{
    return runCommand(checkCommand, arguments, [](const ParsedCommandLine& command) {
        std::string files;
        for (const std::string& project : command.arguments) files += project + "\n";
        hostState().stringParameters["files"] = files;
        const int status = runPluginTask("check");
        // The step lists its problems in a message box; the command fails with them.
        return status == 0 && hostState().messagesShown > 0 ? 1 : status;
    });
}
