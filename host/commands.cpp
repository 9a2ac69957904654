#include "commands.h"

const std::vector<CommandEntry>& allCommands()
{
    static const std::vector<CommandEntry> commands{
        {&infoCommand, commandInfo},
        {&estimateCommand, commandEstimate},
        {&applyCommand, commandApply},
        {&checkCommand, commandCheck},
        {&selectCommand, commandSelect},
        {&selectVdmCommand, commandSelectVdm},
        {&simulateCommand, commandSimulate},
        {&demoCommand, commandDemo},
        {&importCommand, commandImport},
        {&exportCommand, commandExport},
        {&correctCommand, commandCorrect},
        {&qcCommand, commandQc},
        {&taskCommand, commandTask},
    };
    return commands;
}
