// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the fuzz targets: a scratch folder of the fuzzing process, whole-file
// writing, and the small project records that the voxel data target and the seed writer
// both build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/projectheader.h"

// A folder (in /dev/shm when there is one) made once per process and removed when it ends.
const std::string& fuzzScratchFolder();

void writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);
std::string readWholeFile(const std::string& path);

// What the first bytes of a voxel data input choose; the rest of the input is the data file.
struct VoxelDataChoice {
    bool diffusion = false;
    int nx = 0;
    int ny = 0;
    int nz = 0;
    int volumes = 0;
    int dataType = 1;
    int storageFormat = 3;
};

constexpr std::size_t kVoxelDataChoiceBytes = 7;

// Extents from -8 to 8 (negative ones included, so that their refusal is exercised too).
VoxelDataChoice decodeVoxelDataChoice(const std::uint8_t* data);
// The bytes that decodeVoxelDataChoice turns back into the choice (extents -8..8).
std::string encodeVoxelDataChoice(const VoxelDataChoice& choice);

// A record holding exactly the keys the data readers need, with Prefix "data".
FmrHeader makeFmrRecord(const VoxelDataChoice& choice, const std::string& fileName);
DmrHeader makeDmrRecord(const VoxelDataChoice& choice, const std::string& fileName);
