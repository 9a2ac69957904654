// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzzsupport.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

class ScratchFolder {
public:
    ScratchFolder()
    {
        // Every execution writes and reads files: in memory when the system offers it.
        std::error_code ignored;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ignored)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "varno-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder");
        path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

int smallExtent(std::uint8_t byte)
{
    return static_cast<std::int8_t>(byte) % 9;
}

template <class Field>
Field present(const char* name, decltype(Field::value) value)
{
    Field field;
    field.name = name;
    field.value = value;
    field.valueColumn = 30;
    field.present = true;
    return field;
}

void fillCommon(ProjectHeader& h, const VoxelDataChoice& choice, const std::string& fileName)
{
    h.fileName = fileName;
    h.FileVersion = present<IntField>("FileVersion", choice.diffusion ? 3 : 7);
    h.NrOfVolumes = present<IntField>("NrOfVolumes", choice.volumes);
    h.NrOfSlices = present<IntField>("NrOfSlices", choice.nz);
    h.Prefix.name = "Prefix";
    h.Prefix.value = "data";
    h.Prefix.valueColumn = 30;
    h.Prefix.quoted = true;
    h.Prefix.present = true;
    h.DataStorageFormat = present<IntField>("DataStorageFormat", choice.storageFormat);
    h.DataType = present<IntField>("DataType", choice.dataType);
    h.ResolutionX = present<IntField>("ResolutionX", choice.nx);
    h.ResolutionY = present<IntField>("ResolutionY", choice.ny);
}

}  // namespace

const std::string& fuzzScratchFolder()
{
    static const ScratchFolder folder;
    return folder.path;
}

void writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

VoxelDataChoice decodeVoxelDataChoice(const std::uint8_t* data)
{
    VoxelDataChoice choice;
    choice.diffusion = (data[0] & 1) != 0;
    choice.nx = smallExtent(data[1]);
    choice.ny = smallExtent(data[2]);
    choice.nz = smallExtent(data[3]);
    choice.volumes = smallExtent(data[4]);
    choice.dataType = data[5] % 4;
    choice.storageFormat = data[6] % 5;
    return choice;
}

std::string encodeVoxelDataChoice(const VoxelDataChoice& choice)
{
    const auto byte = [](int value) { return static_cast<char>(static_cast<std::uint8_t>(value)); };
    return {byte(choice.diffusion ? 1 : 0), byte(choice.nx),         byte(choice.ny),           byte(choice.nz),
            byte(choice.volumes),           byte(choice.dataType), byte(choice.storageFormat)};
}

FmrHeader makeFmrRecord(const VoxelDataChoice& choice, const std::string& fileName)
{
    FmrHeader h;
    fillCommon(h, choice, fileName);
    return h;
}

DmrHeader makeDmrRecord(const VoxelDataChoice& choice, const std::string& fileName)
{
    DmrHeader h;
    fillCommon(h, choice, fileName);
    return h;
}
