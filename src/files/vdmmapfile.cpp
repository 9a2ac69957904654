#include "files/vdmmapfile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "files/binaryio.h"
#include "files/fileerrors.h"

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

VdmMapFile readVdmMapFile(const std::string& fileName, bool loadData)
{
    std::ifstream in;
    std::error_code ignored;
    if (!std::filesystem::is_directory(fileName, ignored)) in.open(fileName, std::ios::binary);
    if (!in.is_open()) throw OpenFileError("could not open file " + fileName);

    VdmMapFile file;
    file.fileName = fileName;
    file.kindWord = readUInt16(in);
    file.formatVersion = file.kindWord / 10000;
    file.nz = readUInt16(in);
    if (file.nz == 0) file.nz = file.kindWord % 10000;
    file.ny = readUInt16(in);
    file.nx = readUInt16(in);
    file.fifthHeaderWord = readUInt16(in);
    file.firstHeaderFloat = readFloat32(in);
    file.secondHeaderFloat = readFloat32(in);
    if (file.formatVersion == 2) file.version2Word = readUInt16(in);
    file.nextHeaderWord = readUInt16(in);
    file.countWord = readUInt16(in);
    if (file.countWord >= 3) {
        file.firstExtraInteger = readInt32(in);
        file.secondExtraInteger = readInt32(in);
    }
    file.text = readCString(in);

    if (loadData) {
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
    return file;
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
    std::ofstream out(file.fileName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) throw WriteFileError("Failed opening for writing: " + file.fileName);

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
    if (out.fail()) throw WriteFileError("error writing to binary file " + file.fileName);
}
