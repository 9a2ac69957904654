#include "commands.h"

const std::vector<CommandEntry>& allCommands()
{
    static const std::vector<CommandEntry> commands{
        {&infoCommand, commandInfo},
        {&taskCommand, commandTask},
    };
    return commands;
}
