// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI images to projects and back: values, voxel sizes, storage type and geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "nifti/niftiprojects.h"
#include "support/niftitestimages.h"
#include "support/runprocess.h"

namespace {

double pattern(int i, int j, int k, int t)
{
    return (i * 7 + j * 13 + k * 31 + t * 101) % 2000 - 700;
}

// Every header field that places the voxels in the world.
void expectSameGeometry(const nifti_image& a, const nifti_image& b)
{
    EXPECT_EQ(a.qform_code, b.qform_code);
    EXPECT_EQ(a.sform_code, b.sform_code);
    EXPECT_EQ(a.xyz_units, b.xyz_units);
    EXPECT_EQ(a.time_units, b.time_units);
    for (int axis = 0; axis < 4; ++axis) EXPECT_EQ(a.dim[axis], b.dim[axis]) << axis;
    for (int axis = 1; axis <= 3; ++axis) EXPECT_EQ(a.pixdim[axis], b.pixdim[axis]) << axis;
    EXPECT_EQ(a.quatern_b, b.quatern_b);
    EXPECT_EQ(a.quatern_c, b.quatern_c);
    EXPECT_EQ(a.quatern_d, b.quatern_d);
    EXPECT_EQ(a.qoffset_x, b.qoffset_x);
    EXPECT_EQ(a.qoffset_y, b.qoffset_y);
    EXPECT_EQ(a.qoffset_z, b.qoffset_z);
    EXPECT_EQ(a.qfac, b.qfac);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(a.sto_xyz.m[r][c], b.sto_xyz.m[r][c]) << r << c;
            EXPECT_EQ(a.qto_xyz.m[r][c], b.qto_xyz.m[r][c]) << r << c;
        }
}

int niftiVersion(const std::string& path)
{
    int version = 0;
    std::free(nifti_read_header(path.c_str(), &version, 0));
    return version;
}

}  // namespace

TEST(NiftiRoundTrip, Int16FourDimensionalImageKeepsValuesVoxelSizesAndGeometry)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.volumes = 3;
    const std::string image = folder.path() + "/bold.nii.gz";
    writeTestImage(image, layout, pattern);
    const std::string project = folder.path() + "/bold.fmr";
    importNifti(image, project);

    const FmrHeader header = readFmrHeader(project, true);
    EXPECT_EQ(header.DataType.value, 1);  // int16
    EXPECT_EQ(header.ResolutionX.value, 12);
    EXPECT_EQ(header.ResolutionY.value, 10);
    EXPECT_EQ(header.NrOfSlices.value, 6);
    EXPECT_EQ(header.InplaneResolutionX.value, 2.0f);
    EXPECT_EQ(header.InplaneResolutionY.value, 2.5f);
    EXPECT_EQ(header.SliceThickness.value, 3.0f);
    EXPECT_EQ(header.TR.value, 2000);
    ASSERT_EQ(header.volumes.size(), 3u);
    for (int t = 0; t < 3; ++t)
        for (int k = 0; k < 6; ++k)
            for (int j = 0; j < 10; ++j)
                for (int i = 0; i < 12; ++i) ASSERT_EQ(header.volumes[t](i, j, k), pattern(i, j, k, t));

    const std::string back = folder.path() + "/back.nii.gz";
    exportToNifti(project, back, image);
    const NiftiImagePointer original = readRaw(image);
    const NiftiImagePointer copy = readRaw(back);
    EXPECT_EQ(niftiVersion(back), 1);
    expectSameGeometry(*original, *copy);
    EXPECT_EQ(copy->datatype, DT_INT16);
    EXPECT_EQ(copy->scl_slope, 0.0);
    ASSERT_EQ(copy->nvox, original->nvox);
    for (long long index = 0; index < copy->nvox; ++index) ASSERT_EQ(rawValue(*copy, index), rawValue(*original, index));
}

TEST(NiftiRoundTrip, FloatNiftiTwoStaysFloatAndVersionTwoBitForBit)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.datatype = DT_FLOAT32;
    layout.version = 2;
    const auto value = [](int i, int j, int k, int) { return std::sin(i * 0.37 + j * 0.11) * 100.0 + k * 0.125; };
    const std::string image = folder.path() + "/epi.nii";
    writeTestImage(image, layout, value);
    const std::string project = folder.path() + "/epi.dmr";
    importNifti(image, project);
    EXPECT_EQ(readDmrHeader(project, false).DataType.value, 2);  // float

    const std::string back = folder.path() + "/back.nii";
    exportToNifti(project, back, image);
    const NiftiImagePointer original = readRaw(image);
    const NiftiImagePointer copy = readRaw(back);
    EXPECT_EQ(niftiVersion(image), 2);
    EXPECT_EQ(niftiVersion(back), 2);
    expectSameGeometry(*original, *copy);
    EXPECT_EQ(copy->datatype, DT_FLOAT32);
    for (long long index = 0; index < copy->nvox; ++index) ASSERT_EQ(rawValue(*copy, index), rawValue(*original, index));
}

TEST(NiftiImport, StorageIsInt16OnlyForWholeValuesThatFit)
{
    const TemporaryFolder folder;
    struct Case {
        const char* name;
        int datatype;
        double slope;
        double intercept;
        double largest;  // stored value at voxel (0, 0, 0)
        int expectedDataType;
        float expectedFirst;
    };
    const Case cases[] = {
        {"uint8", DT_UINT8, 0.0, 0.0, 200.0, 1, 200.0f},
        {"int32 fits", DT_INT32, 0.0, 0.0, -32768.0, 1, -32768.0f},
        {"int32 too large", DT_INT32, 0.0, 0.0, 40000.0, 2, 40000.0f},
        {"scaled to halves", DT_INT16, 0.5, 0.0, 3.0, 2, 1.5f},
        {"scaled to whole", DT_INT16, 2.0, 10.0, 3.0, 1, 16.0f},
        {"whole doubles", DT_FLOAT64, 0.0, 0.0, 12.0, 1, 12.0f},
    };
    for (const Case& c : cases) {
        TestImageLayout layout;
        layout.datatype = c.datatype;
        layout.slope = c.slope;
        layout.intercept = c.intercept;
        const std::string image = folder.path() + "/image.nii.gz";
        writeTestImage(image, layout, [&](int i, int j, int k, int) { return i + j + k == 0 ? c.largest : 1.0; });
        importNifti(image, folder.path() + "/image.fmr");
        const FmrHeader header = readFmrHeader(folder.path() + "/image.fmr", true);
        EXPECT_EQ(header.DataType.value, c.expectedDataType) << c.name;
        EXPECT_EQ(header.volumes.at(0)(0, 0, 0), c.expectedFirst) << c.name;
    }
}

TEST(NiftiImport, VoxelSizesInMetresOrMicronsBecomeMillimetres)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.xyzUnits = NIFTI_UNITS_METER;
    layout.voxel[0] = 0.002;
    layout.voxel[1] = 0.0025;
    layout.voxel[2] = 0.004;
    writeTestImage(folder.path() + "/m.nii", layout, pattern);
    importNifti(folder.path() + "/m.nii", folder.path() + "/m.fmr");
    const FmrHeader header = readFmrHeader(folder.path() + "/m.fmr", false);
    EXPECT_FLOAT_EQ(header.InplaneResolutionX.value, 2.0f);
    EXPECT_FLOAT_EQ(header.InplaneResolutionY.value, 2.5f);
    EXPECT_FLOAT_EQ(header.SliceThickness.value, 4.0f);
}

TEST(NiftiImport, DiffusionProjectGetsItsGradientTableFromBvalsAndBvecs)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.volumes = 4;
    writeTestImage(folder.path() + "/dwi.nii.gz", layout, pattern);
    const std::string bvals = folder.write("dwi.bval", "0 1000 1000\n2000\n");
    const std::string rows = folder.write("dwi.bvec", "0 1 0 0.6\n0 0 1 0.8\n0 0 0 0\n");
    const std::string columns = folder.write("dwi_columns.bvec", "0 0 0\n1 0 0\n0 1 0\n0.6 0.8 0\n");
    for (const std::string& bvecs : {rows, columns}) {
        const GradientTable table = readGradientTable(bvals, bvecs, 4);
        importNifti(folder.path() + "/dwi.nii.gz", folder.path() + "/dwi.dmr", table);
        const DmrHeader header = readDmrHeader(folder.path() + "/dwi.dmr", true);
        ASSERT_EQ(header.bValues.size(), 4u) << bvecs;
        EXPECT_EQ(header.bValues[3], 2000.0f);
        EXPECT_EQ(header.gradientDirections[3].x, 0.6f);
        EXPECT_EQ(header.gradientDirections[3].y, 0.8f);
        EXPECT_EQ(header.gradientDirections[1].x, 1.0f);
        EXPECT_EQ(header.volumes.size(), 4u);
        EXPECT_EQ(header.volumes[3](5, 4, 3), pattern(5, 4, 3, 3));
    }
    try {
        readGradientTable(bvals, rows, 5);
        FAIL() << "a table of the wrong length was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), bvals + " holds 4 b-values, but the image has 5 volumes");
    }
    const std::string bad = folder.write("bad.bvec", "0 1 0\n0 0 1\n");
    EXPECT_THROW(readGradientTable(bvals, bad, 4), std::runtime_error);
}

TEST(NiftiErrors, UnconvertibleImagesAndMismatchedReferencesAreRefusedWithTheReason)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    writeTestImage(folder.path() + "/ref.nii.gz", layout, pattern);

    TestImageLayout complex = layout;
    complex.datatype = DT_COMPLEX64;
    writeTestImage(folder.path() + "/complex.nii", complex, pattern);
    try {
        importNifti(folder.path() + "/complex.nii", folder.path() + "/c.fmr");
        FAIL();
    } catch (const NiftiError& error) {
        EXPECT_NE(std::string(error.what()).find("real-valued images only"), std::string::npos) << error.what();
    }

    const std::string notNifti = folder.write("text.nii", "this is no image");
    EXPECT_THROW(readNifti(notNifti), NiftiError);
    EXPECT_THROW(readNifti(folder.path() + "/missing.nii.gz"), NiftiError);

    const std::string map = folder.path() + "/small_vdm.map";
    writeVdmMapFile(makeVdmMapFile(map, Volume(12, 10, 5, 0.5f)));
    try {
        exportToNifti(map, folder.path() + "/map.nii.gz", folder.path() + "/ref.nii.gz");
        FAIL();
    } catch (const NiftiError& error) {
        EXPECT_EQ(std::string(error.what()), "The data (12 x 10 x 5) do not have the extent of the reference image " +
                                                 folder.path() + "/ref.nii.gz (12 x 10 x 6)");
    }
}

TEST(NiftiExport, MapIsWrittenAsFloatWithTheReferenceGeometry)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    writeTestImage(folder.path() + "/ref.nii.gz", layout, pattern);
    Volume displacement(12, 10, 6);
    for (std::size_t i = 0; i < displacement.size(); ++i) displacement[i] = 0.01f * static_cast<float>(i) - 3.0f;
    const std::string map = folder.path() + "/ref_vdm.map";
    writeVdmMapFile(makeVdmMapFile(map, displacement));
    exportToNifti(map, folder.path() + "/map.nii.gz", folder.path() + "/ref.nii.gz");
    const NiftiImagePointer copy = readRaw(folder.path() + "/map.nii.gz");
    expectSameGeometry(*readRaw(folder.path() + "/ref.nii.gz"), *copy);
    EXPECT_EQ(copy->datatype, DT_FLOAT32);
    for (long long index = 0; index < copy->nvox; ++index)
        ASSERT_EQ(rawValue(*copy, index), displacement[static_cast<std::size_t>(index)]);
}

// A compressed image goes into its staged file, or through a link into the link's target,
// which must then be replaced whole: a longer old file left behind the new stream would
// make a gzip file with a second member, read as more data.
TEST(NiftiExport, CompressedImagesReplaceTheirTargetWhole)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    writeTestImage(folder.path() + "/ref.nii.gz", layout, pattern);
    Volume displacement(12, 10, 6);
    for (std::size_t i = 0; i < displacement.size(); ++i) displacement[i] = 0.5f * static_cast<float>(i % 7);
    const std::string map = folder.path() + "/ref_vdm.map";
    writeVdmMapFile(makeVdmMapFile(map, displacement));
    std::filesystem::copy_file(folder.path() + "/ref.nii.gz", folder.path() + "/old.nii.gz");
    std::filesystem::create_symlink(folder.path() + "/old.nii.gz", folder.path() + "/linked.nii.gz");
    for (const char* name : {"/fresh.nii.gz", "/linked.nii.gz"}) {
        SCOPED_TRACE(name);
        exportToNifti(map, folder.path() + name, folder.path() + "/ref.nii.gz");
        const NiftiImagePointer copy = readRaw(folder.path() + name);
        ASSERT_EQ(copy->nvox, static_cast<long long>(displacement.size()));
        for (long long index = 0; index < copy->nvox; ++index)
            ASSERT_EQ(rawValue(*copy, index), displacement[static_cast<std::size_t>(index)]);
    }
    EXPECT_EQ(std::filesystem::file_size(folder.path() + "/old.nii.gz"),
              std::filesystem::file_size(folder.path() + "/fresh.nii.gz"));
}

// The host reads the voxel data itself (the library would turn NaN into 0): a file in the
// other byte order must give the same image.
TEST(NiftiRead, ImageInTheOtherByteOrderGivesTheSameValuesAndGeometry)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.volumes = 2;
    const std::string native = folder.path() + "/native.nii";
    writeTestImage(native, layout, pattern);
    std::string bytes = readWhole(native);
    nifti_1_header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    nifti_swap_as_nifti1(&header);
    std::memcpy(bytes.data(), &header, sizeof header);
    for (std::size_t at = 352; at + 1 < bytes.size(); at += 2) std::swap(bytes[at], bytes[at + 1]);
    const std::string swapped = folder.path() + "/swapped.nii";
    std::ofstream(swapped, std::ios::binary) << bytes;

    const NiftiImage a = readNifti(native);
    const NiftiImage b = readNifti(swapped);
    ASSERT_EQ(b.volumes.size(), 2u);
    for (std::size_t v = 0; v < 2; ++v)
        for (std::size_t i = 0; i < a.volumes[v].size(); ++i) ASSERT_EQ(a.volumes[v][i], b.volumes[v][i]) << v << " " << i;
    EXPECT_EQ(a.info.voxelToWorld, b.info.voxelToWorld);
    EXPECT_EQ(a.info.voxelSize, b.info.voxelSize);
}

TEST(NiftiRead, ValuesThatAreNotFiniteAreKeptAndCountedPerVolume)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.datatype = DT_FLOAT32;
    layout.volumes = 2;
    const double nan = std::nan("");
    writeTestImage(folder.path() + "/holes.nii.gz", layout, [&](int i, int j, int k, int t) {
        return t == 1 && k == 0 && j == 0 && i < 3 ? (i == 2 ? HUGE_VAL : nan) : -250.0 + i;
    });
    const NiftiImage image = readNifti(folder.path() + "/holes.nii.gz");
    ASSERT_EQ(image.values.size(), 2u);
    EXPECT_EQ(image.values[0].nonFinite, 0u);
    EXPECT_EQ(image.values[1].nonFinite, 3u);
    EXPECT_EQ(image.values[1].largest, 250.0);
    EXPECT_TRUE(std::isnan(image.volumes[1](0, 0, 0)));
    EXPECT_EQ(image.volumes[1](2, 0, 0), std::numeric_limits<float>::infinity());
}
