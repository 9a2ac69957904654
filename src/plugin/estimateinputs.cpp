// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/estimateinputs.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

[[noreturn]] void throwVolumeOutOfRange(std::uint32_t index, const std::string& path, std::size_t count)
{
    throw std::runtime_error("Cannot use volume " + std::to_string(index) + " of file " + path +
                             ", which has only " + std::to_string(count) + " volumes.");
}

std::array<double, 3> voxelSize(const ProjectHeader& header, bool rllr)
{
    const float thickness = header.SliceThickness.value + header.SliceGap.value;
    std::array<double, 3> size{header.InplaneResolutionX.value, header.InplaneResolutionY.value, thickness};
    if (rllr) std::swap(size[0], size[1]);
    return size;
}

void requireUsableVoxelSize(const ProjectHeader& header, const std::string& path)
{
    const float x = header.InplaneResolutionX.value;
    const float y = header.InplaneResolutionY.value;
    const float z = header.SliceThickness.value + header.SliceGap.value;
    const auto usable = [](float v) { return std::isfinite(v) && v > 0.0f; };
    if (usable(x) && usable(y) && usable(z)) return;
    std::ostringstream message;
    message << "Cannot estimate: the voxel size in " << path << " is not a positive number (InplaneResolutionX "
            << x << ", InplaneResolutionY " << y << ", SliceThickness + SliceGap " << z << ").";
    throw std::runtime_error(message.str());
}

