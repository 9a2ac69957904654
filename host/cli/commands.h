// SPDX-License-Identifier: GPL-3.0-or-later
// The host's commands. Each takes the arguments after its name and returns the exit
// status: 0; 1 when an error message box was shown; 2 on a usage error; 3 when the
// plug-in could not be loaded or started. Each declares its command line in a
// CommandSpec, from which parsing, usage and help are generated (see commandline.h);
// main.cpp dispatches by name through allCommands().
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "cli/commandline.h"

using CommandFunction = int (*)(const std::vector<std::string>& arguments);

struct CommandEntry {
    const CommandSpec* declaration;
    CommandFunction run;
};

// Every command, in the order in which "mindaro --help" lists them.
const std::vector<CommandEntry>& allCommands();

// Throws UsageError when a path holds a line break or a carriage return: the dialog's lists
// hold one path a line, and a project's Prefix line would be split.
void requirePlainPath(const std::string& path);
// Throws UsageError unless the path names a project: ".fmr" or ".dmr", in lower case as
// the plug-in requires (it would read any other name as a DMR header); a plain path; and,
// where "/" alone separates folders, no backslash, which the project files' name rules
// take for a folder separator, so that the data file and the copies would get other names.
void requireProjectName(const std::string& path);
// The same for a map file of any name, or a folder that holds projects.
void requireProjectFilePath(const std::string& path);
// Prints "mindaro COMMAND: " and the error on standard error, a file-system error as the
// file and the reason in plain words; returns 1, the status of a failed command. A stop
// request is reported as reportStop does, with its status.
int reportFailure(const std::string& command, const std::exception& error);

// The path with line breaks and other control characters shown as \n, \r, \xNN.
std::string printablePath(const std::string& path);

extern const CommandSpec infoCommand;
int commandInfo(const std::vector<std::string>& arguments);

extern const CommandSpec taskCommand;
int commandTask(const std::vector<std::string>& arguments);

extern const CommandSpec estimateCommand;
int commandEstimate(const std::vector<std::string>& arguments);

extern const CommandSpec applyCommand;
int commandApply(const std::vector<std::string>& arguments);

extern const CommandSpec combineCommand;
int commandCombine(const std::vector<std::string>& arguments);
extern const CommandSpec checkCommand;
int commandCheck(const std::vector<std::string>& arguments);

extern const CommandSpec selectCommand;
int commandSelect(const std::vector<std::string>& arguments);

extern const CommandSpec selectVdmCommand;
int commandSelectVdm(const std::vector<std::string>& arguments);

extern const CommandSpec simulateCommand;
int commandSimulate(const std::vector<std::string>& arguments);

extern const CommandSpec demoCommand;
int commandDemo(const std::vector<std::string>& arguments);

extern const CommandSpec importCommand;
int commandImport(const std::vector<std::string>& arguments);

extern const CommandSpec exportCommand;
int commandExport(const std::vector<std::string>& arguments);

extern const CommandSpec correctCommand;
int commandCorrect(const std::vector<std::string>& arguments);

extern const CommandSpec qcCommand;
int commandQc(const std::vector<std::string>& arguments);

// Built at its first use from its own options and the estimate options of "correct".
const CommandSpec& bidsCommand();
// The options of "correct" but those naming its inputs, outputs and their metadata.
std::vector<OptionSpec> estimateOptionsOfCorrect();
int commandBids(const std::vector<std::string>& arguments);

extern const CommandSpec bidsItemCommand;
int commandBidsItem(const std::vector<std::string>& arguments);
