// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI-1 and NIfTI-2 images (".nii", ".nii.gz") read into volumes and written back with
// the geometry of a reference image.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/volume.h"

// An image that cannot be read, has a form the host cannot convert, or cannot be written.
class NiftiError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the header says, without the voxel data.
struct NiftiInfo {
    Dimensions extent;                // nx, ny, nz (1 for missing axes)
    int volumes = 1;                  // nt
    std::array<double, 3> voxelSize{}; // mm
    double repetitionTime = 0.0;      // seconds between volumes; 0 when not given
    int version = 1;                  // 1 or 2
    // Voxel (i, j, k) to world millimetres: the sform when set and valid, else the qform
    // when set and valid, else the voxel sizes alone. Row-major 3 x 4.
    std::array<std::array<double, 4>, 3> voxelToWorld{};
    std::string geometrySource;  // "sform", "qform", or empty when the header gives neither
    // What the user should know about the header, one sentence each: a transform set
    // aside because it is not valid.
    std::vector<std::string> warnings;
};

// What the values of one volume hold beside numbers of a float's range.
struct VolumeValues {
    std::size_t nonFinite = 0;  // NaN or infinite voxels, kept as they are
    double largest = 0.0;       // largest magnitude of the finite values
};

struct NiftiImage {
    NiftiInfo info;
    // One volume per time point; voxel (i, j, k) at (x, y, z) = (i, j, k), scaling applied.
    std::vector<Volume> volumes;
    // Every value is a whole number within -32768..32767.
    bool fitsInt16 = true;
    // One entry per volume.
    std::vector<VolumeValues> values;
};

// True for names ending in ".nii" or ".nii.gz".
bool isNiftiName(const std::string& path);

// Both read the header with readNiftiHeader and refuse what it refuses.
NiftiInfo readNiftiInfo(const std::string& path);
// Reads a 3-D or 4-D image of real voxels; throws NiftiError, also for values that do not
// fit single precision (after the scaling), naming the largest and where it lies.
NiftiImage readNifti(const std::string& path);

// Int16WhenExact stores int16 when every value is a whole number that fits, else float.
enum class NiftiStorage { Int16WhenExact, Float32 };

// Writes volumes (all of one extent) to path (".nii" or ".nii.gz") with the reference's
// header: NIfTI version, qform, sform (those that are valid), units, orientation and
// timing, with the new extent, data type and description; no intensity scaling, so the
// stored values are the values. The volumes' extent must be the reference's. The file
// appears complete or not at all. Throws NiftiError.
void writeNiftiLike(const std::string& path, const std::vector<Volume>& volumes, NiftiStorage storage,
                    const std::string& reference, const std::string& description);
