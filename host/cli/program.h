// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own command line, declared once: what comes before the command, and what
// "mindaro --help", "mindaro --version" and the manual page mindaro(1) say about it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/commandline.h"

struct ProgramDeclaration {
    std::string usage;        // after "mindaro": "[--plugin FILE] COMMAND [arguments]"
    std::string summary;      // one line: what the program is
    std::string description;  // paragraphs, lines broken as "--help" shows them
    std::vector<OptionSpec> options;  // those before the command
    std::string environment;
    std::string files;        // where the plug-in is looked for
    std::string exitStatus;
};

const ProgramDeclaration& programDeclaration();

void printProgramHelp(std::ostream& output);
// The version and licence, as "mindaro --version" prints them.
void printVersion(std::ostream& output);
