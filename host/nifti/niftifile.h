// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI-1 and NIfTI-2 images (".nii", ".nii.gz") read into volumes and written back with
// the geometry of a reference image.
#pragma once

#include <array>
#include <memory>
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
    // Every value is known from the header to be a whole number within -32768..32767: 8-bit
    // or signed 16-bit voxels without scaling.
    bool storedAsInt16 = false;
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

// Reads an image volume by volume, as readNifti does, with one volume in memory at a time.
// Throws what readNifti throws, the errors of the voxel data at the volume that shows them.
class NiftiVolumeReader {
public:
    explicit NiftiVolumeReader(const std::string& path);
    ~NiftiVolumeReader();
    NiftiVolumeReader(const NiftiVolumeReader&) = delete;
    NiftiVolumeReader& operator=(const NiftiVolumeReader&) = delete;

    const NiftiInfo& info() const { return info_; }
    // The next volume, scaling applied.
    Volume next();
    // Of the volumes read so far: what each holds, and whether every value is a whole
    // number within -32768..32767.
    const std::vector<VolumeValues>& values() const { return values_; }
    bool fitsInt16() const { return fitsInt16_; }

private:
    struct Source;
    NiftiError endsEarly() const;

    std::string path_;
    NiftiInfo info_;
    std::unique_ptr<Source> source_;
    std::vector<VolumeValues> values_;
    bool fitsInt16_ = true;
};

// Int16WhenExact stores int16 when every value is a whole number that fits, else float.
enum class NiftiStorage { Int16WhenExact, Float32 };

// Writes volumes (all of one extent) to path (".nii" or ".nii.gz") with the reference's
// header: NIfTI version, qform, sform (those that are valid), units, orientation and
// timing, with the new extent, data type and description; no intensity scaling, so the
// stored values are the values. The volumes' extent must be the reference's. The file
// appears complete or not at all. Throws NiftiError.
void writeNiftiLike(const std::string& path, const std::vector<Volume>& volumes, NiftiStorage storage,
                    const std::string& reference, const std::string& description);

// Writes an image as writeNiftiLike does, volume by volume: int16 stores every value
// truncated, else float. The file appears once finish() wrote the last of the volumes
// announced; a writer destroyed before leaves nothing. Throws NiftiError.
class NiftiVolumeWriter {
public:
    NiftiVolumeWriter(const std::string& path, const std::string& reference, const std::string& description,
                      int volumes, bool int16);
    ~NiftiVolumeWriter();
    NiftiVolumeWriter(const NiftiVolumeWriter&) = delete;
    NiftiVolumeWriter& operator=(const NiftiVolumeWriter&) = delete;

    void write(const Volume& volume);
    void finish();

private:
    struct Target;
    [[noreturn]] void failed() const;

    std::string path_;
    std::string reference_;
    Dimensions extent_;
    int volumes_;
    int written_ = 0;
    bool int16_;
    std::unique_ptr<Target> target_;
};

// Every value is a whole number within -32768..32767.
bool wholeInt16(const Volume& volume);
