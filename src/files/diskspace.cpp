// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/diskspace.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Less than this left after a failed write counts as full: a write fails for lack of
// space only once the space is all but used up.
constexpr std::uintmax_t kAlmostNothing = std::uintmax_t{64} << 10;

std::string bytesText(std::uintmax_t bytes)
{
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1000.0 && unit < 3) {
        value /= 1000.0;
        ++unit;
    }
    const long tenths = static_cast<long>(value * 10.0 + 0.5);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + units[unit];
}

}  // namespace

std::string diskFullNote(const std::string& path, int error)
{
#if defined(EDQUOT)
    if (error == EDQUOT) return ": the disk quota is exceeded";
#endif
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code failed;
    const fs::space_info space = fs::space(folder, failed);
    const bool known = !failed && space.available != static_cast<std::uintmax_t>(-1);
    if (!known) return error == ENOSPC ? ": the disk is full" : "";
    // A device that takes no bytes (/dev/full) answers as a full disk does, with room
    // left on the disk: that is no full disk.
    if (space.available >= kAlmostNothing) return "";
    return ": the disk is full (" + bytesText(space.available) + " free on the file system of " + folder.string() + ")";
}
