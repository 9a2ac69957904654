// The quality-control picture of a pair of projects that "mindaro estimate --apply" has
// corrected: the inputs, their "_undist" copies and the first project's "_vdm.map".
#pragma once

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
    std::string firstName;   // column labels; the file names when empty
    std::string secondName;
    std::vector<VoxelIndex> object;  // where the agreement is measured; see QcInputs
};

// FIRST_qc.png beside the first project.
std::string qcPictureName(const std::string& firstProject);

// FIRST_vdm.map beside the first project.
std::string qcMapName(const std::string& firstProject);
// What the picture of the pair reads: the two projects, their copies and the map.
std::vector<std::string> qcInputFiles(const QcPair& pair);

// Reads the pair, its copies and its map (in mm: voxels times the voxel size along the
// phase-encoding axis) and writes the picture. Throws the file errors, std::runtime_error
// when a volume is missing or the files differ in extent (naming them), and those of
// writeQcPicture.
QcPicture writePairQcPicture(const QcPair& pair, const std::string& path);
