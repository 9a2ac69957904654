// SPDX-License-Identifier: GPL-3.0-or-later
#include <filesystem>
#include <fstream>
#include <string>

#include "files/filenames.h"
#include "plugin/distcor.h"
#include "plugin/hostapi.h"
#include "plugin/parameters.h"
#include "plugin/tasks.h"

namespace {

// A directory opens as a stream on this platform but is no project file.
bool readable(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return false;
    const std::ifstream stream(path);
    return stream.good();
}

}  // namespace

void taskCheck(distcor& plugin)
{
    std::string problems;
    for (const std::string& file : splitLines(readStringParameter("files"))) {
        if (hasExtension(file, "fmr") || hasExtension(file, "dmr")) {
            if (!readable(file)) problems += file + ": could not read file\n";
        } else {
            problems += file + ": not an FMR or DMR file\n";
        }
    }
    if (problems.empty()) {
        plugin.log("Check: OK");
    } else {
        hostApi.hsMessageBox(problems.c_str());
    }
}
