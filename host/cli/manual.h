// SPDX-License-Identifier: GPL-3.0-or-later
// The manual pages (roff with the man macros) and the bash completion of mindaro, made
// from the same declarations as "--help", so that they say what the program does.
#pragma once

#include <string>
#include <vector>

#include "cli/commandline.h"
#include "cli/program.h"

struct ManualPage {
    std::string fileName;  // "mindaro-correct.1"
    std::string text;
};

// mindaro.1 for the program, then mindaro-NAME.1 for each command.
std::vector<ManualPage> manualPages(const ProgramDeclaration& program, const std::vector<const CommandSpec*>& commands,
                                    const std::string& version);

// A bash completion script for mindaro: its options, the commands, each command's options and
// the words of options that take one of a few ("--order 0|1|2"); file names elsewhere.
std::string bashCompletion(const ProgramDeclaration& program, const std::vector<const CommandSpec*>& commands);
