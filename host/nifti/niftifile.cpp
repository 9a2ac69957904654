// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/niftifile.h"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <sstream>

#include <nifti2_io.h>

#include "files/stagedfile.h"
#include "nifti/niftiheader.h"
#include "files/diskspace.h"

namespace {

struct ImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using ImagePointer = std::unique_ptr<nifti_image, ImageDeleter>;

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The library's record of an image whose header was checked first.
struct OpenedImage {
    NiftiHeader header;
    ImagePointer image;
};

// The voxel data as stored, in the machine's byte order. Read here rather than by the
// library, which silently turns NaN and infinite floats into 0.
void readVoxelData(OpenedImage& opened, const std::string& path)
{
    nifti_image& image = *opened.image;
    const std::size_t bytes = static_cast<std::size_t>(image.nvox) * static_cast<std::size_t>(image.nbyper);
    std::unique_ptr<void, decltype(&std::free)> data(std::malloc(std::max<std::size_t>(bytes, 1)), &std::free);
    if (!data) throw std::bad_alloc();
    const auto endsEarly = [&] {
        return NiftiError("The voxel data of " + path + " end early: its header promises " + std::to_string(bytes) +
                          " bytes from byte " + std::to_string(opened.header.voxOffset) + " (vox_offset)");
    };
    znzFile file = znzopen(path.c_str(), "rb", endsWith(path, ".gz") ? 1 : 0);
    if (znz_isnull(file)) throw NiftiError("Cannot open the image " + path);
    const bool complete = znzseek(file, opened.header.voxOffset, SEEK_SET) >= 0 &&
                          znzread(data.get(), 1, bytes, file) == bytes;
    Xznzclose(&file);
    if (!complete) throw endsEarly();
    if (image.byteorder != nifti_short_order() && image.swapsize > 1)
        nifti_swap_Nbytes(static_cast<std::int64_t>(image.nvox), image.swapsize, data.get());
    image.data = data.release();
}

OpenedImage openImage(const std::string& path, bool withData)
{
    if (!isNiftiName(path)) throw NiftiError("Not a NIfTI file name (.nii or .nii.gz expected): " + path);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) throw NiftiError("Cannot open the image " + path);
    OpenedImage opened{readNiftiHeader(path), nullptr};
    const LibraryMessagesSilenced quiet;
    opened.image.reset(nifti_image_read(path.c_str(), 0));
    if (!opened.image) throw NiftiError("Not a readable NIfTI-1 or NIfTI-2 image: " + path);
    if (withData) readVoxelData(opened, path);
    return opened;
}

double millimetresPerUnit(int units)
{
    switch (units) {
    case NIFTI_UNITS_METER: return 1000.0;
    case NIFTI_UNITS_MICRON: return 0.001;
    default: return 1.0;  // millimetres, or no unit given
    }
}

double secondsPerUnit(int units)
{
    switch (units) {
    case NIFTI_UNITS_MSEC: return 0.001;
    case NIFTI_UNITS_USEC: return 0.000001;
    default: return 1.0;
    }
}

NiftiInfo infoOf(const OpenedImage& opened, const std::string& path)
{
    const nifti_image& image = *opened.image;
    for (int axis = 5; axis <= 7; ++axis)
        if (image.dim[0] >= axis && image.dim[axis] > 1)
            throw NiftiError("Only 3-D and 4-D images can be converted; " + path + " has " +
                             std::to_string(image.dim[0]) + " dimensions");
    // Axes beyond dim[0] count as 1, whatever their entries hold.
    const auto size = [&](int axis) { return image.dim[0] >= axis ? image.dim[axis] : std::int64_t{1}; };
    const std::int64_t nx = size(1), ny = size(2), nz = size(3), nt = size(4);
    const std::int64_t largest = 65535;
    if (nx > largest || ny > largest || nz > largest || nt > 100000 || nx < 1 || ny < 1 || nz < 1 || nt < 1)
        throw NiftiError("The extent of " + path + " cannot be converted (" + std::to_string(nx) + " x " +
                         std::to_string(ny) + " x " + std::to_string(nz) + " x " + std::to_string(nt) + ")");
    NiftiInfo info;
    info.extent = {static_cast<std::int32_t>(nx), static_cast<std::int32_t>(ny), static_cast<std::int32_t>(nz)};
    info.volumes = static_cast<int>(nt);
    const double scale = millimetresPerUnit(image.xyz_units);
    info.voxelSize = {std::abs(image.dx) * scale, std::abs(image.dy) * scale, std::abs(image.dz) * scale};
    // A time between volumes of more than an hour is no repetition time: taken as not given.
    const double repetitionTime = image.dt * secondsPerUnit(image.time_units);
    if (nt > 1 && repetitionTime > 0.0 && repetitionTime <= 3600.0) info.repetitionTime = repetitionTime;
    info.version = opened.header.version;
    info.warnings = opened.header.warnings;
    const nifti_dmat44& m = opened.header.sformUsable ? image.sto_xyz : image.qto_xyz;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) info.voxelToWorld[row][column] = m.m[row][column] * scale;
    info.geometrySource = opened.header.sformUsable ? "sform" : opened.header.qformUsable ? "qform" : "";
    if (!opened.header.sformUsable && !opened.header.qformUsable) {
        info.voxelToWorld = {};
        for (int axis = 0; axis < 3; ++axis) info.voxelToWorld[axis][axis] = info.voxelSize[axis];
    }
    return info;
}

// "(3, 4, 5) of volume 0": where the value number index of the image lies.
std::string voxelPlace(std::size_t index, const Dimensions& extent)
{
    const std::size_t perVolume = voxelCount(extent);
    const std::size_t within = index % perVolume;
    const std::size_t x = within % static_cast<std::size_t>(extent.x);
    const std::size_t y = within / static_cast<std::size_t>(extent.x) % static_cast<std::size_t>(extent.y);
    const std::size_t z = within / (static_cast<std::size_t>(extent.x) * static_cast<std::size_t>(extent.y));
    return "voxel (" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) + ") of volume " +
           std::to_string(index / perVolume);
}

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

template <class T>
void copyVoxels(const OpenedImage& opened, const std::string& path, NiftiImage& result)
{
    const T* source = static_cast<const T*>(opened.image->data);
    const double slope = opened.header.slope;
    const double intercept = opened.header.intercept;
    const bool scaled = slope != 0.0;
    const std::size_t count = result.volumes.front().size();
    // The largest value that does not fit a float, and where it lies.
    double tooLarge = 0.0;
    std::size_t tooLargeAt = 0;
    std::size_t index = 0;
    result.values.assign(result.volumes.size(), VolumeValues{});
    for (std::size_t v = 0; v < result.volumes.size(); ++v) {
        Volume& volume = result.volumes[v];
        for (std::size_t i = 0; i < count; ++i, ++index) {
            const double raw = static_cast<double>(*source++);
            const double value = scaled ? raw * slope + intercept : raw;
            if (!std::isfinite(raw)) {
                ++result.values[v].nonFinite;
            } else if (std::abs(value) <= std::numeric_limits<float>::max()) {
                result.values[v].largest = std::max(result.values[v].largest, std::abs(value));
            } else if (!(std::abs(value) <= tooLarge)) {
                tooLarge = std::abs(value);
                tooLargeAt = index;
            }
            volume[i] = static_cast<float>(value);
            if (result.fitsInt16 && !(value == std::trunc(value) && value >= -32768.0 && value <= 32767.0))
                result.fitsInt16 = false;
        }
    }
    if (tooLarge > 0.0)
        throw NiftiError(path + " holds values that do not fit single precision, in which the host keeps voxels (at most " +
                         number(std::numeric_limits<float>::max()) + " in magnitude): the largest, " + number(tooLarge) +
                         ", at " + voxelPlace(tooLargeAt, result.info.extent) +
                         (scaled ? " after scl_slope " + number(slope) + " and scl_inter " + number(intercept) : "") +
                         ". Scale the image down before converting it.");
}

// Header, an empty extension flag and the data in one file, gzip-compressed for ".nii.gz".
// Written here rather than by the library's writer, which puts the data of a single-file
// NIfTI-2 image over its header.
bool writeSingleFile(const std::string& path, bool compressed, nifti_image& image, int version)
{
    const LibraryMessagesSilenced quiet;
    nifti_1_header header1{};
    nifti_2_header header2{};
    const void* header = nullptr;
    std::size_t headerSize = 0;
    if (version == 2) {
        image.nifti_type = NIFTI_FTYPE_NIFTI2_1;
        if (nifti_convert_nim2n2hdr(&image, &header2) != 0) return false;
        std::memcpy(header2.magic, "n+2\0\r\n\032\n", 8);
        header2.vox_offset = sizeof header2 + 4;
        header = &header2;
        headerSize = sizeof header2;
    } else {
        image.nifti_type = NIFTI_FTYPE_NIFTI1_1;
        if (nifti_convert_nim2n1hdr(&image, &header1) != 0) return false;
        std::memcpy(header1.magic, "n+1\0", 4);
        header1.vox_offset = static_cast<float>(sizeof header1 + 4);
        header = &header1;
        headerSize = sizeof header1;
    }
    znzFile file = znzopen(path.c_str(), "wb", compressed ? 1 : 0);
    if (znz_isnull(file)) return false;
    const char extension[4] = {0, 0, 0, 0};
    const std::size_t bytes = static_cast<std::size_t>(image.nvox) * static_cast<std::size_t>(image.nbyper);
    bool good = znzwrite(header, headerSize, 1, file) == 1 && znzwrite(extension, 4, 1, file) == 1 &&
                znzwrite(image.data, 1, bytes, file) == bytes;
    good = Xznzclose(&file) == 0 && good;
    return good;
}

}  // namespace

bool isNiftiName(const std::string& path)
{
    return endsWith(path, ".nii") || endsWith(path, ".nii.gz");
}

NiftiInfo readNiftiInfo(const std::string& path)
{
    return infoOf(openImage(path, false), path);
}

NiftiImage readNifti(const std::string& path)
{
    const OpenedImage opened = openImage(path, true);
    const nifti_image* const image = opened.image.get();
    NiftiImage result;
    result.info = infoOf(opened, path);
    result.volumes.assign(static_cast<std::size_t>(result.info.volumes), Volume(result.info.extent));
    switch (image->datatype) {
    case DT_UINT8: copyVoxels<std::uint8_t>(opened, path, result); break;
    case DT_INT8: copyVoxels<std::int8_t>(opened, path, result); break;
    case DT_INT16: copyVoxels<std::int16_t>(opened, path, result); break;
    case DT_UINT16: copyVoxels<std::uint16_t>(opened, path, result); break;
    case DT_INT32: copyVoxels<std::int32_t>(opened, path, result); break;
    case DT_UINT32: copyVoxels<std::uint32_t>(opened, path, result); break;
    case DT_INT64: copyVoxels<std::int64_t>(opened, path, result); break;
    case DT_UINT64: copyVoxels<std::uint64_t>(opened, path, result); break;
    case DT_FLOAT32: copyVoxels<float>(opened, path, result); break;
    case DT_FLOAT64: copyVoxels<double>(opened, path, result); break;
    default:
        throw NiftiError("The voxel type of " + path + " (" + nifti_datatype_string(image->datatype) +
                         ") cannot be converted; real-valued images only");
    }
    return result;
}

void writeNiftiLike(const std::string& path, const std::vector<Volume>& volumes, NiftiStorage storage,
                    const std::string& reference, const std::string& description)
{
    if (!isNiftiName(path)) throw NiftiError("The output must be named .nii or .nii.gz: " + path);
    if (volumes.empty()) throw NiftiError("Nothing to write to " + path);
    const OpenedImage opened = openImage(reference, false);
    const nifti_image* const like = opened.image.get();
    const NiftiInfo likeInfo = infoOf(opened, reference);
    const Dimensions extent = volumes.front().dimensions();
    for (const Volume& volume : volumes)
        if (volume.dimensions() != extent) throw NiftiError("The volumes to write to " + path + " differ in extent");
    if (extent != likeInfo.extent)
        throw NiftiError("The data (" + std::to_string(extent.x) + " x " + std::to_string(extent.y) + " x " +
                         std::to_string(extent.z) + ") do not have the extent of the reference image " + reference +
                         " (" + std::to_string(likeInfo.extent.x) + " x " + std::to_string(likeInfo.extent.y) +
                         " x " + std::to_string(likeInfo.extent.z) + ")");

    ImagePointer image(nifti_copy_nim_info(like));
    if (!image) throw std::bad_alloc();
    nifti_free_extensions(image.get());
    // A transform of the reference that is not valid is not passed on.
    if (!opened.header.qformUsable) {
        image->qform_code = NIFTI_XFORM_UNKNOWN;
        image->quatern_b = image->quatern_c = image->quatern_d = 0.0;
        image->qoffset_x = image->qoffset_y = image->qoffset_z = 0.0;
    }
    if (!opened.header.sformUsable) {
        image->sform_code = NIFTI_XFORM_UNKNOWN;
        image->sto_xyz = nifti_dmat44{};
    }
    const int volumeCount = static_cast<int>(volumes.size());
    image->dim[0] = volumeCount > 1 ? 4 : 3;
    image->dim[4] = volumeCount;
    for (int axis = 5; axis <= 7; ++axis) image->dim[axis] = 1;
    if (volumeCount > 1 && !(image->pixdim[4] > 0.0)) image->pixdim[4] = 1.0;
    nifti_update_dims_from_array(image.get());
    image->scl_slope = 0.0;
    image->scl_inter = 0.0;
    image->cal_min = 0.0;
    image->cal_max = 0.0;
    image->intent_code = NIFTI_INTENT_NONE;
    std::memset(image->intent_name, 0, sizeof image->intent_name);
    std::memset(image->descrip, 0, sizeof image->descrip);
    std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
    const std::size_t count = volumes.front().size();
    bool whole = storage == NiftiStorage::Int16WhenExact;
    for (std::size_t v = 0; whole && v < volumes.size(); ++v)
        for (std::size_t i = 0; whole && i < count; ++i) {
            const float value = volumes[v][i];
            whole = value == std::trunc(value) && value >= -32768.0f && value <= 32767.0f;
        }
    image->datatype = whole ? DT_INT16 : DT_FLOAT32;
    image->nbyper = whole ? 2 : 4;
    std::vector<std::int16_t> shorts;
    std::vector<float> floats;
    if (whole) {
        shorts.reserve(count * volumes.size());
        for (const Volume& volume : volumes)
            for (std::size_t i = 0; i < count; ++i) shorts.push_back(static_cast<std::int16_t>(volume[i]));
        image->data = shorts.data();
    } else {
        floats.reserve(count * volumes.size());
        for (const Volume& volume : volumes) floats.insert(floats.end(), volume.data(), volume.data() + count);
        image->data = floats.data();
    }

    StagedFile staged(path);
    const bool written = writeSingleFile(staged.writePath(), endsWith(path, ".gz"), *image, likeInfo.version);
    const int error = errno;
    image->data = nullptr;  // owned by the vectors above
    if (!written) throw NiftiError("Cannot write the image " + path + diskFullNote(path, error));
    staged.commit();
}
