// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/hoststate.h"
#include "boundary/nativepath.h"
#include "boundary/sharedlibrary.h"

#include <charconv>
#include <filesystem>

HostState& hostState()
{
    static HostState state;
    return state;
}

const char* const kInstalledPluginFolder = VARNO_INSTALLED_PLUGIN_FOLDER;

std::string defaultPluginPath()
{
    const std::string executable = executablePath();
    const std::filesystem::path folder = executable.empty() ? std::filesystem::path() : pathFromText(executable).parent_path();
    const std::filesystem::path beside = folder / "plugins" / kPluginFileName;
    const std::filesystem::path installed = (folder / kInstalledPluginFolder / kPluginFileName).lexically_normal();
    std::error_code error;
    if (!std::filesystem::exists(beside, error) && std::filesystem::exists(installed, error)) return textFromPath(installed);
    return textFromPath(beside);
}

bool parseHostVersion(const std::string& text, HostVersion& version)
{
    int parts[3] = {};
    const char* position = text.data();
    const char* const end = text.data() + text.size();
    for (int index = 0; index < 3; ++index) {
        if (index > 0) {
            if (position == end || *position != '.') return false;
            ++position;
        }
        const auto [next, error] = std::from_chars(position, end, parts[index]);
        if (error != std::errc() || next == position) return false;
        position = next;
    }
    if (position != end) return false;
    version = {parts[0], parts[1], parts[2]};
    return true;
}
