// SPDX-License-Identifier: GPL-3.0-or-later
// Anatomical orientation of the pictures: voxel axes matched to body axes from NIfTI
// matrices and project position blocks, and a phantom whose bright corner lies in the
// patient's left, anterior, superior octant drawn where the picture's letters say.
#include <gtest/gtest.h>

#include <cmath>

#include "files/projectheader.h"
#include "report/orientation.h"
#include "report/qcpicture.h"
#include "support/pngimage.h"

namespace {

VoxelToWorld diagonal(double x, double y, double z)
{
    return {{{x, 0.0, 0.0, 0.0}, {0.0, y, 0.0, 0.0}, {0.0, 0.0, z, 0.0}}};
}

// Voxel x runs anterior, y inferior, z to the patient's left: a sagittal stack.
VoxelToWorld sagittalStack()
{
    return {{{0.0, 0.0, -2.5, 0.0}, {2.0, 0.0, 0.0, 0.0}, {0.0, -2.0, 0.0, 0.0}}};
}

// An axial matrix rotated by the angle about the superior axis.
VoxelToWorld rotatedAboutZ(double degrees)
{
    const double a = degrees * 3.14159265358979323846 / 180.0;
    return {{{3.0 * std::cos(a), -3.0 * std::sin(a), 0.0, 0.0}, {3.0 * std::sin(a), 3.0 * std::cos(a), 0.0, 0.0},
             {0.0, 0.0, 3.0, 0.0}}};
}

// Intensity 100 everywhere, 1000 where the world position (origin at the grid's centre)
// lies to the patient's left, anterior and superior.
Volume octantPhantom(const VoxelToWorld& m, Dimensions extent)
{
    Volume volume(extent, 100.0f);
    const double centre[3] = {0.5 * (extent.x - 1), 0.5 * (extent.y - 1), 0.5 * (extent.z - 1)};
    for (int k = 0; k < extent.z; ++k)
        for (int j = 0; j < extent.y; ++j)
            for (int i = 0; i < extent.x; ++i) {
                const double v[3] = {i - centre[0], j - centre[1], k - centre[2]};
                double p[3];
                for (int row = 0; row < 3; ++row) p[row] = m[row][0] * v[0] + m[row][1] * v[1] + m[row][2] * v[2];
                if (p[0] < -1.0 && p[1] > 1.0 && p[2] > 1.0) volume(i, j, k) = 1000.0f;
            }
    return volume;
}

struct Centroid {
    int count = 0;
    double u = 0.0;  // from 0 (left edge) to 1 (right edge)
    double v = 0.0;  // from 0 (top) to 1 (bottom)
};

// Of the white pixels of a panel; the orientation letters are yellow and do not count.
Centroid brightCentroid(const RgbImage& image, const QcPanel& p)
{
    Centroid centroid;
    for (int y = p.y; y < p.y + p.height; ++y)
        for (int x = p.x; x < p.x + p.width; ++x)
            if (const Rgb& c = image.at(x, y); c.r > 200 && c.g > 200 && c.b > 200) {
                ++centroid.count;
                centroid.u += (x - p.x + 0.5) / p.width;
                centroid.v += (y - p.y + 0.5) / p.height;
            }
    if (centroid.count > 0) {
        centroid.u /= centroid.count;
        centroid.v /= centroid.count;
    }
    return centroid;
}

bool isOctantLetter(const std::string& letter)
{
    return letter == "L" || letter == "A" || letter == "S";
}

// Draws the phantom and checks, in every panel that shows the bright corner, that it lies
// towards the edges whose letters are L, A or S.
void expectCornerWhereTheLettersSay(const VoxelToWorld& m, Dimensions extent, LeftRightConvention convention)
{
    QcInputs inputs;
    inputs.firstName = "AP";
    inputs.secondName = "PA";
    inputs.firstBefore = octantPhantom(m, extent);
    inputs.secondBefore = inputs.firstAfter = inputs.secondAfter = inputs.firstBefore;
    inputs.displacement = Volume(extent, 0.0f);
    inputs.orientation = orientationFromMatrix(m, "test");
    inputs.convention = convention;
    ASSERT_TRUE(inputs.orientation.anatomical);
    const QcAnalysis analysis = analyseQc(inputs);
    const QcRendering rendering = renderQcFigure(inputs, analysis, QcFigure::PairBefore, PictureFormat::Png, 80.0);
    const RgbImage image = decodePng(rendering.bytes);

    for (const View& view : analysis.views) {
        ASSERT_NE(isOctantLetter(view.left), isOctantLetter(view.right)) << view.name;
        ASSERT_NE(isOctantLetter(view.top), isOctantLetter(view.bottom)) << view.name;
        int panelsWithCorner = 0;
        for (const QcPanel& p : rendering.panels) {
            if (p.view != view.name || p.content != "first before") continue;
            const Centroid c = brightCentroid(image, p);
            if (c.count < 10) continue;
            ++panelsWithCorner;
            EXPECT_EQ(c.u > 0.5, isOctantLetter(view.right)) << view.name << " slice " << p.slice << " u " << c.u;
            EXPECT_EQ(c.v > 0.5, isOctantLetter(view.bottom)) << view.name << " slice " << p.slice << " v " << c.v;
        }
        EXPECT_GT(panelsWithCorner, 0) << view.name;
    }
}

}  // namespace

TEST(Orientation, AxialMatricesPairVoxelAxesWithBodyAxesAndTheirSigns)
{
    const Orientation ras = orientationFromMatrix(diagonal(2.0, 2.5, 3.0), "ras");
    EXPECT_TRUE(ras.anatomical);
    EXPECT_EQ(ras.bodyAxis, (std::array<int, 3>{0, 1, 2}));
    EXPECT_EQ(ras.towards, (std::array<int, 3>{1, 1, 1}));
    EXPECT_EQ(ras.voxelSize, (std::array<double, 3>{2.0, 2.5, 3.0}));
    EXPECT_EQ(ras.obliqueDegrees, 0.0);

    // The scanner pair's sform: i towards the patient's left.
    const Orientation las = orientationFromMatrix(diagonal(-1.6875, 1.6875, 3.0), "las");
    EXPECT_EQ(las.towards, (std::array<int, 3>{-1, 1, 1}));
    EXPECT_EQ(las.voxelSize[0], 1.6875);

    const Orientation tilted = orientationFromMatrix(rotatedAboutZ(10.0), "tilted");
    EXPECT_EQ(tilted.bodyAxis, (std::array<int, 3>{0, 1, 2}));
    EXPECT_NEAR(tilted.obliqueDegrees, 10.0, 1e-9);
    EXPECT_NEAR(tilted.voxelSize[1], 3.0, 1e-12);
}

TEST(Orientation, SagittalStackAndDegenerateMatrices)
{
    const Orientation sagittal = orientationFromMatrix(sagittalStack(), "sagittal");
    EXPECT_EQ(sagittal.bodyAxis, (std::array<int, 3>{1, 2, 0}));
    EXPECT_EQ(sagittal.towards, (std::array<int, 3>{1, -1, -1}));
    EXPECT_EQ(sagittal.voxelAxis(0), 2);
    const std::array<View, 3> views = standardViews(sagittal, LeftRightConvention::Radiological);
    EXPECT_EQ(views[0].sliceAxis, 1);  // axial slices cut the inferior-superior voxel axis
    EXPECT_EQ(views[2].sliceAxis, 2);

    VoxelToWorld flat = diagonal(2.0, 2.0, 3.0);
    flat[2][2] = 0.0;
    EXPECT_FALSE(orientationFromMatrix(flat, "flat").anatomical);
    VoxelToWorld parallel = diagonal(2.0, 2.0, 3.0);
    parallel[0][1] = 2.0;
    parallel[1][1] = 0.0;
    const Orientation same = orientationFromMatrix(parallel, "parallel");
    EXPECT_FALSE(same.anatomical);
    EXPECT_EQ(same.voxelSize[2], 3.0);
    const std::array<View, 3> voxelViews = standardViews(same, LeftRightConvention::Radiological);
    EXPECT_EQ(voxelViews[0].name, "z slices");
    EXPECT_EQ(voxelViews[0].right, "+x");
    EXPECT_EQ(voxelViews[0].top, "+y");
}

TEST(Orientation, ConventionsPutThePatientsRightOnTheStatedSide)
{
    const Orientation ras = orientationFromMatrix(diagonal(2.0, 2.0, 2.0), "ras");
    const std::array<View, 3> radiological = standardViews(ras, LeftRightConvention::Radiological);
    EXPECT_EQ(radiological[0].name, "axial");
    EXPECT_EQ(radiological[0].left, "R");
    EXPECT_EQ(radiological[0].top, "A");
    EXPECT_FALSE(radiological[0].acrossIncreasing);  // x grows towards the right, drawn on the left
    EXPECT_FALSE(radiological[0].downIncreasing);    // y grows anteriorly, drawn upwards
    EXPECT_EQ(radiological[1].top, "S");
    EXPECT_EQ(radiological[2].left, "A");
    const std::array<View, 3> neurological = standardViews(ras, LeftRightConvention::Neurological);
    EXPECT_EQ(neurological[0].left, "L");
    EXPECT_TRUE(neurological[0].acrossIncreasing);
}

TEST(Orientation, ProjectPositionBlockInScannerCoordinates)
{
    FmrHeader header;
    header.InplaneResolutionX.value = 2.0f;
    header.InplaneResolutionY.value = 2.5f;
    header.SliceThickness.value = 3.0f;
    header.SliceGap.value = 0.5f;
    EXPECT_FALSE(projectOrientation(header, "plain.fmr").anatomical);
    EXPECT_EQ(projectOrientation(header, "plain.fmr").voxelSize, (std::array<double, 3>{2.0, 2.5, 3.5}));
    EXPECT_NE(projectOrientation(header, "plain.fmr").source.find("plain.fmr holds no position information"),
              std::string::npos);

    // Rows towards the patient's left, columns towards anterior, slices upwards.
    header.PosInfosVerified.present = true;
    for (FloatField* field : {&header.RowDirX, &header.RowDirY, &header.RowDirZ, &header.ColDirX, &header.ColDirY,
                              &header.ColDirZ, &header.Slice1CenterZ, &header.SliceNCenterZ})
        field->present = true;
    header.RowDirX.value = 1.0f;
    header.ColDirY.value = -1.0f;
    header.Slice1CenterZ.value = -40.0f;
    header.SliceNCenterZ.value = 40.0f;
    const Orientation axial = projectOrientation(header, "axial.fmr");
    EXPECT_TRUE(axial.anatomical);
    EXPECT_EQ(axial.bodyAxis, (std::array<int, 3>{0, 1, 2}));
    EXPECT_EQ(axial.towards, (std::array<int, 3>{-1, 1, 1}));
    EXPECT_EQ(axial.source, "the position information of axial.fmr");

    // Slices from the head down: the slice axis points inferior.
    header.Slice1CenterZ.value = 40.0f;
    header.SliceNCenterZ.value = -40.0f;
    EXPECT_EQ(projectOrientation(header, "down.fmr").towards[2], -1);
    // One place for both centres: the normal of rows and columns, left x anterior = down
    // in scanner coordinates, that is inferior.
    header.SliceNCenterZ.value = 40.0f;
    EXPECT_EQ(projectOrientation(header, "one.fmr").towards[2], -1);
}

TEST(Orientation, BrightCornerLandsWhereTheLettersSayForEveryVoxelOrder)
{
    const Dimensions axialExtent{20, 16, 12};
    for (const LeftRightConvention convention : {LeftRightConvention::Radiological, LeftRightConvention::Neurological}) {
        SCOPED_TRACE(conventionText(convention));
        expectCornerWhereTheLettersSay(diagonal(3.0, 3.0, 3.0), axialExtent, convention);
        expectCornerWhereTheLettersSay(diagonal(-1.6875, 1.6875, 3.0), axialExtent, convention);
        expectCornerWhereTheLettersSay(diagonal(-3.0, -3.0, 3.0), axialExtent, convention);
        expectCornerWhereTheLettersSay(sagittalStack(), Dimensions{18, 14, 16}, convention);
        expectCornerWhereTheLettersSay(rotatedAboutZ(10.0), axialExtent, convention);
    }
}

TEST(Orientation, RadiologicalPicturesShowThePatientsLeftOnTheRight)
{
    // The explicit side, independent of the letters: the corner (patient's left) lies in
    // the right half of the radiological axial panels and in the left half of the
    // neurological ones.
    for (const LeftRightConvention convention : {LeftRightConvention::Radiological, LeftRightConvention::Neurological}) {
        QcInputs inputs;
        const Dimensions extent{20, 16, 12};
        inputs.firstBefore = octantPhantom(diagonal(3.0, 3.0, 3.0), extent);
        inputs.secondBefore = inputs.firstAfter = inputs.secondAfter = inputs.firstBefore;
        inputs.displacement = Volume(extent, 0.0f);
        inputs.orientation = orientationFromMatrix(diagonal(3.0, 3.0, 3.0), "test");
        inputs.convention = convention;
        const QcAnalysis analysis = analyseQc(inputs);
        const QcRendering rendering = renderQcFigure(inputs, analysis, QcFigure::PairBefore, PictureFormat::Png, 80.0);
        const RgbImage image = decodePng(rendering.bytes);
        const QcPanel& top = rendering.panels.at(6);  // the highest axial slice
        ASSERT_EQ(top.view, "axial");
        const Centroid c = brightCentroid(image, top);
        ASSERT_GT(c.count, 10);
        EXPECT_EQ(c.u > 0.5, convention == LeftRightConvention::Radiological) << c.u;
        EXPECT_LT(c.v, 0.5);
    }
}
