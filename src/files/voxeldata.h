// SPDX-License-Identifier: GPL-3.0-or-later
// Streamed copies of a project's voxel data: the volumes pass through memory a few at a
// time, so that a copy of a long run never holds the whole run.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/volume.h"
#include "files/projectheader.h"

// The data file that saveAs(newName) and saveTransformedAs write beside the header
// newName: its folder, its name without extension, and ".stc" for a name ending in
// ".fmr", ".dwi" for any other.
std::string savedDataFilePath(const std::string& newName);

// The data file of the project header at path, by its Prefix: ".stc" beside a name ending
// in ".fmr", ".dwi" beside any other; empty when the header cannot be read.
std::string projectDataFilePath(const std::string& path);

// Opens the data file of a record read without data, with the checks and errors of
// loadVoxelData, and closes it again.
void checkVoxelData(const FmrHeader& h);
void checkVoxelData(const DmrHeader& h);

// What saveAs writes after every volume was replaced by transform(volume), for a record
// read without data. The header and data file are written once the first volumes were
// transformed; the record is renamed as by saveAs and keeps no volumes. transform runs on
// the worker threads (see core/threadpool.h), several volumes at once.
void saveTransformedAs(FmrHeader& h, const std::string& newName, const std::function<Volume(const Volume&)>& transform);
void saveTransformedAs(DmrHeader& h, const std::string& newName, const std::function<Volume(const Volume&)>& transform);

// Calls visit(v, volume) for every volume of the data file of a record read without data,
// in order, with a few volumes in memory at a time; throws as loadVoxelData does.
void forEachVolume(const FmrHeader& h, const std::function<void(int, const Volume&)>& visit);
void forEachVolume(const DmrHeader& h, const std::function<void(int, const Volume&)>& visit);

// Writes the header of a record without data under its file name, and a data file of its
// NrOfVolumes volumes, volume(v) made in order, a few at a time: what writeWithData
// writes for those volumes, without holding them. Both files appear once complete.
void writeStreamed(FmrHeader& h, const std::function<Volume(int)>& volume);
void writeStreamed(DmrHeader& h, const std::function<Volume(int)>& volume);

// Replaces a block of volumes of the first project, cut to the slab of slices z ..
// z + slab - 1 (each piece a volume of extent nx x ny x slab), by what it combines into with
// the same pieces of the second; firstVolume is the index of the block's first volume.
using PairSlabCombine =
    std::function<void(int z, int firstVolume, std::vector<Volume>& first, std::vector<Volume>& second)>;
// What saveAs writes under newName for the record first, read without data, after every
// slab of every volume was replaced by its combination with the same slab of second (of
// the same extents and number of volumes): slab by slab (slicesAtATime slices, the last
// slab shorter), in blocks of at most volumesAtATime volumes of each. A slab of 1 slice
// streams slice by slice; a slab of NrOfSlices slices passes whole volumes. While a block is
// combined the next is read and the one before written, so three blocks are in memory at
// most. The record is renamed as by saveAs and keeps no volumes.
void saveCombinedAs(FmrHeader& first, const FmrHeader& second, const std::string& newName,
                    const PairSlabCombine& combine, int volumesAtATime, int slicesAtATime = 1);
void saveCombinedAs(DmrHeader& first, const DmrHeader& second, const std::string& newName,
                    const PairSlabCombine& combine, int volumesAtATime, int slicesAtATime = 1);
