// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>

#include "files/fileerrors.h"
#include "files/vdmmapfile.h"
#include "support/datasetfiles.h"

namespace {

// Little-endian bytes of a hand-made ".map" file.
class MapBytes {
public:
    MapBytes& u16(int v)
    {
        bytes_ += static_cast<char>(v & 0xFF);
        bytes_ += static_cast<char>((v >> 8) & 0xFF);
        return *this;
    }
    MapBytes& i32(std::int32_t v)
    {
        const auto u = static_cast<std::uint32_t>(v);
        for (int b = 0; b < 4; ++b) bytes_ += static_cast<char>((u >> (8 * b)) & 0xFF);
        return *this;
    }
    MapBytes& f32(float v) { return i32(std::bit_cast<std::int32_t>(v)); }
    MapBytes& text(const std::string& t)
    {
        bytes_ += t;
        bytes_ += '\0';
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Header fields 1 to 13 of a map; the version-2 word and extras as the kind and count say.
MapBytes mapHeader(int kind, int slices, int ny, int nx, int countWord)
{
    MapBytes b;
    b.u16(kind).u16(slices).u16(ny).u16(nx).u16(17).f32(1.5f).f32(-2.25f);
    if (kind / 10000 == 2) b.u16(4242);
    b.u16(9).u16(countWord);
    if (countWord >= 3) b.i32(-123456).i32(654321);
    b.text("VDM");
    return b;
}

float voxelValue(int x, int y, int z)
{
    return static_cast<float>(x) - 0.5f * static_cast<float>(y) + 100.0f * static_cast<float>(z);
}

void appendSlices(MapBytes& b, int nx, int ny, int nz)
{
    for (int z = 0; z < nz; ++z) {
        b.u16(0xBEEF);
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) b.f32(voxelValue(x, y, z));
    }
}

std::string readError(const std::string& path, bool loadData)
{
    try {
        readVdmMapFile(path, loadData);
    } catch (const ReadFileError& e) {
        return e.what();
    }
    return "no exception";
}

} // namespace

TEST(VdmMapFile, OldKindWordCarriesTheSliceCount)
{
    ScratchDir dir;
    MapBytes b = mapHeader(20005, 0, 3, 4, 2);
    appendSlices(b, 4, 3, 5);
    writeFile(dir.file("old.map"), b.bytes());

    const VdmMapFile map = readVdmMapFile(dir.file("old.map"), true);
    EXPECT_EQ(map.fileName, dir.file("old.map"));
    EXPECT_EQ(map.kindWord, 20005);
    EXPECT_EQ(map.formatVersion, 2);
    EXPECT_EQ(map.nz, 5);
    EXPECT_EQ(map.ny, 3);
    EXPECT_EQ(map.nx, 4);
    EXPECT_EQ(map.fifthHeaderWord, 17);
    EXPECT_EQ(map.firstHeaderFloat, 1.5f);
    EXPECT_EQ(map.secondHeaderFloat, -2.25f);
    EXPECT_EQ(map.version2Word, 4242);
    EXPECT_EQ(map.nextHeaderWord, 9);
    EXPECT_EQ(map.countWord, 2);
    EXPECT_EQ(map.firstExtraInteger, 0);
    EXPECT_EQ(map.text, "VDM");
    ASSERT_EQ(map.map.dimensions(), (Dimensions{4, 3, 5}));
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) ASSERT_EQ(map.map(x, y, z), voxelValue(x, y, z));
}

TEST(VdmMapFile, CountWordDecidesTheExtraIntegers)
{
    ScratchDir dir;
    for (const int countWord : {2, 3, 7}) {
        MapBytes b = mapHeader(10000, 2, 2, 3, countWord);
        appendSlices(b, 3, 2, 2);
        writeFile(dir.file("c.map"), b.bytes());
        const VdmMapFile map = readVdmMapFile(dir.file("c.map"), true);
        SCOPED_TRACE(countWord);
        EXPECT_EQ(map.formatVersion, 1);
        EXPECT_EQ(map.version2Word, 0);
        EXPECT_EQ(map.firstExtraInteger, countWord >= 3 ? -123456 : 0);
        EXPECT_EQ(map.secondExtraInteger, countWord >= 3 ? 654321 : 0);
        EXPECT_EQ(map.map(2, 1, 1), voxelValue(2, 1, 1));
    }
}

TEST(VdmMapFile, SliceDataSizeIsExactAndCheckedOnlyWhenLoaded)
{
    ScratchDir dir;
    const int nx = 6, ny = 5, nz = 4;
    const MapBytes header = mapHeader(20000, nz, ny, nx, 3);
    MapBytes full = header;
    appendSlices(full, nx, ny, nz);
    ASSERT_EQ(full.bytes().size() - header.bytes().size(), static_cast<std::size_t>(nz * (2 + 4 * nx * ny)));

    writeFile(dir.file("short.map"), full.bytes().substr(0, full.bytes().size() - 1));
    EXPECT_EQ(readError(dir.file("short.map"), true), "error reading from binary file");

    writeFile(dir.file("header.map"), header.bytes());
    const VdmMapFile headerOnly = readVdmMapFile(dir.file("header.map"), false);
    EXPECT_EQ(headerOnly.nz, nz);
    EXPECT_EQ(headerOnly.map.size(), 0u);
    EXPECT_EQ(readError(dir.file("header.map"), true), "error reading from binary file");
}

// A header promising far more slices than the file holds is refused before the map is
// allocated: 65535 cubed floats could not be allocated at all.
TEST(VdmMapFile, EnormousExtentsOfAShortFileAreAReadError)
{
    ScratchDir dir;
    writeFile(dir.file("huge.map"), mapHeader(20000, 65535, 65535, 65535, 3).bytes());
    EXPECT_EQ(readError(dir.file("huge.map"), true), "error reading from binary file");
    EXPECT_EQ(readVdmMapFile(dir.file("huge.map"), false).nx, 65535);
}

TEST(VdmMapFile, DirectoryCannotBeOpened)
{
    ScratchDir dir;
    std::string message = "no exception";
    try {
        readVdmMapFile(dir.path(), true);
    } catch (const OpenFileError& e) {
        message = e.what();
    }
    EXPECT_EQ(message, "could not open file " + dir.path());
}

TEST(VdmMapFile, BrokenHeadersAreReadErrors)
{
    ScratchDir dir;
    const std::string header = mapHeader(20000, 1, 1, 1, 3).bytes();
    for (const std::size_t cut : std::initializer_list<std::size_t>{0, 1, 9, 20, header.size() - 1}) {
        writeFile(dir.file("cut.map"), header.substr(0, cut));
        EXPECT_EQ(readError(dir.file("cut.map"), false), "error reading from binary file") << "cut at " << cut;
    }
    MapBytes emptyText;
    emptyText.u16(10000).u16(1).u16(1).u16(1).u16(0).f32(0).f32(0).u16(0).u16(0).text("");
    emptyText.u16(0).f32(1.0f);
    writeFile(dir.file("empty.map"), emptyText.bytes());
    EXPECT_EQ(readError(dir.file("empty.map"), false), "error reading from binary file");

    try {
        readVdmMapFile(dir.file("none.map"), true);
        FAIL() << "no exception";
    } catch (const OpenFileError& e) {
        EXPECT_EQ(std::string(e.what()), "could not open file " + dir.file("none.map"));
    }
}

TEST(VdmMapFile, WrittenMapReadsBackVoxelForVoxel)
{
    ScratchDir dir;
    Volume vdm(7, 5, 3);
    std::mt19937 random(1234u);
    std::normal_distribution<float> shifts(0.0f, 2.0f);
    for (std::size_t i = 0; i < vdm.size(); ++i) vdm[i] = shifts(random);

    VdmMapFile written = makeVdmMapFile(dir.file("run1_vdm.map"), vdm);
    written.firstExtraInteger = -5;
    written.version2Word = 77;
    writeVdmMapFile(written);

    const VdmMapFile read = readVdmMapFile(dir.file("run1_vdm.map"), true);
    EXPECT_EQ(read.formatVersion, 2);
    EXPECT_EQ(read.version2Word, 77);
    EXPECT_EQ(read.firstExtraInteger, -5);
    EXPECT_EQ(read.firstHeaderFloat, 1.0f);
    EXPECT_EQ(read.secondHeaderFloat, 5.0f);
    EXPECT_FALSE(read.text.empty());
    ASSERT_EQ(read.map.dimensions(), vdm.dimensions());
    for (std::size_t i = 0; i < vdm.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(read.map[i]), std::bit_cast<std::uint32_t>(vdm[i])) << i;

    // Version 1 without extras: neither the version-2 word nor the extras are written.
    VdmMapFile plain = makeVdmMapFile(dir.file("plain.map"), vdm);
    plain.kindWord = 10000;
    plain.countWord = 2;
    writeVdmMapFile(plain);
    EXPECT_EQ(std::filesystem::file_size(dir.file("plain.map")),
              std::filesystem::file_size(dir.file("run1_vdm.map")) - 2 - 8);
    EXPECT_EQ(readVdmMapFile(dir.file("plain.map"), true).map(6, 4, 2), vdm(6, 4, 2));
}

TEST(VdmMapFile, WriterRefusesWhatTheReaderCannotTakeBack)
{
    ScratchDir dir;
    const VdmMapFile good = makeVdmMapFile(dir.file("x.map"), Volume(2, 2, 2, 0.0f));
    auto refused = [&](auto change) {
        VdmMapFile bad = good;
        change(bad);
        EXPECT_THROW(writeVdmMapFile(bad), std::invalid_argument);
    };
    refused([](VdmMapFile& f) { f.text.clear(); });
    refused([](VdmMapFile& f) { f.nz = 3; });
    refused([](VdmMapFile& f) { f.kindWord = 70000; });
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.map")));

    VdmMapFile elsewhere = good;
    elsewhere.fileName = dir.file("missing/x.map");
    EXPECT_THROW(writeVdmMapFile(elsewhere), WriteFileError);
}
