// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/vdmmapfile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "files/binaryio.h"
#include "files/diskspace.h"
#include "files/fileerrors.h"
#include "files/stagedfile.h"

namespace {

constexpr int kCurrentKindWord = 20000;
constexpr int kExtraIntegersCount = 3;

void requireWord(const VdmMapFile& file, const char* what, int value, int low)
{
    if (value < low || value > 0xFFFF)
        throw std::invalid_argument("Cannot write map " + file.fileName + ": " + what + " " + std::to_string(value) +
                                    " does not fit " + std::to_string(low) + "..65535");
}

void validateForWriting(const VdmMapFile& file)
{
    requireWord(file, "kind word", file.kindWord, 0);
    requireWord(file, "slice count", file.nz, 1);
    requireWord(file, "row count", file.ny, 1);
    requireWord(file, "column count", file.nx, 1);
    requireWord(file, "fifth header word", file.fifthHeaderWord, 0);
    requireWord(file, "version-2 word", file.version2Word, 0);
    requireWord(file, "next header word", file.nextHeaderWord, 0);
    requireWord(file, "count word", file.countWord, 0);
    if (file.text.empty() || file.text.find('\0') != std::string::npos)
        throw std::invalid_argument("Cannot write map " + file.fileName +
                                    ": the text must hold at least one character and no NUL");
    const Dimensions extent = file.map.dimensions();
    if (extent != Dimensions{file.nx, file.ny, file.nz})
        throw std::invalid_argument("Cannot write map " + file.fileName + ": the map's extent " +
                                    std::to_string(extent.x) + " x " + std::to_string(extent.y) + " x " +
                                    std::to_string(extent.z) + " differs from the header's " +
                                    std::to_string(file.nx) + " x " + std::to_string(file.ny) + " x " +
                                    std::to_string(file.nz));
}

// Bytes from the stream's position to its end.
std::uint64_t remainingBytes(std::istream& in)
{
    const std::streamoff here = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(here, std::ios::beg);
    return here < 0 || end < here ? 0 : static_cast<std::uint64_t>(end - here);
}

} // namespace

namespace {

// Where a read of a map file stands: the field being read and the byte where it starts.
struct ReadPosition {
    std::string field;
    std::uint64_t offset = 0;
};

// Reads into file, field by field, keeping at up to date so that a failure can be told.
void readMap(const std::string& fileName, bool loadData, VdmMapFile& file, ReadPosition& at)
{
    std::ifstream in;
    std::error_code ignored;
    if (!std::filesystem::is_directory(fileName, ignored)) in.open(fileName, std::ios::binary);
    if (!in.is_open()) throw OpenFileError("could not open file " + fileName);
    const auto field = [&](const char* name) {
        at.field = name;
        at.offset = static_cast<std::uint64_t>(std::max<std::streamoff>(0, in.tellg()));
    };

    file.fileName = fileName;
    field("kind word");
    file.kindWord = readUInt16(in);
    file.formatVersion = file.kindWord / 10000;
    field("slice count");
    file.nz = readUInt16(in);
    if (file.nz == 0) file.nz = file.kindWord % 10000;
    field("row count");
    file.ny = readUInt16(in);
    field("column count");
    file.nx = readUInt16(in);
    field("fifth header word");
    file.fifthHeaderWord = readUInt16(in);
    field("first header float");
    file.firstHeaderFloat = readFloat32(in);
    field("second header float");
    file.secondHeaderFloat = readFloat32(in);
    field("version-2 word");
    if (file.formatVersion == 2) file.version2Word = readUInt16(in);
    field("next header word");
    file.nextHeaderWord = readUInt16(in);
    field("count word");
    file.countWord = readUInt16(in);
    field("extra integers");
    if (file.countWord >= 3) {
        file.firstExtraInteger = readInt32(in);
        file.secondExtraInteger = readInt32(in);
    }
    field("text");
    file.text = readCString(in);

    if (loadData) {
        field("slices");
        const std::size_t sliceSize = static_cast<std::size_t>(file.nx) * static_cast<std::size_t>(file.ny);
        // A file too short for its extents fails here, before a map of that size is allocated.
        const std::uint64_t sliceBytes = 2 + 4 * static_cast<std::uint64_t>(sliceSize);
        if (remainingBytes(in) < sliceBytes * static_cast<std::uint64_t>(file.nz))
            throw ReadFileError("error reading from binary file");
        file.map = Volume(file.nx, file.ny, file.nz);
        for (int z = 0; z < file.nz; ++z) {
            readUInt16(in);
            readFloat32Array(in, file.map.data() + static_cast<std::size_t>(z) * sliceSize, sliceSize);
        }
    }
}

char byteAt(const std::string& fileName, std::uint64_t offset)
{
    std::ifstream in(fileName, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    in.get(byte);
    return byte;
}

std::uint64_t sizeOfFile(const std::string& fileName)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(fileName, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace

VdmMapFile readVdmMapFile(const std::string& fileName, bool loadData)
{
    VdmMapFile file;
    ReadPosition at;
    readMap(fileName, loadData, file, at);
    return file;
}

std::string vdmMapFileProblem(const std::string& fileName)
{
    VdmMapFile file;
    ReadPosition at;
    try {
        readMap(fileName, true, file, at);
    } catch (const OpenFileError&) {
        return fileName + " cannot be opened as a file";
    } catch (const ReadFileError&) {
        const std::uint64_t size = sizeOfFile(fileName);
        if (size == 0) return "the map " + fileName + " is empty";
        const std::string bytes = std::to_string(size) + (size == 1 ? " byte" : " bytes");
        if (at.field == "slices") {
            const std::uint64_t promised = static_cast<std::uint64_t>(file.nz) *
                                           (2 + 4 * static_cast<std::uint64_t>(file.nx) * static_cast<std::uint64_t>(file.ny));
            return "the map " + fileName + " ends early: its header promises " + std::to_string(file.nz) +
                   " slices of " + std::to_string(file.nx) + " x " + std::to_string(file.ny) + " values (" +
                   std::to_string(promised) + " bytes after the text), the file holds " +
                   std::to_string(size - std::min(size, at.offset));
        }
        if (at.field == "text" && size > at.offset)
            return "the map " + fileName + " has " +
                   (byteAt(fileName, at.offset) == '\0' ? "an empty text at byte " + std::to_string(at.offset) +
                                                                        "; a map's text holds at least one character"
                                                                  : "a text from byte " + std::to_string(at.offset) +
                                                                        " that no NUL byte ends");
        return "the map " + fileName + " ends inside its header: it holds " + bytes + ", and its " + at.field +
               " starts at byte " + std::to_string(at.offset);
    }
    return "";
}

Volume readFiniteVdmMap(const std::string& fileName)
{
    Volume map;
    try {
        map = readVdmMapFile(fileName, true).map;
    } catch (const ReadFileError&) {
        throw ReadFileError(vdmMapFileProblem(fileName));
    }
    std::size_t nonFinite = 0;
    for (std::size_t i = 0; i < map.size(); ++i) nonFinite += std::isfinite(map[i]) ? 0 : 1;
    if (nonFinite > 0)
        throw std::runtime_error("The map " + fileName + " holds " + std::to_string(nonFinite) + " voxels (of " +
                                 std::to_string(map.size()) + ") that are not finite numbers.");
    return map;
}

VdmMapFile makeVdmMapFile(const std::string& fileName, Volume map)
{
    VdmMapFile file;
    file.fileName = fileName;
    file.kindWord = kCurrentKindWord;
    file.formatVersion = kCurrentKindWord / 10000;
    file.nx = map.nx();
    file.ny = map.ny();
    file.nz = map.nz();
    file.fifthHeaderWord = 1;
    file.firstHeaderFloat = 1.0f;
    file.secondHeaderFloat = 5.0f;
    file.countWord = kExtraIntegersCount;
    file.text = "voxel displacement map";
    file.map = std::move(map);
    return file;
}

void writeVdmMapFile(const VdmMapFile& file)
{
    validateForWriting(file);
    StagedFile staged(file.fileName);
    std::ofstream out(staged.writePath(), staged.writeMode() | std::ios::binary);
    if (!out.is_open()) {
        const int error = errno;
        throw WriteFileError("Failed opening for writing: " + file.fileName + diskFullNote(file.fileName, error));
    }

    writeUInt16(out, file.kindWord);
    writeUInt16(out, file.nz);
    writeUInt16(out, file.ny);
    writeUInt16(out, file.nx);
    writeUInt16(out, file.fifthHeaderWord);
    writeFloat32(out, file.firstHeaderFloat);
    writeFloat32(out, file.secondHeaderFloat);
    if (file.kindWord / 10000 == 2) writeUInt16(out, file.version2Word);
    writeUInt16(out, file.nextHeaderWord);
    writeUInt16(out, file.countWord);
    if (file.countWord >= 3) {
        writeInt32(out, file.firstExtraInteger);
        writeInt32(out, file.secondExtraInteger);
    }
    writeCString(out, file.text);

    const std::size_t sliceSize = static_cast<std::size_t>(file.nx) * static_cast<std::size_t>(file.ny);
    for (int z = 0; z < file.nz; ++z) {
        writeUInt16(out, z);
        writeFloat32Array(out, file.map.data() + static_cast<std::size_t>(z) * sliceSize, sliceSize);
    }
    out.close();
    if (out.fail()) {
        const int error = errno;
        throw WriteFileError("error writing to binary file " + file.fileName + diskFullNote(file.fileName, error));
    }
    staged.commit();
}
