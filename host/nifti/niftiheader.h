// SPDX-License-Identifier: GPL-3.0-or-later
// The header of a NIfTI-1 or NIfTI-2 image, read and checked field by field before the
// NIfTI library reads the image: the library repairs or ignores what is wrong (an axis of
// 0 voxels becomes 1, a data offset before the header's end becomes the header's end, an
// invalid quaternion is normalised), and the image would then be read as something it is
// not. Every refusal names the field, its value and the file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nifti/niftifile.h"

struct NiftiHeader {
    int version = 1;                  // 1 or 2
    std::array<std::int64_t, 8> dim{};
    std::array<double, 8> pixdim{};
    std::int64_t voxOffset = 0;       // byte where the voxel data start
    int datatype = 0;
    int bitsPerVoxel = 0;
    // Scaling to apply: slope 0 when the values are stored as they are.
    double slope = 0.0;
    double intercept = 0.0;
    // The transforms that give a usable geometry; a code above 0 whose values are not
    // valid is taken as absent, with a warning.
    bool qformUsable = false;
    bool sformUsable = false;
    std::vector<std::string> warnings;
};

// The smallest and the largest voxel size, in mm, of an image that the host converts.
constexpr double kSmallestVoxelSizeMm = 0.001;
constexpr double kLargestVoxelSizeMm = 1000.0;

// Reads and checks the header of a ".nii" or ".nii.gz" file; throws NiftiError.
NiftiHeader readNiftiHeader(const std::string& path);

// Keeps the NIfTI library's own messages off standard error for its lifetime: the host
// reports every problem in its own words.
class LibraryMessagesSilenced {
public:
    LibraryMessagesSilenced();
    ~LibraryMessagesSilenced();
    LibraryMessagesSilenced(const LibraryMessagesSilenced&) = delete;
    LibraryMessagesSilenced& operator=(const LibraryMessagesSilenced&) = delete;

private:
    int savedError_ = -1;
};
