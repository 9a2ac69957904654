// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "boundary/hoststate.h"
#include "boundary/mapdocuments.h"
#include "files/vdmmapfile.h"
#include "support/datasetfiles.h"

namespace {

// Runs each test on a clean document choice and map store, restoring the host after.
class MapDocuments : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = hostState();
        hostState().documentPath.clear();
        hostState().stringParameters.clear();
        clearMapDocuments();
    }
    void TearDown() override
    {
        clearMapDocuments();
        hostState().documentPath = saved_.documentPath;
        hostState().stringParameters = saved_.stringParameters;
    }

    std::string project(const std::string& name, int nx, int ny, int nz)
    {
        const std::string path = dir_.file(name);
        writeFile(path, "NrOfVolumes: 1\r\nNrOfSlices: " + std::to_string(nz) + "\r\nResolutionX: " +
                            std::to_string(nx) + "\r\nResolutionY: " + std::to_string(ny) + "\r\n");
        return path;
    }

    ScratchDir dir_;
    HostState saved_;
};

float mapValue(int x, int y, int z)
{
    return 0.25f * static_cast<float>(x) - 1.5f * static_cast<float>(y) + 10.0f * static_cast<float>(z) + 0.1f;
}

} // namespace

TEST_F(MapDocuments, CurrentDocumentIsOptionThenFile0ThenFirstOfFiles)
{
    EXPECT_EQ(currentDocumentPath(), "");
    hostState().stringParameters["files"] = "/d/b.fmr\r\n/d/c.fmr\r\n";
    EXPECT_EQ(currentDocumentPath(), "/d/b.fmr");
    hostState().stringParameters["file0"] = "/d/a.fmr";
    EXPECT_EQ(currentDocumentPath(), "/d/a.fmr");
    hostState().documentPath = "/d/doc.fmr";
    EXPECT_EQ(currentDocumentPath(), "/d/doc.fmr");
}

TEST_F(MapDocuments, WithoutDocumentOrMapServicesFail)
{
    testing::internal::CaptureStderr();
    MapHeader header{};
    EXPECT_FALSE(hsCreateMAPForCurrentFMR());
    EXPECT_EQ(hsGetMAPOfCurrentFMR(&header), nullptr);
    EXPECT_FALSE(hsSetMAPParametersOfCurrentFMR(&header));
    EXPECT_FALSE(hsSaveMAPsOfCurrentFMR(dir_.file("x.map").c_str()));

    hostState().documentPath = project("run.fmr", 4, 3, 2);
    EXPECT_EQ(hsGetMAPOfCurrentFMR(&header), nullptr);
    hostState().documentPath = dir_.file("missing.fmr");
    EXPECT_FALSE(hsCreateMAPForCurrentFMR());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("no current FMR document"), std::string::npos);
    EXPECT_NE(errors.find("Failed opening for reading: " + dir_.file("missing.fmr")), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("x.map")));
}

TEST_F(MapDocuments, CreatedMapHasTheStoredExtentAndIsFreshEachTime)
{
    hostState().stringParameters["file0"] = project("run.fmr", 5, 4, 3);
    ASSERT_TRUE(hsCreateMAPForCurrentFMR());
    MapHeader header{};
    float** slices = hsGetMAPOfCurrentFMR(&header);
    ASSERT_NE(slices, nullptr);
    EXPECT_EQ(header.DimX, 5);
    EXPECT_EQ(header.DimY, 4);
    EXPECT_EQ(header.DimZ, 3);
    for (int z = 0; z < 3; ++z)
        for (int i = 0; i < 20; ++i) EXPECT_EQ(slices[z][i], 0.0f);
    slices[2][19] = 8.0f;

    ASSERT_TRUE(hsCreateMAPForCurrentFMR());
    EXPECT_EQ(hsGetMAPOfCurrentFMR(&header)[2][19], 0.0f);

    // A DMR document gives its extent the same way.
    hostState().documentPath = project("dwi.dmr", 2, 6, 7);
    ASSERT_TRUE(hsCreateMAPForCurrentFMR());
    ASSERT_NE(hsGetMAPOfCurrentFMR(&header), nullptr);
    EXPECT_EQ(header.DimY, 6);
    EXPECT_EQ(header.DimZ, 7);
}

TEST_F(MapDocuments, SavedMapReadsBackVoxelForVoxelWithTheHeaderFloats)
{
    hostState().documentPath = project("run1.fmr", 6, 5, 4);
    ASSERT_TRUE(hsCreateMAPForCurrentFMR());
    MapHeader header{};
    float** slices = hsGetMAPOfCurrentFMR(&header);
    ASSERT_NE(slices, nullptr);
    for (int z = 0; z < header.DimZ; ++z)
        for (int y = 0; y < header.DimY; ++y)
            for (int x = 0; x < header.DimX; ++x) slices[z][y * header.DimX + x] = mapValue(x, y, z);
    header.Kind = 1;
    header.Threshold = 0.1f;
    header.Maximum = 1.0f;
    header.Flags = 0;
    header.DimX = 99;
    ASSERT_TRUE(hsSetMAPParametersOfCurrentFMR(&header));
    const std::string path = dir_.file("run1_vdm.map");
    ASSERT_TRUE(hsSaveMAPsOfCurrentFMR(path.c_str()));

    const VdmMapFile read = readVdmMapFile(path, true);
    EXPECT_EQ(read.firstHeaderFloat, 0.1f);
    EXPECT_EQ(read.secondHeaderFloat, 1.0f);
    EXPECT_FALSE(read.text.empty());
    ASSERT_EQ(read.map.dimensions(), (Dimensions{6, 5, 4}));
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                ASSERT_EQ(std::bit_cast<std::uint32_t>(read.map(x, y, z)),
                          std::bit_cast<std::uint32_t>(mapValue(x, y, z)));

    MapHeader after{};
    ASSERT_NE(hsGetMAPOfCurrentFMR(&after), nullptr);
    EXPECT_EQ(after.DimX, 6);
    EXPECT_EQ(after.Threshold, 0.1f);
}

TEST_F(MapDocuments, LoadedMapIsShownOnTheCurrentDocument)
{
    const std::string mapPath = dir_.file("other_vdm.map");
    Volume vdm(3, 2, 2);
    for (std::size_t i = 0; i < vdm.size(); ++i) vdm[i] = static_cast<float>(i) - 4.5f;
    writeVdmMapFile(makeVdmMapFile(mapPath, vdm));

    hostState().documentPath = project("run2.fmr", 3, 2, 2);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(hsLoadMAPsToCurrentFMR(mapPath.c_str()));
    EXPECT_FALSE(hsLoadMAPsToCurrentFMR(dir_.file("none.map").c_str()));
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("Map " + mapPath + " (3 x 2 x 2) is shown on " + dir_.file("run2.fmr")), std::string::npos);
    EXPECT_NE(report.find("could not open file " + dir_.file("none.map")), std::string::npos);

    MapHeader header{};
    float** slices = hsGetMAPOfCurrentFMR(&header);
    ASSERT_NE(slices, nullptr);
    EXPECT_EQ(slices[1][5], 11.0f - 4.5f);
    EXPECT_EQ(header.Maximum, 5.0f);
}
