// The quality-control picture: layout, panels, agreement figures and the PNG file.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <set>

#include "report/qcpicture.h"
#include "support/runprocess.h"

namespace {

// A bright box, shifted along y by shift voxels and brightened by offset.
Volume box(Dimensions extent, int shift, float offset = 0.0f)
{
    Volume volume(extent, 0.0f);
    for (int z = 2; z < extent.z - 2; ++z)
        for (int y = 3 + shift; y < extent.y - 3 + shift; ++y)
            for (int x = 3; x < extent.x - 3; ++x) volume(x, y, z) = 100.0f + offset + static_cast<float>(x);
    return volume;
}

QcInputs shiftedPair(Dimensions extent)
{
    QcInputs inputs;
    inputs.title = "test";
    inputs.firstBefore = box(extent, 2);
    inputs.secondBefore = box(extent, -2, 30.0f);
    inputs.firstAfter = box(extent, 0);
    inputs.secondAfter = box(extent, 0);
    inputs.displacementMm = Volume(extent, 0.0f);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x)
                inputs.displacementMm(x, y, z) = 2.0f - 0.1f * static_cast<float>(std::abs(y - extent.y / 2));
    return inputs;
}

const QcPanel& panel(const QcPicture& picture, const std::string& column, const std::string& view)
{
    for (const QcPanel& p : picture.panels)
        if (p.column == column && p.view == view) return p;
    throw std::runtime_error("no panel " + column + " " + view);
}

std::set<std::array<std::uint8_t, 3>> colours(const RgbImage& image, const QcPanel& p)
{
    std::set<std::array<std::uint8_t, 3>> result;
    for (int y = p.y; y < p.y + p.height; ++y)
        for (int x = p.x; x < p.x + p.width; ++x) {
            const std::uint8_t* q = &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3];
            result.insert({q[0], q[1], q[2]});
        }
    return result;
}

}  // namespace

TEST(QcPicture, TwentyOnePanelsInsideThePictureEachShowingItsData)
{
    const QcPicture picture = renderQcPicture(shiftedPair({24, 20, 10}));
    const RgbImage& image = picture.image;
    ASSERT_EQ(image.pixels.size(), static_cast<std::size_t>(image.width) * image.height * 3);
    ASSERT_EQ(picture.panels.size(), 21u);
    for (const QcPanel& p : picture.panels) {
        EXPECT_GE(p.x, 0);
        EXPECT_GE(p.y, 0);
        EXPECT_LE(p.x + p.width, image.width);
        EXPECT_LE(p.y + p.height, image.height);
        if (p.column != "difference after") {
            EXPECT_GT(colours(image, p).size(), 1u) << p.column << " " << p.view << " is blank";
        }
    }
    // After the correction the pair is identical: its difference panels are one colour
    // (black), unlike those before, drawn on the same scale.
    for (const char* view : {"axial", "coronal", "sagittal"}) {
        EXPECT_EQ(colours(image, panel(picture, "difference after", view)).size(), 1u) << view;
        EXPECT_GT(colours(image, panel(picture, "difference before", view)).size(), 1u) << view;
    }
}

TEST(QcPicture, PanelsKeepThePhysicalAspectOfAnisotropicVoxels)
{
    QcInputs inputs = shiftedPair({32, 16, 8});
    inputs.voxelSize = {1.0, 2.0, 4.0};  // 32 x 32 x 32 mm
    const QcPicture picture = renderQcPicture(inputs);
    for (const char* view : {"axial", "coronal", "sagittal"}) {
        const QcPanel& p = panel(picture, "first before", view);
        EXPECT_EQ(p.width, p.height) << view;
    }
    inputs.voxelSize = {1.0, 1.0, 1.0};
    const QcPicture isotropic = renderQcPicture(inputs);
    const QcPanel& coronal = panel(isotropic, "first before", "coronal");
    EXPECT_EQ(coronal.width, 4 * coronal.height);
}

TEST(QcPicture, AgreementFiguresMatchABruteForceComputationOverTheObject)
{
    const QcInputs inputs = shiftedPair({24, 20, 10});
    const std::vector<VoxelIndex> object = qcObjectVoxels(inputs);
    ASSERT_FALSE(object.empty());
    double before = 0.0;
    for (const VoxelIndex& v : object) {
        const double d = inputs.firstBefore(v.x, v.y, v.z) - inputs.secondBefore(v.x, v.y, v.z);
        before += d * d;
    }
    const QcPicture picture = renderQcPicture(inputs);
    EXPECT_NEAR(picture.agreement.meanSquaredBefore, before / static_cast<double>(object.size()), 1e-6 * before);
    EXPECT_EQ(picture.agreement.meanSquaredAfter, 0.0);
    EXPECT_NEAR(picture.agreement.correlationAfter, 1.0, 1e-6);
    EXPECT_LT(picture.agreement.correlationBefore, 0.9);
    EXPECT_NE(picture.caption.at(1).find("before, 0.0 after"), std::string::npos) << picture.caption.at(1);
}

TEST(QcPicture, VolumesOfDifferentExtentAreRefused)
{
    QcInputs inputs = shiftedPair({24, 20, 10});
    inputs.secondAfter = Volume(24, 20, 9, 0.0f);
    EXPECT_THROW(renderQcPicture(inputs), std::invalid_argument);
}

TEST(QcPicture, PngFileHoldsThePictureExactly)
{
    const TemporaryFolder folder;
    const std::string path = folder.path() + "/qc.png";
    const QcPicture picture = writeQcPicture(path, shiftedPair({16, 16, 8}));

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    EXPECT_EQ(static_cast<int>(png_get_image_width(png, info)), picture.image.width);
    EXPECT_EQ(static_cast<int>(png_get_image_height(png, info)), picture.image.height);
    EXPECT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_RGB);
    png_bytepp rows = png_get_rows(png, info);
    bool same = true;
    for (int y = 0; y < picture.image.height && same; ++y)
        same = std::equal(rows[y], rows[y] + picture.image.width * 3,
                          picture.image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * picture.image.width * 3);
    EXPECT_TRUE(same);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);

    EXPECT_THROW(writePng(folder.path() + "/missing/qc.png", picture.image), std::exception);
}

// Names of any length give a picture no wider than names of the longest label kept.
TEST(QcPicture, LongNamesAreCutAndDoNotWidenThePicture)
{
    QcInputs inputs = shiftedPair({16, 16, 6});
    inputs.firstName = std::string(kLongestQcLabel, 'A');
    inputs.secondName = std::string(kLongestQcLabel, 'B');
    const int longest = renderQcPicture(inputs).image.width;
    inputs.firstName = std::string(1000, 'A');
    inputs.secondName = std::string(5000, 'B');
    const QcPicture picture = renderQcPicture(inputs);
    EXPECT_EQ(picture.image.width, longest);
    EXPECT_EQ(picture.caption.front().rfind("Agreement of " + std::string(kLongestQcLabel - 3, 'A') + "... and ", 0), 0u)
        << picture.caption.front();
}
