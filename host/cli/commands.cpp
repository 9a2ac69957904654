// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commands.h"

#include <filesystem>
#include <iostream>
#include <ios>
#include <new>

#include "cli/stopsignals.h"
#include "core/stoprequest.h"
#include "files/filenames.h"
#include "files/diskspace.h"

const std::vector<CommandEntry>& allCommands()
{
    static const std::vector<CommandEntry> commands{
        {&infoCommand, commandInfo},
        {&estimateCommand, commandEstimate},
        {&applyCommand, commandApply},
        {&combineCommand, commandCombine},
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

std::string printablePath(const std::string& path)
{
    std::string text;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            const char* const digits = "0123456789abcdef";
            text += std::string("\\x") + digits[byte >> 4] + digits[byte & 0xF];
        } else {
            text += c;
        }
    }
    return text;
}

void requirePlainPath(const std::string& path)
{
    if (path.find_first_of("\r\n") != std::string::npos)
        throw UsageError("\"" + printablePath(path) + "\" holds a line break; the plug-in's lists hold one path a "
                         "line, so it would be taken for two names. Rename the file.");
}

namespace {

void requireNoBackslash([[maybe_unused]] const std::string& path)
{
#ifndef _WIN32
    if (path.find('\\') != std::string::npos)
        throw UsageError("\"" + printablePath(path) + "\" holds a backslash, which the project files' name rules "
                         "take for a folder separator: its data file, maps and copies would be looked for under "
                         "other names. Rename the file.");
#endif
}

}  // namespace

void requireProjectName(const std::string& path)
{
    requirePlainPath(path);
    if (!hasExtension(path, "fmr") && !hasExtension(path, "dmr"))
        throw UsageError("\"" + path + "\" is not a project: the name must end in .fmr or .dmr");
    requireNoBackslash(path);
}

void requireProjectFilePath(const std::string& path)
{
    requirePlainPath(path);
    requireNoBackslash(path);
}

int reportFailure(const std::string& command, const std::exception& error)
{
    if (const auto* stop = dynamic_cast<const StopRequested*>(&error)) return reportStop(command, stop->signal());
    std::string text = error.what();
    if (const auto* failure = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        const std::string full = diskFullNote(failure->path1().string(), failure->code().value());
        text = failure->path1().string() + (full.empty() ? ": " + failure->code().message() : full);
        if (!failure->path2().empty()) text += " (with " + failure->path2().string() + ")";
    } else if (const auto* stream = dynamic_cast<const std::ios_base::failure*>(&error)) {
        text = "a file could not be read or written: " + stream->code().message();
    } else if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        text = "there is not enough memory for this input";
    }
    std::cerr << "mindaro " << command << ": " << text << '\n';
    return 1;
}
