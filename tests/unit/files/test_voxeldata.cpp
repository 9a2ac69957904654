// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "files/fileerrors.h"
#include "files/projectheader.h"
#include "support/datasetfiles.h"

namespace {

struct Extent {
    int nx, ny, nz, volumes;
};

std::string headerText(const std::string& prefix, Extent e, int dataType, int storageFormat)
{
    std::string t = "\nFileVersion: 7\nNrOfVolumes: " + std::to_string(e.volumes) +
                    "\nNrOfSlices: " + std::to_string(e.nz) + "\nPrefix: \"" + prefix + "\"\n";
    if (storageFormat >= 0) t += "DataStorageFormat: " + std::to_string(storageFormat) + "\n";
    if (dataType >= 0) t += "DataType: " + std::to_string(dataType) + "\n";
    t += "ResolutionX: " + std::to_string(e.nx) + "\nResolutionY: " + std::to_string(e.ny) + "\n";
    return t;
}

// Values of volume v at (x, y, z), indexed as ((v*nz + z)*ny + y)*nx + x.
std::vector<float> randomValues(Extent e, bool integers, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> shorts(-32768, 32767);
    std::uniform_real_distribution<float> floats(-1e4f, 1e4f);
    std::vector<float> values(static_cast<std::size_t>(e.nx) * e.ny * e.nz * e.volumes);
    for (float& value : values) value = integers ? static_cast<float>(shorts(random)) : floats(random);
    if (!values.empty()) values[0] = integers ? -1.0f : -0.0f;
    return values;
}

std::size_t valueIndex(Extent e, int v, int x, int y, int z)
{
    return ((static_cast<std::size_t>(v) * e.nz + z) * e.ny + y) * e.nx + x;
}

// The data file, element by element, in slice-major (STC) or volume-major (DWI) order.
std::string dataBytes(const std::vector<float>& values, Extent e, bool sliceMajor, bool floats)
{
    std::string bytes;
    auto put = [&](float value) {
        if (floats) {
            const std::uint32_t word = std::bit_cast<std::uint32_t>(value);
            for (int b = 0; b < 4; ++b) bytes += static_cast<char>((word >> (8 * b)) & 0xFF);
        } else {
            const auto word = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
            bytes += static_cast<char>(word & 0xFF);
            bytes += static_cast<char>(word >> 8);
        }
    };
    const int outer = sliceMajor ? e.nz : e.volumes;
    const int inner = sliceMajor ? e.volumes : e.nz;
    for (int a = 0; a < outer; ++a)
        for (int b = 0; b < inner; ++b)
            for (int y = 0; y < e.ny; ++y)
                for (int x = 0; x < e.nx; ++x)
                    put(values[sliceMajor ? valueIndex(e, b, x, y, a) : valueIndex(e, a, x, y, b)]);
    return bytes;
}

template <class Header>
void expectVolumesHold(const Header& h, Extent e, const std::vector<float>& values)
{
    ASSERT_EQ(h.volumes.size(), static_cast<std::size_t>(e.volumes));
    for (int v = 0; v < e.volumes; ++v) {
        ASSERT_EQ(h.volumes[v].dimensions(), (Dimensions{e.nx, e.ny, e.nz}));
        for (int z = 0; z < e.nz; ++z)
            for (int y = 0; y < e.ny; ++y)
                for (int x = 0; x < e.nx; ++x)
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(h.volumes[v](x, y, z)),
                              std::bit_cast<std::uint32_t>(values[valueIndex(e, v, x, y, z)]))
                        << "volume " << v << " at " << x << "," << y << "," << z;
    }
}

// The message of the Error that action raises.
template <class Error>
std::string errorOf(auto&& action)
{
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    return "no exception";
}

constexpr Extent kSmall{5, 3, 4, 3};

} // namespace

TEST(VoxelData, StcIsSliceMajorInBothElementTypes)
{
    ScratchDir dir;
    for (const int dataType : {-1, 1, 7, 2}) {
        const bool floats = dataType == 2;
        const std::vector<float> values = randomValues(kSmall, !floats, 11u + dataType);
        writeFile(dir.file("run.fmr"), headerText("run", kSmall, dataType, 2));
        writeFile(dir.file("run.stc"), dataBytes(values, kSmall, true, floats));
        const FmrHeader h = readFmrHeader(dir.file("run.fmr"), true);
        SCOPED_TRACE("DataType " + std::to_string(dataType));
        expectVolumesHold(h, kSmall, values);
    }
}

TEST(VoxelData, DwiIsVolumeMajorInBothElementTypes)
{
    ScratchDir dir;
    for (const int dataType : {1, 2}) {
        const bool floats = dataType == 2;
        const std::vector<float> values = randomValues(kSmall, !floats, 21u + dataType);
        writeFile(dir.file("dwi.dmr"), headerText("dwi", kSmall, dataType, 3));
        writeFile(dir.file("dwi.dwi"), dataBytes(values, kSmall, false, floats));
        const DmrHeader h = readDmrHeader(dir.file("dwi.dmr"), true);
        SCOPED_TRACE("DataType " + std::to_string(dataType));
        expectVolumesHold(h, kSmall, values);
    }
}

TEST(VoxelData, AllOnesReadsAsMinusOne)
{
    ScratchDir dir;
    writeFile(dir.file("a.fmr"), headerText("a", {1, 1, 1, 1}, 1, 1));
    writeFile(dir.file("a.stc"), std::string("\xFF\xFF", 2));
    EXPECT_EQ(readFmrHeader(dir.file("a.fmr"), true).volumes.at(0)[0], -1.0f);
}

TEST(VoxelData, WrittenDataReadsBackInBothLayouts)
{
    ScratchDir dir;
    const std::vector<float> shorts = randomValues(kSmall, true, 5u);
    writeFile(dir.file("in.fmr"), headerText("in", kSmall, 1, 1));
    writeFile(dir.file("in.stc"), dataBytes(shorts, kSmall, true, false));
    FmrHeader fmr = readFmrHeader(dir.file("in.fmr"), true);
    fmr.fileName = dir.file("out.fmr");
    fmr.Prefix.value = "out";
    fmr.writeWithData();
    EXPECT_EQ(readWhole(dir.file("out.stc")), readWhole(dir.file("in.stc")));

    const std::vector<float> floats = randomValues(kSmall, false, 6u);
    writeFile(dir.file("in.dmr"), headerText("ind", kSmall, 2, 3));
    writeFile(dir.file("ind.dwi"), dataBytes(floats, kSmall, false, true));
    DmrHeader dmr = readDmrHeader(dir.file("in.dmr"), true);
    dmr.saveAs(dir.file("outd.dmr"));
    EXPECT_EQ(readWhole(dir.file("outd.dwi")), readWhole(dir.file("ind.dwi")));
}

TEST(VoxelData, SixteenBitOutputTruncatesAndSaturates)
{
    ScratchDir dir;
    const std::vector<float> input{1.9f, -1.9f, 40000.0f, -40000.0f, 32767.9f, -32768.9f,
                                   std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity(),
                                   0.5f, -0.5f};
    const std::vector<std::int16_t> expected{1, -1, 32767, -32768, 32767, -32768, 0, -32768, 0, 0};
    const Extent e{static_cast<int>(input.size()), 1, 1, 1};
    writeFile(dir.file("s.fmr"), headerText("s", e, 1, 1));
    FmrHeader h = readFmrHeader(dir.file("s.fmr"), false);
    h.volumes.emplace_back(e.nx, 1, 1);
    std::memcpy(h.volumes[0].data(), input.data(), input.size() * sizeof(float));
    h.writeWithData();

    const std::string bytes = readWhole(dir.file("s.stc"));
    ASSERT_EQ(bytes.size(), 2 * input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        const auto word = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        EXPECT_EQ(static_cast<std::int16_t>(word), expected[i]) << "input " << input[i];
    }
}

TEST(VoxelData, SaveAsLoadsMissingDataAndRenames)
{
    ScratchDir dir;
    const Extent e{4, 2, 3, 5};
    writeFile(dir.file("run1.fmr"), headerText("run1", e, 1, 1));
    writeFile(dir.file("run1.stc"), dataBytes(randomValues(e, true, 9u), e, true, false));
    FmrHeader h = readFmrHeader(dir.file("run1.fmr"), false);
    ASSERT_TRUE(h.volumes.empty());

    std::filesystem::create_directories(dir.file("v1.2"));
    const std::string copy = dir.file("v1.2/run1_undist");
    h.saveAs(copy);
    ASSERT_EQ(h.volumes.size(), 5u);
    EXPECT_EQ(h.fileName, copy);
    EXPECT_EQ(h.Prefix.value, "run1_undist");
    EXPECT_TRUE(h.Prefix.quoted);
    EXPECT_EQ(readWhole(dir.file("v1.2/run1_undist.stc")), readWhole(dir.file("run1.stc")));

    // Dropping volumes before saving writes the count held.
    h.volumes.pop_back();
    h.saveAs(dir.file("short.fmr"));
    const FmrHeader reread = readFmrHeader(dir.file("short.fmr"), true);
    EXPECT_EQ(reread.NrOfVolumes.value, 4);
    EXPECT_EQ(reread.Prefix.value, "short");
    EXPECT_EQ(reread.volumes.size(), 4u);
    EXPECT_EQ(std::filesystem::file_size(dir.file("short.stc")), 4u * 2 * 3 * 4 * 2);
}

TEST(VoxelData, OpenAndCreateFailuresUseTheirMessages)
{
    ScratchDir dir;
    writeFile(dir.file("no.fmr"), headerText("nodata", kSmall, 1, 1));
    writeFile(dir.file("no.dmr"), headerText("nodata", kSmall, 1, 3));
    EXPECT_EQ(errorOf<OpenFileError>([&] { readFmrHeader(dir.file("no.fmr"), true); }),
              "Failed opening STC for reading: " + dir.file("nodata.stc"));
    EXPECT_EQ(errorOf<OpenFileError>([&] { readDmrHeader(dir.file("no.dmr"), true); }),
              "Failed opening for reading: " + dir.file("nodata.dwi"));

    // A header without Prefix names no data file of its own: the message names the header.
    writeFile(dir.file("noprefix.fmr"), "NrOfVolumes: 1\n");
    EXPECT_EQ(errorOf<OpenFileError>([&] { readFmrHeader(dir.file("noprefix.fmr"), true); }),
              "Failed opening STC for reading: " + dir.path() + ".stc (the data file of " + dir.file("noprefix.fmr") +
                  ", whose header gives no Prefix)");

    FmrHeader fmr = readFmrHeader(dir.file("no.fmr"), false);
    fmr.volumes.assign(3, Volume(5, 3, 4, 0.0f));
    fmr.fileName = dir.file("missing/x.fmr");
    EXPECT_EQ(errorOf<WriteFileError>([&] { fmr.writeWithData(); }), "Cannot Create file: " + dir.file("missing/x.fmr"));

    fmr.fileName = dir.file("x.fmr");
    fmr.Prefix.value = "missing/x";
    EXPECT_EQ(errorOf<WriteFileError>([&] { fmr.writeWithData(); }),
              "Failed opening STC for writing: " + dir.file("missing/x.stc"));
    // No header is left behind without its data, and no temporary file either.
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.fmr")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 3);

    DmrHeader dmr = readDmrHeader(dir.file("no.dmr"), false);
    dmr.volumes.assign(3, Volume(5, 3, 4, 0.0f));
    dmr.fileName = dir.file("x.dmr");
    dmr.Prefix.value = "missing/x";
    EXPECT_EQ(errorOf<WriteFileError>([&] { dmr.writeWithData(); }),
              "Failed opening for writing: " + dir.file("missing/x.dwi"));
}

TEST(VoxelData, OnlyStorageFormatThreeIsReadForDwi)
{
    ScratchDir dir;
    const std::vector<float> values = randomValues(kSmall, true, 3u);
    writeFile(dir.file("d.dmr"), headerText("d", kSmall, 1, 2));
    writeFile(dir.file("d.dwi"), dataBytes(values, kSmall, false, false));
    EXPECT_EQ(errorOf<ReadFileError>([&] { readDmrHeader(dir.file("d.dmr"), true); }),
              "Can only read DataStorageFormat 3, Not 2");

    // An FMR ignores the storage format and is read slice-major.
    writeFile(dir.file("f.fmr"), headerText("f", kSmall, 1, 2));
    writeFile(dir.file("f.stc"), dataBytes(values, kSmall, true, false));
    expectVolumesHold(readFmrHeader(dir.file("f.fmr"), true), kSmall, values);
}

TEST(VoxelData, ShortOrLongDataFileIsReportedWithBothSizes)
{
    ScratchDir dir;
    writeFile(dir.file("s.fmr"), headerText("s", kSmall, 2, 1));
    const std::string path = dir.file("s.stc");
    writeFile(path, std::string(5 * 3 * 4 * 3 * 4 - 1, '\0'));
    FmrHeader h = readFmrHeader(dir.file("s.fmr"), false);
    h.volumes.assign(1, Volume(2, 2, 2, 7.0f));
    EXPECT_EQ(errorOf<ReadFileError>([&] { h.loadVoxelData(); }),
              "Data file " + path + " is too short: the header promises 720 bytes, the file holds 719");
    EXPECT_EQ(h.volumes.size(), 1u);   // the old list is kept

    // A longer file does not fit the header either.
    writeFile(path, std::string(5 * 3 * 4 * 3 * 4 + 10, '\0'));
    EXPECT_EQ(errorOf<ReadFileError>([&] { h.loadVoxelData(); }),
              "Data file " + path + " is too long: the header promises 720 bytes, the file holds 730");
    EXPECT_EQ(h.volumes.size(), 1u);

    // A header without volumes reads none, whatever the file holds.
    writeFile(dir.file("none.fmr"), headerText("s", {5, 3, 4, 0}, 2, 1));
    EXPECT_TRUE(readFmrHeader(dir.file("none.fmr"), true).volumes.empty());
}

TEST(VoxelData, NegativeOrOverflowingExtentsAreRefused)
{
    ScratchDir dir;
    writeFile(dir.file("z.stc"), "");
    writeFile(dir.file("neg.fmr"), headerText("z", {4, -2, 3, 1}, 1, 1));
    EXPECT_EQ(errorOf<ReadFileError>([&] { readFmrHeader(dir.file("neg.fmr"), true); }),
              "Negative data extent in " + dir.file("neg.fmr") +
                  ": ResolutionX 4, ResolutionY -2, NrOfSlices 3, NrOfVolumes 1");
    writeFile(dir.file("negv.fmr"), headerText("z", {4, 2, 3, -1}, 1, 1));
    EXPECT_THROW(readFmrHeader(dir.file("negv.fmr"), true), ReadFileError);

    writeFile(dir.file("huge.fmr"), headerText("z", {2147483647, 2147483647, 2147483647, 2147483647}, 2, 1));
    EXPECT_EQ(errorOf<ReadFileError>([&] { readFmrHeader(dir.file("huge.fmr"), true); }),
              "Data size overflows in " + dir.file("huge.fmr") +
                  ": ResolutionX 2147483647, ResolutionY 2147483647, NrOfSlices 2147483647, NrOfVolumes 2147483647");
}

TEST(VoxelData, MissingCountsGiveNoOrEmptyVolumes)
{
    ScratchDir dir;
    writeFile(dir.file("e.stc"), "");
    writeFile(dir.file("nocount.fmr"), "Prefix: \"e\"\nNrOfSlices: 2\nResolutionX: 2\nResolutionY: 2\n");
    EXPECT_TRUE(readFmrHeader(dir.file("nocount.fmr"), true).volumes.empty());

    writeFile(dir.file("noextent.fmr"), "Prefix: \"e\"\nNrOfVolumes: 2\n");
    const FmrHeader h = readFmrHeader(dir.file("noextent.fmr"), true);
    ASSERT_EQ(h.volumes.size(), 2u);
    EXPECT_EQ(h.volumes[1].size(), 0u);
}

TEST(VoxelData, VolumesThatDoNotMatchTheHeaderAreNotWritten)
{
    ScratchDir dir;
    writeFile(dir.file("m.fmr"), headerText("m", kSmall, 1, 1));
    FmrHeader h = readFmrHeader(dir.file("m.fmr"), false);
    h.volumes.assign(2, Volume(5, 3, 4, 1.0f));
    h.volumes.emplace_back(5, 3, 3, 1.0f);
    h.fileName = dir.file("m2.fmr");
    EXPECT_EQ(errorOf<WriteFileError>([&] { h.writeWithData(); }),
              "Cannot write " + dir.file("m.stc") + ": volume 2 has extent 5 x 3 x 3, the header gives 5 x 3 x 4");
    EXPECT_FALSE(std::filesystem::exists(dir.file("m2.fmr")));
}

TEST(VoxelData, RealScannerRunMatchesItsBytes)
{
    const std::string path = std::string(VARNO_SHARED_DATA_DIR) + "/ge-pepolar/PA.fmr";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "scanner data not found at " << path;
    const FmrHeader h = readFmrHeader(path, true);
    const Extent e{128, 128, 60, 2};
    const std::string bytes = readWhole(std::string(VARNO_SHARED_DATA_DIR) + "/ge-pepolar/PA.stc");
    ASSERT_EQ(bytes.size(), 2u * 128 * 128 * 60 * 2);
    std::vector<float> values(bytes.size() / 2);
    std::size_t i = 0;
    for (int z = 0; z < e.nz; ++z)
        for (int v = 0; v < e.volumes; ++v)
            for (int y = 0; y < e.ny; ++y)
                for (int x = 0; x < e.nx; ++x, ++i) {
                    const auto word = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
                    values[valueIndex(e, v, x, y, z)] = static_cast<float>(static_cast<std::int16_t>(word));
                }
    expectVolumesHold(h, e, values);
}
