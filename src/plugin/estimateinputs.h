// SPDX-License-Identifier: GPL-3.0-or-later
// What the estimate task takes from its projects: the volume size and the volumes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/projectheader.h"

[[noreturn]] void throwVolumeOutOfRange(std::uint32_t index, const std::string& path, std::size_t count);

// The voxel size of the first project, with x and y exchanged for left-right data.
std::array<double, 3> voxelSize(const ProjectHeader& header, bool rllr);

// Smoothing widths and map smoothing divide by the voxel size: a header without it (for
// example one cut short before "InplaneResolutionX:") would give an infinite width and a
// map of zeros reported as a result. Throws std::runtime_error naming the path.
void requireUsableVoxelSize(const ProjectHeader& header, const std::string& path);
