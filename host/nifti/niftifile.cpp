// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/niftifile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>

#include <nifti2_io.h>

#include "cli/numbertext.h"
#include "core/stoprequest.h"
#include "files/diskspace.h"
#include "files/stagedfile.h"
#include "nifti/niftiheader.h"

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

OpenedImage openImage(const std::string& path)
{
    if (!isNiftiName(path)) throw NiftiError("Not a NIfTI file name (.nii or .nii.gz expected): " + path);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) throw NiftiError("Cannot open the image " + path);
    OpenedImage opened{readNiftiHeader(path), nullptr};
    const LibraryMessagesSilenced quiet;
    opened.image.reset(nifti_image_read(path.c_str(), 0));
    if (!opened.image) throw NiftiError("Not a readable NIfTI-1 or NIfTI-2 image: " + path);
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
    const bool unscaled = opened.header.slope == 0.0 || (opened.header.slope == 1.0 && opened.header.intercept == 0.0);
    info.storedAsInt16 = unscaled && (image.datatype == DT_INT8 || image.datatype == DT_UINT8 || image.datatype == DT_INT16);
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

template <class T>
void convertVoxels(const void* raw, const NiftiHeader& header, Volume& volume, VolumeValues& values, bool& fitsInt16,
                   double& tooLarge, std::size_t& tooLargeAt)
{
    const T* source = static_cast<const T*>(raw);
    const double slope = header.slope;
    const double intercept = header.intercept;
    const bool scaled = slope != 0.0;
    for (std::size_t i = 0; i < volume.size(); ++i) {
        const double stored = static_cast<double>(source[i]);
        const double value = scaled ? stored * slope + intercept : stored;
        if (!std::isfinite(stored)) {
            ++values.nonFinite;
        } else if (std::abs(value) <= std::numeric_limits<float>::max()) {
            values.largest = std::max(values.largest, std::abs(value));
        } else if (!(std::abs(value) <= tooLarge)) {
            tooLarge = std::abs(value);
            tooLargeAt = i;
        }
        volume[i] = static_cast<float>(value);
        if (fitsInt16 && !(value == std::trunc(value) && value >= -32768.0 && value <= 32767.0)) fitsInt16 = false;
    }
}

using Converter = void (*)(const void*, const NiftiHeader&, Volume&, VolumeValues&, bool&, double&, std::size_t&);

Converter converterFor(int datatype)
{
    switch (datatype) {
    case DT_UINT8: return convertVoxels<std::uint8_t>;
    case DT_INT8: return convertVoxels<std::int8_t>;
    case DT_INT16: return convertVoxels<std::int16_t>;
    case DT_UINT16: return convertVoxels<std::uint16_t>;
    case DT_INT32: return convertVoxels<std::int32_t>;
    case DT_UINT32: return convertVoxels<std::uint32_t>;
    case DT_INT64: return convertVoxels<std::int64_t>;
    case DT_UINT64: return convertVoxels<std::uint64_t>;
    case DT_FLOAT32: return convertVoxels<float>;
    case DT_FLOAT64: return convertVoxels<double>;
    default: return nullptr;
    }
}

// Header, an empty extension flag and the data in one file, gzip-compressed for ".nii.gz":
// opens the file and writes all but the data. Written here rather than by the library's
// writer, which puts the data of a single-file NIfTI-2 image over its header. Null when
// the file cannot be made or written.
znzFile startSingleFile(const std::string& path, bool compressed, bool truncate, nifti_image& image, int version)
{
    const LibraryMessagesSilenced quiet;
    nifti_1_header header1{};
    nifti_2_header header2{};
    const void* header = nullptr;
    std::size_t headerSize = 0;
    if (version == 2) {
        image.nifti_type = NIFTI_FTYPE_NIFTI2_1;
        if (nifti_convert_nim2n2hdr(&image, &header2) != 0) return nullptr;
        std::memcpy(header2.magic, "n+2\0\r\n\032\n", 8);
        header2.vox_offset = sizeof header2 + 4;
        header = &header2;
        headerSize = sizeof header2;
    } else {
        image.nifti_type = NIFTI_FTYPE_NIFTI1_1;
        if (nifti_convert_nim2n1hdr(&image, &header1) != 0) return nullptr;
        std::memcpy(header1.magic, "n+1\0", 4);
        header1.vox_offset = static_cast<float>(sizeof header1 + 4);
        header = &header1;
        headerSize = sizeof header1;
    }
    // A staged file exists empty and is not truncated again (see StagedFile::writeMode): an
    // uncompressed one is opened for update, a compressed one for appending, which on an
    // empty file writes the same stream as opening it anew.
    const char* mode = truncate ? "wb" : compressed ? "ab" : "r+b";
    znzFile file = znzopen(path.c_str(), mode, compressed ? 1 : 0);
    if (znz_isnull(file)) return nullptr;
    const char extension[4] = {0, 0, 0, 0};
    if (znzwrite(header, headerSize, 1, file) != 1 || znzwrite(extension, 4, 1, file) != 1) {
        Xznzclose(&file);
        return nullptr;
    }
    return file;
}

}  // namespace

bool isNiftiName(const std::string& path)
{
    return endsWith(path, ".nii") || endsWith(path, ".nii.gz");
}

NiftiInfo readNiftiInfo(const std::string& path)
{
    return infoOf(openImage(path), path);
}

struct NiftiVolumeReader::Source {
    OpenedImage opened;
    znzFile file = nullptr;
    Converter convert = nullptr;
    std::vector<unsigned char> raw;
    ~Source()
    {
        if (file != nullptr) Xznzclose(&file);
    }
};

NiftiVolumeReader::NiftiVolumeReader(const std::string& path) : path_(path), source_(std::make_unique<Source>())
{
    source_->opened = openImage(path);
    info_ = infoOf(source_->opened, path);
    const nifti_image& image = *source_->opened.image;
    source_->convert = converterFor(image.datatype);
    if (source_->convert == nullptr)
        throw NiftiError("The voxel type of " + path + " (" + nifti_datatype_string(image.datatype) +
                         ") cannot be converted; real-valued images only");
    source_->raw.resize(std::max<std::size_t>(1, voxelCount(info_.extent) * static_cast<std::size_t>(image.nbyper)));
    source_->file = znzopen(path.c_str(), "rb", endsWith(path, ".gz") ? 1 : 0);
    if (znz_isnull(source_->file)) throw NiftiError("Cannot open the image " + path);
    if (znzseek(source_->file, source_->opened.header.voxOffset, SEEK_SET) < 0) throw endsEarly();
}

NiftiVolumeReader::~NiftiVolumeReader() = default;

NiftiError NiftiVolumeReader::endsEarly() const
{
    const nifti_image& image = *source_->opened.image;
    const std::size_t bytes = static_cast<std::size_t>(image.nvox) * static_cast<std::size_t>(image.nbyper);
    return NiftiError("The voxel data of " + path_ + " end early: its header promises " + std::to_string(bytes) +
                      " bytes from byte " + std::to_string(source_->opened.header.voxOffset) + " (vox_offset)");
}

Volume NiftiVolumeReader::next()
{
    if (static_cast<int>(values_.size()) >= info_.volumes)
        throw NiftiError("No volume " + std::to_string(values_.size()) + " in " + path_);
    throwIfStopRequested();
    const nifti_image& image = *source_->opened.image;
    std::vector<unsigned char>& raw = source_->raw;
    const std::size_t count = voxelCount(info_.extent);
    const std::size_t bytes = count * static_cast<std::size_t>(image.nbyper);
    if (znzread(raw.data(), 1, bytes, source_->file) != bytes) throw endsEarly();
    if (image.byteorder != nifti_short_order() && image.swapsize > 1)
        nifti_swap_Nbytes(static_cast<std::int64_t>(count), image.swapsize, raw.data());
    Volume volume(info_.extent);
    VolumeValues values;
    double tooLarge = 0.0;
    std::size_t tooLargeAt = 0;
    source_->convert(raw.data(), source_->opened.header, volume, values, fitsInt16_, tooLarge, tooLargeAt);
    if (tooLarge > 0.0) {
        const NiftiHeader& header = source_->opened.header;
        const bool scaled = header.slope != 0.0;
        throw NiftiError(path_ + " holds values that do not fit single precision, in which the host keeps voxels (at most " +
                         numberText(std::numeric_limits<float>::max()) + " in magnitude): the largest, " + numberText(tooLarge) +
                         ", at " + voxelPlace(values_.size() * count + tooLargeAt, info_.extent) +
                         (scaled ? " after scl_slope " + numberText(header.slope) + " and scl_inter " + numberText(header.intercept) : "") +
                         ". Scale the image down before converting it.");
    }
    values_.push_back(values);
    return volume;
}

NiftiImage readNifti(const std::string& path)
{
    NiftiVolumeReader reader(path);
    NiftiImage result;
    result.info = reader.info();
    result.volumes.reserve(static_cast<std::size_t>(result.info.volumes));
    for (int v = 0; v < result.info.volumes; ++v) result.volumes.push_back(reader.next());
    result.fitsInt16 = reader.fitsInt16();
    result.values = reader.values();
    return result;
}

struct NiftiVolumeWriter::Target {
    ImagePointer image;
    std::unique_ptr<StagedFile> staged;
    znzFile file = nullptr;
    ~Target()
    {
        if (file != nullptr) Xznzclose(&file);
    }
};

NiftiVolumeWriter::NiftiVolumeWriter(const std::string& path, const std::string& reference,
                                     const std::string& description, int volumes, bool int16)
    : path_(path), reference_(reference), volumes_(volumes), int16_(int16), target_(std::make_unique<Target>())
{
    if (!isNiftiName(path)) throw NiftiError("The output must be named .nii or .nii.gz: " + path);
    if (volumes < 1) throw NiftiError("Nothing to write to " + path);
    const OpenedImage opened = openImage(reference);
    const nifti_image* const like = opened.image.get();
    const NiftiInfo likeInfo = infoOf(opened, reference);
    extent_ = likeInfo.extent;

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
    image->dim[0] = volumes > 1 ? 4 : 3;
    image->dim[4] = volumes;
    for (int axis = 5; axis <= 7; ++axis) image->dim[axis] = 1;
    if (volumes > 1 && !(image->pixdim[4] > 0.0)) image->pixdim[4] = 1.0;
    nifti_update_dims_from_array(image.get());
    image->scl_slope = 0.0;
    image->scl_inter = 0.0;
    image->cal_min = 0.0;
    image->cal_max = 0.0;
    image->intent_code = NIFTI_INTENT_NONE;
    std::memset(image->intent_name, 0, sizeof image->intent_name);
    std::memset(image->descrip, 0, sizeof image->descrip);
    std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
    image->datatype = int16 ? DT_INT16 : DT_FLOAT32;
    image->nbyper = int16 ? 2 : 4;

    target_->staged = std::make_unique<StagedFile>(path);
    const bool truncate = (target_->staged->writeMode() & std::ios::trunc) != 0;
    target_->file =
        startSingleFile(target_->staged->writePath(), endsWith(path, ".gz"), truncate, *image, likeInfo.version);
    target_->image = std::move(image);
    if (target_->file == nullptr) failed();
}

NiftiVolumeWriter::~NiftiVolumeWriter() = default;

void NiftiVolumeWriter::failed() const
{
    const int error = errno;
    throw NiftiError("Cannot write the image " + path_ + diskFullNote(path_, error));
}

void NiftiVolumeWriter::write(const Volume& volume)
{
    throwIfStopRequested();
    if (volume.dimensions() != extent_)
        throw NiftiError("The data (" + std::to_string(volume.dimensions().x) + " x " +
                         std::to_string(volume.dimensions().y) + " x " + std::to_string(volume.dimensions().z) +
                         ") do not have the extent of the reference image " + reference_ + " (" +
                         std::to_string(extent_.x) + " x " + std::to_string(extent_.y) + " x " +
                         std::to_string(extent_.z) + ")");
    if (written_ >= volumes_) throw NiftiError("More volumes than announced for " + path_);
    const std::size_t count = volume.size();
    std::size_t bytes = 0;
    bool good = false;
    if (int16_) {
        std::vector<std::int16_t> shorts(count);
        for (std::size_t i = 0; i < count; ++i) shorts[i] = static_cast<std::int16_t>(volume[i]);
        bytes = count * sizeof(std::int16_t);
        good = znzwrite(shorts.data(), 1, bytes, target_->file) == bytes;
    } else {
        bytes = count * sizeof(float);
        good = znzwrite(volume.data(), 1, bytes, target_->file) == bytes;
    }
    if (!good) failed();
    ++written_;
}

void NiftiVolumeWriter::finish()
{
    if (written_ != volumes_)
        throw NiftiError(std::to_string(written_) + " of the " + std::to_string(volumes_) + " volumes of " + path_ +
                         " were written");
    const int closed = Xznzclose(&target_->file);
    if (closed != 0) failed();
    target_->staged->commit();
}

bool wholeInt16(const Volume& volume)
{
    for (std::size_t i = 0; i < volume.size(); ++i) {
        const float value = volume[i];
        if (!(value == std::trunc(value) && value >= -32768.0f && value <= 32767.0f)) return false;
    }
    return true;
}

void writeNiftiLike(const std::string& path, const std::vector<Volume>& volumes, NiftiStorage storage,
                    const std::string& reference, const std::string& description)
{
    if (!isNiftiName(path)) throw NiftiError("The output must be named .nii or .nii.gz: " + path);
    if (volumes.empty()) throw NiftiError("Nothing to write to " + path);
    const Dimensions extent = volumes.front().dimensions();
    for (const Volume& volume : volumes)
        if (volume.dimensions() != extent) throw NiftiError("The volumes to write to " + path + " differ in extent");
    bool whole = storage == NiftiStorage::Int16WhenExact;
    for (std::size_t v = 0; whole && v < volumes.size(); ++v) whole = wholeInt16(volumes[v]);
    NiftiVolumeWriter writer(path, reference, description, static_cast<int>(volumes.size()), whole);
    for (const Volume& volume : volumes) writer.write(volume);
    writer.finish();
}
