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

std::string defaultPluginPath()
{
    const std::string executable = executablePath();
    if (executable.empty()) return textFromPath(std::filesystem::path("plugins") / kPluginFileName);
    return textFromPath(pathFromText(executable).parent_path() / "plugins" / kPluginFileName);
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
