// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/niftiheader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

#include <nifti2_io.h>

#include "cli/numbertext.h"

namespace {

// The fields that are checked, widened from either version's header.
struct RawHeader {
    int version = 1;
    std::string magic;
    std::array<std::int64_t, 8> dim{};
    std::array<double, 8> pixdim{};
    double voxOffset = 0.0;
    int datatype = 0;
    int bitsPerVoxel = 0;
    double slope = 0.0;
    double intercept = 0.0;
    int spaceUnits = 0;
    int qformCode = 0;
    int sformCode = 0;
    std::array<double, 3> quatern{};
    std::array<double, 3> qoffset{};
    std::array<std::array<double, 4>, 3> srow{};
};

template <class Header>
void copyFields(const Header& h, RawHeader& raw, std::size_t magicLength)
{
    raw.magic.assign(h.magic, h.magic + magicLength);
    raw.magic = raw.magic.substr(0, raw.magic.find('\0'));
    for (int i = 0; i < 8; ++i) {
        raw.dim[i] = h.dim[i];
        raw.pixdim[i] = h.pixdim[i];
    }
    raw.voxOffset = static_cast<double>(h.vox_offset);
    raw.datatype = h.datatype;
    raw.bitsPerVoxel = h.bitpix;
    raw.slope = h.scl_slope;
    raw.intercept = h.scl_inter;
    raw.spaceUnits = XYZT_TO_SPACE(h.xyzt_units);
    raw.qformCode = h.qform_code;
    raw.sformCode = h.sform_code;
    raw.quatern = {h.quatern_b, h.quatern_c, h.quatern_d};
    raw.qoffset = {h.qoffset_x, h.qoffset_y, h.qoffset_z};
    for (int c = 0; c < 4; ++c) {
        raw.srow[0][c] = h.srow_x[c];
        raw.srow[1][c] = h.srow_y[c];
        raw.srow[2][c] = h.srow_z[c];
    }
}

RawHeader readRawHeader(const std::string& path)
{
    const LibraryMessagesSilenced quiet;
    int version = 0;
    const std::unique_ptr<void, decltype(&std::free)> header(nifti_read_header(path.c_str(), &version, 0), &std::free);
    if (!header || (version != 1 && version != 2))
        throw NiftiError("Not a readable NIfTI-1 or NIfTI-2 image: " + path +
                         " (it does not begin with a NIfTI header of 348 or 540 bytes)");
    // The header comes as stored; one written on a machine of the other byte order holds
    // its own size byte-swapped.
    const int size = version == 1 ? static_cast<const nifti_1_header*>(header.get())->sizeof_hdr
                                  : static_cast<const nifti_2_header*>(header.get())->sizeof_hdr;
    if (size != (version == 1 ? 348 : 540)) swap_nifti_header(header.get(), version);
    RawHeader raw;
    raw.version = version;
    if (version == 1)
        copyFields(*static_cast<const nifti_1_header*>(header.get()), raw, 4);
    else
        copyFields(*static_cast<const nifti_2_header*>(header.get()), raw, 8);
    return raw;
}

[[noreturn]] void refuse(const std::string& path, const std::string& field, const std::string& value,
                         const std::string& expected)
{
    throw NiftiError(field + " = " + value + " in " + path + ": " + expected);
}

double millimetresPer(int spaceUnits)
{
    switch (spaceUnits) {
    case NIFTI_UNITS_METER: return 1000.0;
    case NIFTI_UNITS_MICRON: return 0.001;
    default: return 1.0;
    }
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void checkExtent(const RawHeader& raw, const std::string& path)
{
    if (raw.dim[0] < 1 || raw.dim[0] > 7)
        refuse(path, "dim[0]", std::to_string(raw.dim[0]), "the number of axes must be 1 to 7");
    for (int axis = 1; axis <= raw.dim[0]; ++axis)
        if (raw.dim[axis] < 1)
            refuse(path, "dim[" + std::to_string(axis) + "]", std::to_string(raw.dim[axis]),
                   "each of the dim[0] = " + std::to_string(raw.dim[0]) + " axes needs at least one voxel");
    for (int axis = 1; axis <= 3; ++axis) {
        const double size = std::abs(raw.pixdim[axis]) * millimetresPer(raw.spaceUnits);
        if (!std::isfinite(raw.pixdim[axis]) || !(size >= kSmallestVoxelSizeMm) || size > kLargestVoxelSizeMm)
            refuse(path, "pixdim[" + std::to_string(axis) + "]", numberText(raw.pixdim[axis]),
                   "voxel sizes must be from " + numberText(kSmallestVoxelSizeMm) + " to " +
                       numberText(kLargestVoxelSizeMm) + " mm");
    }
}

// "1, 2, 3" for dim[1..dim[0]].
std::string dimText(const RawHeader& raw)
{
    std::ostringstream text;
    for (int axis = 1; axis <= raw.dim[0]; ++axis) text << (axis > 1 ? ", " : "") << raw.dim[axis];
    return text.str();
}

// The bytes of voxel data that the header promises.
std::uint64_t promisedBytes(const RawHeader& raw, const std::string& path)
{
    int bytesPerVoxel = 0;
    int swapSize = 0;
    nifti_datatype_sizes(raw.datatype, &bytesPerVoxel, &swapSize);
    if (bytesPerVoxel <= 0) refuse(path, "datatype", std::to_string(raw.datatype), "not a NIfTI voxel type");
    std::uint64_t bytes = static_cast<std::uint64_t>(bytesPerVoxel);
    for (int axis = 1; axis <= raw.dim[0]; ++axis)
        if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(raw.dim[axis]), &bytes))
            refuse(path, "dim", dimText(raw), "the voxel data would not fit 64 bits");
    return bytes;
}

void checkDataOffset(const RawHeader& raw, const std::string& path)
{
    if (raw.magic != "n+1" && raw.magic != "n+2")
        refuse(path, "magic", "\"" + raw.magic + "\"",
               "only single-file images (magic n+1 or n+2, named .nii or .nii.gz) are read");
    const double first = raw.version == 2 ? 544.0 : 352.0;
    if (!std::isfinite(raw.voxOffset) || raw.voxOffset != std::trunc(raw.voxOffset) || raw.voxOffset < first)
        refuse(path, "vox_offset", numberText(raw.voxOffset),
               "the voxel data must start at a whole byte after the header, at byte " + numberText(first) + " or later");
    const std::uint64_t bytes = promisedBytes(raw, path);
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (error) return;
    // gzip packs at most about 1032 bytes into one: what a compressed file holds is bounded too.
    const bool compressed = endsWith(path, ".gz");
    const double room = static_cast<double>(size) * (compressed ? 1100.0 : 1.0);
    const bool offsetFits = raw.voxOffset <= room;
    const bool fits = offsetFits && (compressed ? bytes / 1100 <= size
                                                : bytes <= size - static_cast<std::uint64_t>(raw.voxOffset));
    if (!fits)
        throw NiftiError("The voxel data of " + path + " end early: its header promises " + std::to_string(bytes) +
                         " bytes from byte " +
                         (raw.voxOffset < 0x1p53 ? std::to_string(static_cast<std::uint64_t>(raw.voxOffset))
                                                  : numberText(raw.voxOffset)) +
                         " (vox_offset), the file holds " + std::to_string(size) +
                         (compressed ? " compressed bytes" : " bytes"));
}

// The scaling to apply: NaN or 0 slope means none (NaN is what some writers store then).
void checkScaling(const RawHeader& raw, const std::string& path, NiftiHeader& header)
{
    if (std::isnan(raw.slope) || raw.slope == 0.0) return;
    if (!std::isfinite(raw.slope))
        refuse(path, "scl_slope", numberText(raw.slope), "the scaling must be a finite number (0 or NaN for none)");
    if (!std::isfinite(raw.intercept))
        refuse(path, "scl_inter", numberText(raw.intercept),
               "with scl_slope " + numberText(raw.slope) + " the intercept must be a finite number");
    if (raw.slope == 1.0 && raw.intercept == 0.0) return;
    header.slope = raw.slope;
    header.intercept = raw.intercept;
}

// Why the qform is not valid; empty when it is.
std::string qformProblem(const RawHeader& raw)
{
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(raw.quatern[i]) || !std::isfinite(raw.qoffset[i]))
            return "quatern_b, quatern_c, quatern_d, qoffset_x, qoffset_y, qoffset_z = " + numberText(raw.quatern[0]) +
                   ", " + numberText(raw.quatern[1]) + ", " + numberText(raw.quatern[2]) + ", " + numberText(raw.qoffset[0]) +
                   ", " + numberText(raw.qoffset[1]) + ", " + numberText(raw.qoffset[2]) + " are not all finite";
    const double squares = raw.quatern[0] * raw.quatern[0] + raw.quatern[1] * raw.quatern[1] + raw.quatern[2] * raw.quatern[2];
    if (squares > 1.0 + 1e-5)
        return "quatern_b, quatern_c, quatern_d = " + numberText(raw.quatern[0]) + ", " + numberText(raw.quatern[1]) + ", " +
               numberText(raw.quatern[2]) + " give b\xC2\xB2 + c\xC2\xB2 + d\xC2\xB2 = " + numberText(squares) +
               ", more than 1";
    return "";
}

std::string sformProblem(const RawHeader& raw)
{
    const char* const rows[3] = {"srow_x", "srow_y", "srow_z"};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(raw.srow[r][c]))
                return std::string(rows[r]) + "[" + std::to_string(c) + "] = " + numberText(raw.srow[r][c]);
    const auto& m = raw.srow;
    const double determinant = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (determinant == 0.0 || !std::isfinite(determinant))
        return "its 3 x 3 part has the determinant " + numberText(determinant);
    return "";
}

// Which transforms give the geometry: one that is not valid is set aside with a warning
// when the other is valid, and the image is refused when none of those it has is.
void checkTransforms(const RawHeader& raw, const std::string& path, NiftiHeader& header)
{
    const std::string q = raw.qformCode > 0 ? qformProblem(raw) : "";
    const std::string s = raw.sformCode > 0 ? sformProblem(raw) : "";
    header.qformUsable = raw.qformCode > 0 && q.empty();
    header.sformUsable = raw.sformCode > 0 && s.empty();
    if (q.empty() && s.empty()) return;
    const std::string qDetail = "qform_code " + std::to_string(raw.qformCode) + "; " + q;
    const std::string sDetail = "sform_code " + std::to_string(raw.sformCode) + "; " + s;
    if (header.qformUsable || header.sformUsable) {
        const bool keepQ = header.qformUsable;
        header.warnings.push_back("The " + std::string(keepQ ? "sform" : "qform") + " of " + path + " is not valid (" +
                                  (keepQ ? sDetail : qDetail) + "); its " + (keepQ ? "qform" : "sform") +
                                  " gives the geometry, and images written like it carry that transform alone.");
        return;
    }
    std::string problems;
    if (!q.empty()) problems += "the qform (" + qDetail + ")";
    if (!s.empty()) problems += (problems.empty() ? "the sform (" : "; the sform (") + sDetail + ")";
    throw NiftiError("The geometry of " + path + " is not valid and no other transform gives it: " + problems + ".");
}

}  // namespace

LibraryMessagesSilenced::LibraryMessagesSilenced()
{
    std::fflush(stderr);
    const int nothing = ::open("/dev/null", O_WRONLY);
    if (nothing < 0) return;
    savedError_ = ::dup(STDERR_FILENO);
    if (savedError_ >= 0) ::dup2(nothing, STDERR_FILENO);
    ::close(nothing);
    nifti_set_debug_level(0);
}

LibraryMessagesSilenced::~LibraryMessagesSilenced()
{
    if (savedError_ < 0) return;
    std::fflush(stderr);
    ::dup2(savedError_, STDERR_FILENO);
    ::close(savedError_);
}

NiftiHeader readNiftiHeader(const std::string& path)
{
    const RawHeader raw = readRawHeader(path);
    checkExtent(raw, path);
    checkDataOffset(raw, path);
    NiftiHeader header;
    header.version = raw.version;
    header.dim = raw.dim;
    header.pixdim = raw.pixdim;
    header.voxOffset = static_cast<std::int64_t>(raw.voxOffset);
    header.datatype = raw.datatype;
    header.bitsPerVoxel = raw.bitsPerVoxel;
    checkScaling(raw, path, header);
    checkTransforms(raw, path, header);
    return header;
}
