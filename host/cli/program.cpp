// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/program.h"

#include <algorithm>

#include "boundary/hoststate.h"
#include "boundary/sharedlibrary.h"
#include "cli/commands.h"
#include "core/version.h"

const ProgramDeclaration& programDeclaration()
{
    static const ProgramDeclaration declaration{
        .usage = "[--plugin FILE] COMMAND [arguments]",
        .summary = "stand-in host for the VARNO plug-in: EPI distortion correction from reversed phase encoding",
        .description = "Stand-in host for the VARNO plug-in. Loads the plug-in exactly as the host\n"
                       "application does and drives it from the command line.",
        .options =
            {
                {"--plugin", "FILE", std::string("load this plug-in file instead of mindaro's own ") + kPluginFileName},
                {"--version", "", "show the version and licence and exit"},
                {"--help", "", "show this help and exit"},
            },
        .environment = "MINDARO_VERSION=a.b.c sets the host version that the plug-in is told\n(default 3.1.0).",
        .files = std::string("plugins/") + kPluginFileName + " beside mindaro (in a build folder), or\n" +
                 kInstalledPluginFolder + "/" + kPluginFileName + " from mindaro's folder (installed);\n" +
                 "the plug-in's dialog script and help pages lie beside it.",
        .exitStatus = "0 done; 1 an error message was shown; 2 usage error; 3 the plug-in\n"
                      "could not be loaded or started; 130 stopped by Ctrl-C (SIGINT), 143 by SIGTERM,\n"
                      "129 by SIGHUP, after removing its temporary files (a second signal stops at once).",
    };
    return declaration;
}

void printProgramHelp(std::ostream& output)
{
    const ProgramDeclaration& program = programDeclaration();
    output << "usage: mindaro " << program.usage << "\n\n" << program.description << "\n\nCommands:\n";
    std::size_t width = 0;
    for (const CommandEntry& command : allCommands()) width = std::max(width, command.declaration->name.size());
    for (const CommandEntry& command : allCommands())
        output << "  " << command.declaration->name << std::string(width - command.declaration->name.size() + 3, ' ')
               << command.declaration->summary << '\n';
    output << "\nOptions before the command:\n";
    printOptions(program.options, output);
    output << "\n\"mindaro COMMAND --help\" describes a command.\n"
           << "Plug-in: " << program.files << '\n'
           << "Environment: " << program.environment << '\n'
           << "Exit status: " << program.exitStatus << '\n';
}

void printVersion(std::ostream& output)
{
    output << "mindaro (VARNO) " << kVarnoVersion << "\n"
           << "License " << kVarnoLicence
           << ": GNU GPL version 3 or later <https://www.gnu.org/licenses/gpl-3.0.html>.\n"
              "This is free software: you are free to change and redistribute it.\n"
              "There is NO WARRANTY, to the extent permitted by law.\n";
}
