// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a new FMR/STC or DMR/DWI project from volumes, as the host writes the projects
// of an axial EPI series: the header text with the keys the plug-in reads, and the data.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/volume.h"

struct ProjectLayout {
    Dimensions extent;
    int volumes = 1;
    std::array<double, 3> voxelSize{3.0, 3.0, 3.0}; // mm: columns, rows, slices
    bool diffusion = false;                         // DMR/DWI instead of FMR/STC
    bool floatData = false;                         // float voxels instead of int16
    int repetitionTime = 2000;                      // ms
    std::string firstDataSource = "phantom";
    // Slice positions and in-plane directions in scanner coordinates (mm); by default an
    // axial stack centred on the origin.
    std::array<double, 3> firstSliceCentre{};
    std::array<double, 3> lastSliceCentre{};
    std::array<double, 3> rowDirection{1.0, 0.0, 0.0};
    std::array<double, 3> columnDirection{0.0, 1.0, 0.0};
    // DMR only: per volume the gradient direction and b-value; without a table the
    // header says that no gradient information is available.
    std::vector<std::array<float, 4>> gradients;
};

// The layout's default axial slice positions for its extent and voxel size.
void centreSlices(ProjectLayout& layout);

std::string projectHeaderText(const ProjectLayout& layout, const std::string& prefix);

// Reads the header text as the project record named path and writes header and data
// through the project writer, so that the files are exactly what the plug-in reads; both
// appear once complete, or neither. int16 projects store the values truncated toward
// zero. Throws WriteFileError when a file cannot be written.
void writeProject(const std::string& path, const ProjectLayout& layout, const std::string& prefix,
                  std::vector<Volume> volumes);

// The same for layout.volumes volumes made by volume(v) in order, a few in memory at a time.
void writeProjectStreamed(const std::string& path, const ProjectLayout& layout, const std::string& prefix,
                          const std::function<Volume(int)>& volume);
