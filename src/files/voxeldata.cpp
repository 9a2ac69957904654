// SPDX-License-Identifier: GPL-3.0-or-later
// Voxel data of the project records: STC files (slice-major) beside FMR headers, DWI
// files (volume-major) beside DMR headers. Data move one slice image at a time through
// the file streams.
#include <algorithm>
#include <cerrno>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <fstream>
#include <limits>
#include <string>

#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "files/diskspace.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/stagedfile.h"
#include "files/voxeldata.h"

namespace {

enum class Layout { SliceMajor, VolumeMajor };

struct DataFile {
    const char* extension;
    Layout layout;
    const char* openForReadingMessage;
    const char* openForWritingMessage;
};

constexpr DataFile kStcFile{".stc", Layout::SliceMajor, "Failed opening STC for reading: ",
                            "Failed opening STC for writing: "};
constexpr DataFile kDwiFile{".dwi", Layout::VolumeMajor, "Failed opening for reading: ",
                            "Failed opening for writing: "};

bool floatElements(const ProjectHeader& h)
{
    return h.DataType.present && h.DataType.value == 2;
}

std::size_t elementSize(const ProjectHeader& h)
{
    return floatElements(h) ? sizeof(float) : sizeof(std::int16_t);
}

// Extents of the data as the header gives them, checked for sign and overflow.
struct DataExtents {
    int nx = 0;
    int ny = 0;
    int nz = 0;
    int volumes = 0;
    std::size_t sliceElements = 0;
    std::uint64_t fileBytes = 0;
};

DataExtents dataExtents(const ProjectHeader& h)
{
    DataExtents e{h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value, h.NrOfVolumes.value};
    const std::string values = "ResolutionX " + std::to_string(e.nx) + ", ResolutionY " + std::to_string(e.ny) +
                               ", NrOfSlices " + std::to_string(e.nz) + ", NrOfVolumes " +
                               std::to_string(e.volumes);
    if (e.nx < 0 || e.ny < 0 || e.nz < 0 || e.volumes < 0)
        throw ReadFileError("Negative data extent in " + h.fileName + ": " + values);
    std::uint64_t slice = 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(e.nx), static_cast<std::uint64_t>(e.ny), &slice) ||
        __builtin_mul_overflow(slice, static_cast<std::uint64_t>(e.nz), &bytes) ||
        __builtin_mul_overflow(bytes, static_cast<std::uint64_t>(e.volumes), &bytes) ||
        __builtin_mul_overflow(bytes, static_cast<std::uint64_t>(elementSize(h)), &bytes) ||
        bytes > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()))
        throw ReadFileError("Data size overflows in " + h.fileName + ": " + values);
    e.sliceElements = static_cast<std::size_t>(slice);
    e.fileBytes = bytes;
    return e;
}

std::uint64_t fileSize(std::ifstream& in)
{
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

// 16-bit output: truncation toward zero, saturated to the int16 range; NaN gives 0.
std::int16_t toInt16(float v)
{
    if (std::isnan(v)) return 0;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(v);
}

std::int16_t fromLittleEndian(std::int16_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return static_cast<std::int16_t>((static_cast<std::uint16_t>(v) >> 8) | (static_cast<std::uint16_t>(v) << 8));
    return v;
}

std::uint32_t fromLittleEndian(std::uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
    return v;
}

// Moves slice images between a file and the volumes, in the file's layout order.
class SliceBuffer {
public:
    SliceBuffer(std::size_t elements, bool floats) : elements_(elements), floats_(floats)
    {
        if (floats_)
            words_.resize(elements);
        else
            shorts_.resize(elements);
    }

    bool read(std::istream& in, float* slice)
    {
        if (elements_ == 0) return true;
        if (floats_) {
            in.read(reinterpret_cast<char*>(words_.data()), static_cast<std::streamsize>(elements_ * 4));
            for (std::size_t i = 0; i < elements_; ++i) slice[i] = std::bit_cast<float>(fromLittleEndian(words_[i]));
        } else {
            in.read(reinterpret_cast<char*>(shorts_.data()), static_cast<std::streamsize>(elements_ * 2));
            for (std::size_t i = 0; i < elements_; ++i) slice[i] = static_cast<float>(fromLittleEndian(shorts_[i]));
        }
        return static_cast<bool>(in);
    }

    void write(std::ostream& out, const float* slice)
    {
        if (elements_ == 0) return;
        if (floats_) {
            for (std::size_t i = 0; i < elements_; ++i) words_[i] = fromLittleEndian(std::bit_cast<std::uint32_t>(slice[i]));
            out.write(reinterpret_cast<const char*>(words_.data()), static_cast<std::streamsize>(elements_ * 4));
        } else {
            for (std::size_t i = 0; i < elements_; ++i) shorts_[i] = fromLittleEndian(toInt16(slice[i]));
            out.write(reinterpret_cast<const char*>(shorts_.data()), static_cast<std::streamsize>(elements_ * 2));
        }
    }

private:
    std::size_t elements_;
    bool floats_;
    std::vector<std::uint32_t> words_;
    std::vector<std::int16_t> shorts_;
};

// Calls visit(volume, z) for every slice image in the file order of the layout; a stop
// request ends it between two slices.
template <class Visit>
void forEachSlice(Layout layout, int volumes, int nz, Visit visit)
{
    if (layout == Layout::SliceMajor) {
        for (int z = 0; z < nz; ++z)
            for (int v = 0; v < volumes; ++v) {
                throwIfStopRequested();
                visit(v, z);
            }
    } else {
        for (int v = 0; v < volumes; ++v)
            for (int z = 0; z < nz; ++z) {
                throwIfStopRequested();
                visit(v, z);
            }
    }
}

// Opens the data file of h for reading, with the checks and messages of loading it;
// returns the extents that the header gives.
DataExtents openVoxelData(const ProjectHeader& h, const DataFile& kind, std::ifstream& in)
{
    const std::string path = h.dataFilePath(kind.extension);
    std::error_code ignored;
    if (!std::filesystem::is_directory(path, ignored)) in.open(path, std::ios::binary);
    // A header without Prefix names its data file by the extension alone: the message then
    // names the header too.
    if (!in.is_open())
        throw OpenFileError(kind.openForReadingMessage + path +
                            (h.Prefix.value.empty() ? " (the data file of " + h.fileName + ", whose header gives no Prefix)"
                                                    : ""));
    if (kind.layout == Layout::VolumeMajor && h.DataStorageFormat.value != 3)
        throw ReadFileError("Can only read DataStorageFormat 3, Not " + std::to_string(h.DataStorageFormat.value));

    const DataExtents e = dataExtents(h);
    const std::uint64_t actual = fileSize(in);
    if (actual < e.fileBytes)
        throw ReadFileError("Data file " + path + " is too short: the header promises " + std::to_string(e.fileBytes) +
                            " bytes, the file holds " + std::to_string(actual));
    // Extra bytes mean that the header's extents or volume count do not describe the file.
    // A header without volumes reads none; the tasks report such a project themselves.
    if (actual > e.fileBytes && e.volumes > 0)
        throw ReadFileError("Data file " + path + " is too long: the header promises " + std::to_string(e.fileBytes) +
                            " bytes, the file holds " + std::to_string(actual));
    return e;
}

void loadVolumes(ProjectHeader& h, const DataFile& kind)
{
    const std::string path = h.dataFilePath(kind.extension);
    std::ifstream in;
    const DataExtents e = openVoxelData(h, kind, in);

    h.volumes.clear();
    h.volumes.reserve(static_cast<std::size_t>(e.volumes));
    for (int v = 0; v < e.volumes; ++v) h.volumes.emplace_back(e.nx, e.ny, e.nz);

    SliceBuffer buffer(e.sliceElements, floatElements(h));
    forEachSlice(kind.layout, e.volumes, e.nz, [&](int v, int z) {
        if (!buffer.read(in, h.volumes[v].data() + static_cast<std::size_t>(z) * e.sliceElements))
            throw ReadFileError("error reading from binary file " + path);
    });
}

// A write to path failed: the message, and why when the disk is full. Called at once, while
// errno still tells.
[[noreturn]] void writeFailed(const std::string& message, const std::string& path)
{
    const int error = errno;
    throw WriteFileError(message + diskFullNote(path, error));
}

// Writes the header text under the staged file's temporary name; the caller commits it
// once the data are written too, so that no header stands without its data.
void writeHeaderFile(const ProjectHeader& h, const StagedFile& file, const auto& writeText)
{
    std::ofstream out(file.writePath(), file.writeMode() | std::ios::binary);
    if (!out.is_open()) writeFailed("Cannot Create file: " + h.fileName, h.fileName);
    writeText(out);
    out.close();
    if (out.fail()) writeFailed("error writing to file " + h.fileName, h.fileName);
}

// Every volume must have the header's extent, so that the file holds what it promises.
void checkVolumesMatchHeader(const ProjectHeader& h, const std::string& path, const std::vector<Volume>& volumes)
{
    const Dimensions expected{h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value};
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const Dimensions d = volumes[v].dimensions();
        if (d != expected)
            throw WriteFileError("Cannot write " + path + ": volume " + std::to_string(v) + " has extent " +
                                 std::to_string(d.x) + " x " + std::to_string(d.y) + " x " + std::to_string(d.z) +
                                 ", the header gives " + std::to_string(expected.x) + " x " +
                                 std::to_string(expected.y) + " x " + std::to_string(expected.z));
    }
}

template <class Header>
void writeHeaderAndData(Header& h, const DataFile& kind)
{
    if (!h.volumes.empty()) h.NrOfVolumes.value = static_cast<std::int32_t>(h.volumes.size());
    const std::string path = h.dataFilePath(kind.extension);
    checkVolumesMatchHeader(h, path, h.volumes);

    StagedFile header(h.fileName);
    writeHeaderFile(h, header, [&](std::ostream& out) { h.writeHeaderText(out); });
    if (h.volumes.empty()) {
        header.commit();
        return;
    }

    StagedFile data(path);
    std::ofstream out(data.writePath(), data.writeMode() | std::ios::binary);
    if (!out.is_open()) writeFailed(kind.openForWritingMessage + path, path);
    const std::size_t sliceElements =
        static_cast<std::size_t>(h.ResolutionX.value) * static_cast<std::size_t>(h.ResolutionY.value);
    SliceBuffer buffer(sliceElements, floatElements(h));
    forEachSlice(kind.layout, h.NrOfVolumes.value, h.NrOfSlices.value, [&](int v, int z) {
        buffer.write(out, h.volumes[v].data() + static_cast<std::size_t>(z) * sliceElements);
        if (!out) writeFailed("error writing to binary file " + path, path);
    });
    out.close();
    if (out.fail()) writeFailed("error writing to binary file " + path, path);
    data.commit();
    header.commit();
}

template <class Header>
void saveUnderNewName(Header& h, const std::string& newName)
{
    if (h.volumes.empty()) h.loadVoxelData();
    h.fileName = newName;
    h.Prefix.value = stripExtension(fileNamePart(newName));
    h.writeWithData();
}

// Byte offset of slice z of volume v in a data file of the layout.
std::uint64_t sliceOffset(Layout layout, const DataExtents& e, std::size_t elementBytes, int v, int z)
{
    const std::uint64_t slice = layout == Layout::SliceMajor
                                    ? static_cast<std::uint64_t>(z) * static_cast<std::uint64_t>(e.volumes) + v
                                    : static_cast<std::uint64_t>(v) * static_cast<std::uint64_t>(e.nz) + z;
    return slice * e.sliceElements * elementBytes;
}

// Volumes moved through memory at a time when a copy is streamed: enough for long reads
// and writes, little against the project.
constexpr std::size_t kStreamBytes = std::size_t{4} << 20;

// Volumes of the data moved through memory at a time: kStreamBytes' worth, at least one.
int streamBlockVolumes(const DataExtents& e)
{
    const std::size_t volumeBytes = std::max<std::size_t>(1, e.sliceElements * static_cast<std::size_t>(e.nz) * sizeof(float));
    return static_cast<int>(std::clamp<std::size_t>(kStreamBytes / volumeBytes, 1, static_cast<std::size_t>(std::max(e.volumes, 1))));
}

// Where the last read or write of a data file ended (-1: not known yet). Slices are read and
// written at their offsets; a seek is needed only where the next slice does not follow, and
// asking the stream where it stands would cost a system call for every slice.
struct StreamPosition {
    std::streamoff at = -1;
};

// Slices z..z+depth-1 of volumes first..first+count-1 of a data file as volumes of depth
// slices each.
void readSlab(std::istream& in, StreamPosition& position, const std::string& path, Layout layout, const DataExtents& e,
              std::size_t elementBytes, SliceBuffer& buffer, int z, int depth, int first, int count,
              std::vector<Volume>& slabs)
{
    slabs.clear();
    for (int v = 0; v < count; ++v) slabs.emplace_back(e.nx, e.ny, depth);
    const auto sliceBytes = static_cast<std::streamoff>(e.sliceElements * elementBytes);
    forEachSlice(layout, count, depth, [&](int v, int k) {
        const std::streamoff at = static_cast<std::streamoff>(sliceOffset(layout, e, elementBytes, first + v, z + k));
        if (position.at != at) in.seekg(at);
        position.at = -1;
        if (!buffer.read(in, slabs[static_cast<std::size_t>(v)].data() + static_cast<std::size_t>(k) * e.sliceElements))
            throw ReadFileError("error reading from binary file " + path);
        position.at = at + sliceBytes;
    });
}

// Writes volumes first..first+count-1 of slabs (depth slices each, from slice z) at their
// places in a data file.
void writeSlab(std::ostream& out, StreamPosition& position, const std::string& path, Layout layout, const DataExtents& e,
               std::size_t elementBytes, SliceBuffer& buffer, int z, int depth, int first, const std::vector<Volume>& slabs)
{
    const auto sliceBytes = static_cast<std::streamoff>(e.sliceElements * elementBytes);
    forEachSlice(layout, static_cast<int>(slabs.size()), depth, [&](int v, int k) {
        const std::streamoff at = static_cast<std::streamoff>(sliceOffset(layout, e, elementBytes, first + v, z + k));
        if (position.at != at) out.seekp(at);
        position.at = -1;
        buffer.write(out, slabs[static_cast<std::size_t>(v)].data() + static_cast<std::size_t>(k) * e.sliceElements);
        if (!out) writeFailed("error writing to binary file " + path, path);
        position.at = at + sliceBytes;
    });
}

// Writes the header (under its fileName) and its data file at path a block of volumes at
// a time, each block at its place in the file. The header is written with the first
// block, so that a copy whose first block could not be made leaves nothing behind; both
// files appear at finish().
template <class Header>
class BlockWriter {
public:
    BlockWriter(Header& h, const DataFile& kind, const std::string& path)
        : h_(h), kind_(kind), path_(path), e_(dataExtents(h)), elementBytes_(elementSize(h)),
          buffer_(e_.sliceElements, floatElements(h)), header_(h.fileName), data_(path)
    {
    }

    const DataExtents& extents() const { return e_; }

    // Writes volumes first .. first + block.size() - 1.
    void write(int first, const std::vector<Volume>& block)
    {
        checkVolumesMatchHeader(h_, path_, block);
        if (!started_) {
            writeHeaderFile(h_, header_, [&](std::ostream& text) { h_.writeHeaderText(text); });
            out_.open(data_.writePath(), data_.writeMode() | std::ios::binary);
            if (!out_.is_open()) writeFailed(kind_.openForWritingMessage + path_, path_);
            started_ = true;
        }
        writeSlab(out_, position_, path_, kind_.layout, e_, elementBytes_, buffer_, 0, e_.nz, first, block);
    }

    void finish()
    {
        out_.close();
        if (out_.fail()) writeFailed("error writing to binary file " + path_, path_);
        data_.commit();
        header_.commit();
    }

private:
    Header& h_;
    const DataFile& kind_;
    std::string path_;
    DataExtents e_;
    std::size_t elementBytes_;
    SliceBuffer buffer_;
    StagedFile header_;
    StagedFile data_;
    std::ofstream out_;
    StreamPosition position_;
    bool started_ = false;
};

// Writes the header and data file at path with volumes made a block at a time by
// fill(first, block), block already holding the block's volumes at the header's extent.
template <class Header>
void writeBlocks(Header& h, const DataFile& kind, const std::string& path,
                 const std::function<void(int first, std::vector<Volume>& block)>& fill)
{
    BlockWriter<Header> writer(h, kind, path);
    const DataExtents& e = writer.extents();
    const int chunk = streamBlockVolumes(e);
    std::vector<Volume> block;
    for (int first = 0; first < e.volumes; first += chunk) {
        block.clear();
        for (int v = 0; v < std::min(chunk, e.volumes - first); ++v) block.emplace_back(e.nx, e.ny, e.nz);
        fill(first, block);
        writer.write(first, block);
    }
    writer.finish();
}

template <class Header>
void saveTransformedUnderNewName(Header& h, const DataFile& kind, const std::string& newName,
                                 const std::function<Volume(const Volume&)>& transform)
{
    std::ifstream in;
    const DataExtents e = openVoxelData(h, kind, in);
    const std::string source = h.dataFilePath(kind.extension);
    Header renamed = h;
    renamed.fileName = newName;
    renamed.Prefix.value = stripExtension(fileNamePart(newName));
    const std::string path = renamed.dataFilePath(kind.extension);
    std::error_code ignored;
    if (e.volumes == 0 || std::filesystem::equivalent(source, path, ignored)) {
        // Nothing to stream, or the copy would overwrite the data still to be read.
        in.close();
        loadVolumes(h, kind);
        forEachPiece(h.volumes.size(), [&](std::size_t v) { h.volumes[v] = transform(h.volumes[v]); });
        saveUnderNewName(h, newName);
        h.volumes.clear();
        return;
    }
    h = std::move(renamed);

    BlockWriter<Header> writer(h, kind, path);
    // At least a volume for each thread in a block, so that large volumes are transformed
    // side by side too.
    const int chunk = std::max(streamBlockVolumes(e), std::min(parallelThreads(), e.volumes));
    const int blocks = (e.volumes + chunk - 1) / chunk;
    const std::size_t elementBytes = elementSize(h);
    SliceBuffer readBuffer(e.sliceElements, floatElements(h));
    StreamPosition readPosition;
    const auto read = [&](int block, std::vector<Volume>& volumes) {
        const int first = block * chunk;
        readSlab(in, readPosition, source, kind.layout, e, elementBytes, readBuffer, 0, e.nz, first, std::min(chunk, e.volumes - first),
                 volumes);
    };

    // While the volumes of block b are transformed side by side, one piece writes block
    // b - 1 and another reads block b + 1, so that the file I/O overlaps the transforms.
    // A failed read is held back until block b is transformed: errors come in the order
    // of a single pass (write b - 1, transform b, read b + 1).
    std::vector<Volume> written, current, next;
    read(0, current);
    for (int b = 0; b < blocks; ++b) {
        std::exception_ptr readFailure;
        forEachPiece(current.size() + 2, [&](std::size_t piece) {
            if (piece == 0) {
                if (b > 0) writer.write((b - 1) * chunk, written);
            } else if (piece == 1) {
                if (b + 1 < blocks) {
                    try {
                        read(b + 1, next);
                    } catch (...) {
                        readFailure = std::current_exception();
                    }
                }
            } else {
                current[piece - 2] = transform(current[piece - 2]);
            }
        });
        if (readFailure) std::rethrow_exception(readFailure);
        std::swap(written, current);
        std::swap(current, next);
    }
    writer.write((blocks - 1) * chunk, written);
    writer.finish();
}

template <class Header>
void writeStreamedProject(Header& h, const DataFile& kind, const std::function<Volume(int)>& volume)
{
    if (h.NrOfVolumes.value <= 0) {
        h.writeWithData();
        return;
    }
    writeBlocks(h, kind, h.dataFilePath(kind.extension), [&](int first, std::vector<Volume>& block) {
        for (std::size_t v = 0; v < block.size(); ++v) block[v] = volume(first + static_cast<int>(v));
    });
}

// Streams two projects of the same extents slab by slab through combine into a copy of
// the first named newName: slices z..z+slicesAtATime-1 of at most volumesAtATime volumes
// of each at a time.
template <class Header>
void saveCombinedUnderNewName(Header& h, const Header& partner, const DataFile& kind, const std::string& newName,
                              const PairSlabCombine& combine, int volumesAtATime, int slicesAtATime)
{
    std::ifstream in, partnerIn;
    const DataExtents e = openVoxelData(h, kind, in);
    const DataExtents p = openVoxelData(partner, kind, partnerIn);
    if (p.nx != e.nx || p.ny != e.ny || p.nz != e.nz || p.volumes != e.volumes)
        throw ReadFileError("Cannot combine " + h.fileName + " with " + partner.fileName +
                            ": their extents or numbers of volumes differ");
    const std::string source = h.dataFilePath(kind.extension), partnerSource = partner.dataFilePath(kind.extension);
    Header renamed = h;
    renamed.fileName = newName;
    renamed.Prefix.value = stripExtension(fileNamePart(newName));
    const std::string path = renamed.dataFilePath(kind.extension);
    std::error_code ignored;
    if (std::filesystem::equivalent(source, path, ignored) || std::filesystem::equivalent(partnerSource, path, ignored))
        throw WriteFileError("Cannot write " + path + ": it holds data still to be read");
    h = std::move(renamed);

    StagedFile header(h.fileName);
    StagedFile data(path);
    writeHeaderFile(h, header, [&](std::ostream& text) { h.writeHeaderText(text); });
    std::ofstream out(data.writePath(), data.writeMode() | std::ios::binary);
    if (!out.is_open()) writeFailed(kind.openForWritingMessage + path, path);
    const bool floats = floatElements(h);
    const std::size_t elementBytes = elementSize(h), partnerBytes = elementSize(partner);
    SliceBuffer buffer(e.sliceElements, floats), partnerBuffer(e.sliceElements, floatElements(partner));
    const int block = std::max(1, volumesAtATime);
    const int slab = std::clamp(slicesAtATime, 1, std::max(e.nz, 1));
    // The pieces in the order of the file: slab by slab, and block by block within a slab.
    struct Piece {
        int z, depth, first, count;
        std::vector<Volume> slabs, partnerSlabs;
    };
    std::vector<Piece> pieces;
    for (int z = 0; z < e.nz; z += slab)
        for (int first = 0; first < e.volumes; first += block)
            pieces.push_back({z, std::min(slab, e.nz - z), first, std::min(block, e.volumes - first), {}, {}});
    StreamPosition inPosition, partnerPosition, outPosition;
    SliceBuffer writeBuffer(e.sliceElements, floats);
    const auto read = [&](Piece& piece) {
        readSlab(in, inPosition, source, kind.layout, e, elementBytes, buffer, piece.z, piece.depth, piece.first,
                 piece.count, piece.slabs);
        readSlab(partnerIn, partnerPosition, partnerSource, kind.layout, p, partnerBytes, partnerBuffer, piece.z,
                 piece.depth, piece.first, piece.count, piece.partnerSlabs);
    };
    const auto write = [&](Piece& piece) {
        writeSlab(out, outPosition, path, kind.layout, e, elementBytes, writeBuffer, piece.z, piece.depth, piece.first,
                  piece.slabs);
        piece.slabs.clear();
        piece.partnerSlabs.clear();
    };
    const auto combined = [&](Piece& piece) {
        combine(piece.z, piece.first, piece.slabs, piece.partnerSlabs);
        if (piece.slabs.size() != static_cast<std::size_t>(piece.count))
            throw WriteFileError("Cannot write " + path + ": the block of volumes from " +
                                 std::to_string(piece.first) + " changed its size");
        for (int v = 0; v < piece.count; ++v) {
            const Volume& part = piece.slabs[static_cast<std::size_t>(v)];
            if (part.nx() != e.nx || part.ny() != e.ny || part.nz() != piece.depth)
                throw WriteFileError("Cannot write " + path + ": slice " + std::to_string(piece.z) + " of volume " +
                                     std::to_string(piece.first + v) + " changed its extent");
        }
    };

    // While piece n is combined on the calling thread (and whichever threads are free),
    // background work writes piece n - 1 and then reads piece n + 1, so that the file I/O
    // overlaps the combination. Errors come in the order of a single pass: writing n - 1,
    // combining n, reading n + 1.
    if (!pieces.empty()) {
        throwIfStopRequested();
        read(pieces.front());
    }
    for (std::size_t n = 0; n < pieces.size(); ++n) {
        throwIfStopRequested();
        std::exception_ptr readFailure, combineFailure;
        BackgroundWork io([&] {
            if (n > 0) write(pieces[n - 1]);
            if (n + 1 < pieces.size()) {
                try {
                    read(pieces[n + 1]);
                } catch (...) {
                    readFailure = std::current_exception();
                }
            }
        });
        try {
            combined(pieces[n]);
        } catch (...) {
            combineFailure = std::current_exception();
        }
        io.join();
        if (combineFailure) std::rethrow_exception(combineFailure);
        if (readFailure) std::rethrow_exception(readFailure);
    }
    if (!pieces.empty()) write(pieces.back());
    out.close();
    if (out.fail()) writeFailed("error writing to binary file " + path, path);
    data.commit();
    header.commit();
}

} // namespace

std::string savedDataFilePath(const std::string& newName)
{
    const DataFile& kind = hasExtension(newName, "fmr") ? kStcFile : kDwiFile;
    return directoryPart(newName) + stripExtension(fileNamePart(newName)) + kind.extension;
}

std::string projectDataFilePath(const std::string& path)
{
    try {
        if (hasExtension(path, "fmr")) return readFmrHeader(path, false).dataFilePath(kStcFile.extension);
        return readDmrHeader(path, false).dataFilePath(kDwiFile.extension);
    } catch (const IOError&) {
        return "";
    }
}

void FmrHeader::loadVoxelData()
{
    loadVolumes(*this, kStcFile);
}

void FmrHeader::writeWithData()
{
    writeHeaderAndData(*this, kStcFile);
}

void FmrHeader::saveAs(const std::string& newName)
{
    saveUnderNewName(*this, newName);
}

void DmrHeader::loadVoxelData()
{
    loadVolumes(*this, kDwiFile);
}

void DmrHeader::writeWithData()
{
    writeHeaderAndData(*this, kDwiFile);
}

void DmrHeader::saveAs(const std::string& newName)
{
    saveUnderNewName(*this, newName);
}

void saveTransformedAs(FmrHeader& h, const std::string& newName, const std::function<Volume(const Volume&)>& transform)
{
    saveTransformedUnderNewName(h, kStcFile, newName, transform);
}

void saveTransformedAs(DmrHeader& h, const std::string& newName, const std::function<Volume(const Volume&)>& transform)
{
    saveTransformedUnderNewName(h, kDwiFile, newName, transform);
}

namespace {

template <class Header>
void visitVolumes(const Header& h, const DataFile& kind, const std::function<void(int, const Volume&)>& visit)
{
    std::ifstream in;
    const DataExtents e = openVoxelData(h, kind, in);
    const std::string source = h.dataFilePath(kind.extension);
    const std::size_t elementBytes = elementSize(h);
    const int chunk = streamBlockVolumes(e);
    SliceBuffer buffer(e.sliceElements, floatElements(h));
    StreamPosition position;
    std::vector<Volume> block;
    for (int first = 0; first < e.volumes; first += chunk) {
        const int count = std::min(chunk, e.volumes - first);
        readSlab(in, position, source, kind.layout, e, elementBytes, buffer, 0, e.nz, first, count, block);
        for (int v = 0; v < count; ++v) visit(first + v, block[static_cast<std::size_t>(v)]);
    }
}

}  // namespace

void forEachVolume(const FmrHeader& h, const std::function<void(int, const Volume&)>& visit)
{
    visitVolumes(h, kStcFile, visit);
}

void forEachVolume(const DmrHeader& h, const std::function<void(int, const Volume&)>& visit)
{
    visitVolumes(h, kDwiFile, visit);
}

void writeStreamed(FmrHeader& h, const std::function<Volume(int)>& volume)
{
    writeStreamedProject(h, kStcFile, volume);
}

void writeStreamed(DmrHeader& h, const std::function<Volume(int)>& volume)
{
    writeStreamedProject(h, kDwiFile, volume);
}

void checkVoxelData(const FmrHeader& h)
{
    std::ifstream in;
    openVoxelData(h, kStcFile, in);
}

void checkVoxelData(const DmrHeader& h)
{
    std::ifstream in;
    openVoxelData(h, kDwiFile, in);
}

void saveCombinedAs(FmrHeader& first, const FmrHeader& second, const std::string& newName,
                    const PairSlabCombine& combine, int volumesAtATime, int slicesAtATime)
{
    saveCombinedUnderNewName(first, second, kStcFile, newName, combine, volumesAtATime, slicesAtATime);
}

void saveCombinedAs(DmrHeader& first, const DmrHeader& second, const std::string& newName,
                    const PairSlabCombine& combine, int volumesAtATime, int slicesAtATime)
{
    saveCombinedUnderNewName(first, second, kDwiFile, newName, combine, volumesAtATime, slicesAtATime);
}
