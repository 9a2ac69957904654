// SPDX-License-Identifier: GPL-3.0-or-later
// ".map" files holding a voxel displacement map, as the host writes them.
//
// Byte layout (little-endian, no padding):
//   u16 kind word (format version = kind / 10000)
//   u16 slice count (0 in older files: the count is then kind % 10000)
//   u16 rows, u16 columns, u16 fifth header word, f32, f32 header floats
//   u16 version-2 word             only when the format version is 2
//   u16 next header word, u16 count word
//   i32, i32 extra integers        only when the count word is 3 or more
//   text ending in one NUL byte    at least one character
//   per slice: u16 slice word, then rows x columns f32 (x fastest)
#pragma once

#include <cstdint>
#include <string>

#include "core/volume.h"

struct VdmMapFile {
    std::string fileName;
    int kindWord = 0;
    int formatVersion = 0;
    int nz = 0;
    int ny = 0;
    int nx = 0;
    int fifthHeaderWord = 0;
    float firstHeaderFloat = 0.0f;
    float secondHeaderFloat = 0.0f;
    int version2Word = 0;
    int nextHeaderWord = 0;
    int countWord = 0;
    std::int32_t firstExtraInteger = 0;
    std::int32_t secondExtraInteger = 0;
    std::string text;
    // Displacement in voxels along y for every voxel; empty unless the data were read.
    Volume map;
};

// Reads the header and, when loadData is set, the slices. Throws OpenFileError
// "could not open file <name>" (also for a directory) and, on a short file or an empty text, ReadFileError
// "error reading from binary file".
VdmMapFile readVdmMapFile(const std::string& fileName, bool loadData);

// Why readVdmMapFile(fileName, true) fails, in words that name the file and the place
// where it ends or goes wrong; empty when the file reads.
std::string vdmMapFileProblem(const std::string& fileName);

// The map of a file for uses that need a result: ReadFileError says where the file ends
// early (vdmMapFileProblem), std::runtime_error refuses values that are not finite.
Volume readFiniteVdmMap(const std::string& fileName);

// A record ready for writeVdmMapFile: format version 2 (kind word 20000), extents from
// the map, the two header floats of a VDM (1.0 and 5.0), count word 3 and a short text.
VdmMapFile makeVdmMapFile(const std::string& fileName, Volume map);

// Writes file.map under file.fileName in the layout above: the slice count word holds
// nz, the version-2 word is written when kindWord / 10000 is 2, the extra integers when
// countWord is 3 or more, and each slice word holds the slice's index. Throws
// std::invalid_argument when a field does not fit its word, the extents are not
// 1..65535 or differ from the map's, or the text is empty or holds a NUL; throws
// WriteFileError when the file cannot be created or written.
void writeVdmMapFile(const VdmMapFile& file);
