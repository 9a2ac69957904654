// SPDX-License-Identifier: GPL-3.0-or-later
#include "windows/windowshost.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

std::string environmentValue(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string withoutCarriageReturns(const std::string& text)
{
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    return lines;
}

}  // namespace

std::string windowsBinDir()
{
    const std::string folder = environmentValue("VARNO_WINDOWS_BIN_DIR", "");
    if (folder.empty()) throw std::runtime_error("VARNO_WINDOWS_BIN_DIR names no folder; run ./build.sh test-windows");
    return folder;
}

ProcessResult runUnderWine(const std::vector<std::string>& command, const std::string& folder,
                           const std::vector<std::string>& environment)
{
    std::vector<std::string> line{environmentValue("VARNO_WINE", "/usr/lib/wine/wine64")};
    line.insert(line.end(), command.begin(), command.end());
    std::vector<std::string> variables{"WINEDEBUG=-all"};
    variables.insert(variables.end(), environment.begin(), environment.end());
    ProcessResult result = runProcess(line, folder, variables);
    result.out = withoutCarriageReturns(result.out);
    result.err = withoutCarriageReturns(result.err);
    return result;
}

ProcessResult runWindowsHost(const std::vector<std::string>& arguments, const std::string& folder,
                             const std::vector<std::string>& environment)
{
    std::vector<std::string> command{windowsBinDir() + "/Mindaro.exe"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runUnderWine(command, folder, environment);
}

ProcessResult runLinuxHost(const std::vector<std::string>& arguments, const std::string& folder)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess(command, folder);
}

std::string driveC()
{
    const std::string prefix = environmentValue("WINEPREFIX", environmentValue("HOME", "") + "/.wine");
    return prefix + "/drive_c";
}

DriveCFolder::DriveCFolder()
{
    std::random_device seed;
    const std::string name = "varno-test-" + std::to_string(seed() % 1000000000);
    windowsFolder = "C:\\" + name;
    unixFolder = driveC() + "/" + name;
    if (!std::filesystem::create_directory(unixFolder)) throw std::runtime_error("cannot create " + unixFolder);
}

DriveCFolder::~DriveCFolder()
{
    std::error_code error;
    std::filesystem::remove_all(unixFolder, error);
}
