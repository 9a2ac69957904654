// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the stand-in host keeps between the plug-in's service calls: the dialog
// parameter store, the answers that the command line gives to the plug-in's dialogs,
// and whether an error was shown.
#pragma once

#include <iostream>
#include <map>
#include <string>
#include <vector>

enum class YesNoAnswer {
    Ask,  // ask on a terminal, otherwise answer no
    Yes,
    No,
};

struct HostVersion {
    int major = 3;
    int minor = 1;
    int patch = 0;
};

struct HostState {
    std::string pluginPath;
    HostVersion version;
    // The dialog parameter store; unset parameters read as empty text or 0.
    std::map<std::string, std::string> stringParameters;
    std::map<std::string, int> intParameters;
    // The current FMR document for the map services; empty when not given.
    std::string documentPath;
    // What the file-open dialog returns.
    std::string openFileAnswer;
    YesNoAnswer yesNo = YesNoAnswer::Ask;
    // Set when a message box starting with "Error" was shown.
    bool errorShown = false;
    // What the current task did: its log entries and message boxes, and the map files the
    // host saved for it, so that a command reports only what this run wrote.
    std::vector<std::string> logEntries;
    std::vector<std::string> messages;
    std::vector<std::string> savedMaps;
    // Where log entries and message boxes appear.
    std::ostream* logOutput = &std::cout;
    std::ostream* messageOutput = &std::cerr;
};

HostState& hostState();

// Where an installed plug-in lies, relative to the installed program's folder
// ("../lib/varno/plugins").
extern const char* const kInstalledPluginFolder;

// The plug-in file that this executable loads: plugins/libvarno.so beside it
// (plugins\\varno.dll on Windows), as in a build folder or a host's installation; where that
// is missing and an installed one is there, kInstalledPluginFolder/libvarno.so.
std::string defaultPluginPath();

// Reads "a.b.c" (three integers, each may be signed); false when the text is not that.
bool parseHostVersion(const std::string& text, HostVersion& version);
