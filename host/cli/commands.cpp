#include "cli/commands.h"

#include "files/filenames.h"

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
#if defined(VARNO_HOST_NIFTI)
        {&importCommand, commandImport},
        {&exportCommand, commandExport},
        {&correctCommand, commandCorrect},
        {&qcCommand, commandQc},
#endif
#if defined(VARNO_HOST_NIFTI) && !defined(_WIN32)
        {&bidsCommand(), commandBids},
        {&bidsItemCommand, commandBidsItem},
#endif
        {&taskCommand, commandTask},
    };
    return commands;
}

void requireProjectName(const std::string& path)
{
    if (!hasExtension(path, "fmr") && !hasExtension(path, "dmr"))
        throw UsageError("\"" + path + "\" is not a project: the name must end in .fmr or .dmr");
}
