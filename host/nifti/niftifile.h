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
    // Voxel (i, j, k) to world millimetres: the sform when set, else the qform, else the
    // voxel sizes alone. Row-major 3 x 4.
    std::array<std::array<double, 4>, 3> voxelToWorld{};
    std::string geometrySource;  // "sform", "qform", or empty when the header gives neither
};

struct NiftiImage {
    NiftiInfo info;
    // One volume per time point; voxel (i, j, k) at (x, y, z) = (i, j, k), scaling applied.
    std::vector<Volume> volumes;
    // Every value is a whole number within -32768..32767.
    bool fitsInt16 = true;
};

// True for names ending in ".nii" or ".nii.gz".
bool isNiftiName(const std::string& path);

NiftiInfo readNiftiInfo(const std::string& path);
// Reads a 3-D or 4-D image of real voxels; throws NiftiError.
NiftiImage readNifti(const std::string& path);

// Int16WhenExact stores int16 when every value is a whole number that fits, else float.
enum class NiftiStorage { Int16WhenExact, Float32 };

// Writes volumes (all of one extent) to path (".nii" or ".nii.gz") with the reference's
// header: NIfTI version, qform, sform, units, orientation and timing, with the new
// extent, data type and description; no intensity scaling, so the stored values are the
// values. The volumes' extent must be the reference's. Throws NiftiError.
void writeNiftiLike(const std::string& path, const std::vector<Volume>& volumes, NiftiStorage storage,
                    const std::string& reference, const std::string& description);
