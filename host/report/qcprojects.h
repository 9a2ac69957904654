// SPDX-License-Identifier: GPL-3.0-or-later
// The quality-control inputs of a pair of projects that "mindaro estimate --apply" has
// corrected: the inputs, their "_undist" copies and the first project's "_vdm.map".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/qcpicture.h"

struct QcPair {
    std::string first;  // project paths (.fmr or .dmr)
    std::string second;
    int firstVolume = 0;
    int secondVolume = 0;
    bool leftRight = false;  // phase encoding along x
    std::string title;
    std::string firstName;   // labels; the file names when empty
    std::string secondName;
    std::vector<VoxelIndex> object;  // where the figures are measured; see QcInputs
    // Where the voxels lie in the body; the first project's position information when
    // not given.
    std::optional<Orientation> orientation;
    LeftRightConvention convention = LeftRightConvention::Radiological;
    std::optional<double> hertzPerVoxel;  // see QcInputs
};

// FIRST_qc.png beside the first project.
std::string qcPictureName(const std::string& firstProject);

// FIRST_vdm.map beside the first project.
std::string qcMapName(const std::string& firstProject);
// What the picture of the pair reads: the two projects, their copies and the map.
std::vector<std::string> qcInputFiles(const QcPair& pair);

// Reads the pair, its copies and its map. Throws the file errors, and std::runtime_error
// when a volume is missing or the files differ in extent (naming them).
QcInputs readQcPair(const QcPair& pair);
