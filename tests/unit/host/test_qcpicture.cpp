// SPDX-License-Identifier: GPL-3.0-or-later
// The quality-control pictures: panels, their count and sizes, the figures against brute
// force, and the PNG and SVG files.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "core/vdm.h"
#include "report/qcpicture.h"
#include "support/pngimage.h"
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
    inputs.firstName = "AP";
    inputs.secondName = "PA";
    inputs.firstBefore = box(extent, 2);
    inputs.secondBefore = box(extent, -2, 30.0f);
    inputs.firstAfter = box(extent, 0);
    inputs.secondAfter = box(extent, 0);
    inputs.displacement = Volume(extent, 0.0f);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x)
                inputs.displacement(x, y, z) = 1.0f - 0.05f * static_cast<float>(std::abs(y - extent.y / 2));
    inputs.orientation = voxelOrder({2.0, 2.0, 2.0}, "test");
    return inputs;
}

std::vector<QcPanel> panelsOf(const QcRendering& rendering, const std::string& content, const std::string& view)
{
    std::vector<QcPanel> panels;
    for (const QcPanel& p : rendering.panels)
        if (p.content == content && p.view == view) panels.push_back(p);
    return panels;
}

std::set<std::array<std::uint8_t, 3>> colours(const RgbImage& image, const QcPanel& p)
{
    std::set<std::array<std::uint8_t, 3>> result;
    for (int y = p.y; y < p.y + p.height; ++y)
        for (int x = p.x; x < p.x + p.width; ++x) result.insert({image.at(x, y).r, image.at(x, y).g, image.at(x, y).b});
    return result;
}

}  // namespace

TEST(QcPicture, SevenFiveAndFiveSlicesPerRowEveryPanelInsideThePicture)
{
    const QcInputs inputs = shiftedPair({24, 20, 16});
    const QcAnalysis analysis = analyseQc(inputs);
    const QcRendering picture = renderQcPicture(inputs, analysis, PictureFormat::Png);
    const RgbImage image = decodePng(picture.bytes);
    EXPECT_EQ(image.width, picture.width);
    EXPECT_EQ(image.height, picture.height);
    // Both pair figures (2 rows per view), the differences (2 rows) and the field (1 row):
    // 7 rows of 7 + 5 + 5 slices.
    ASSERT_EQ(picture.panels.size(), 7u * 17u);
    const std::map<std::string, std::size_t> perView{{"z slices", 7}, {"y slices", 5}, {"x slices", 5}};
    for (const std::string content : {"first before", "second before", "first after", "second after",
                                      "difference before", "difference after", "field"})
        for (const auto& [view, count] : perView) EXPECT_EQ(panelsOf(picture, content, view).size(), count) << content;
    for (const QcPanel& p : picture.panels) {
        EXPECT_GE(p.x, 0);
        EXPECT_GE(p.y, 0);
        EXPECT_LE(p.x + p.width, image.width);
        EXPECT_LE(p.y + p.height, image.height);
        // The first image covers the object everywhere; the second, shifted, may miss an
        // edge slice.
        if (p.content == "first before" || p.content == "first after" || p.content == "field") {
            EXPECT_GT(colours(image, p).size(), 1u) << p.content << " " << p.view;
        }
    }
    // Slices lie strictly inside the object's extent along their axis (z 2..13).
    for (const QcPanel& p : panelsOf(picture, "first before", "z slices")) {
        EXPECT_GT(p.slice, 2);
        EXPECT_LT(p.slice, 13);
    }
    // After the correction the pair is identical: its difference panels are one colour
    // (black), unlike those before, drawn on the same scale.
    for (const auto& [view, count] : perView)
        for (const QcPanel& p : panelsOf(picture, "difference after", view)) EXPECT_EQ(colours(image, p).size(), 1u) << view;
}

TEST(QcPicture, PanelsKeepThePhysicalProportionsOfAnisotropicVoxels)
{
    QcInputs inputs = shiftedPair({32, 16, 8});
    // The box: the object (x 3..28, y 1..14, z 2..5) and two voxels more, within the grid:
    // 30 x 32 x 32 mm.
    inputs.orientation = voxelOrder({1.0, 2.0, 4.0}, "test");
    const QcAnalysis analysis = analyseQc(inputs);
    const QcRendering field = renderQcFigure(inputs, analysis, QcFigure::Field, PictureFormat::Png, 128.0);
    ASSERT_EQ(field.panels.size(), 4u + 5u + 5u);  // the object is 4 slices thick
    const double mm[3] = {30.0, 32.0, 32.0};
    const std::map<std::string, std::pair<int, int>> axes{{"z slices", {0, 1}}, {"y slices", {0, 2}}, {"x slices", {1, 2}}};
    for (const QcPanel& p : field.panels) {
        const auto [across, down] = axes.at(p.view);
        EXPECT_EQ(p.width, std::lround(mm[across] * 4.0)) << p.view;  // 128 pixels for the largest, 32 mm
        EXPECT_EQ(p.height, std::lround(mm[down] * 4.0)) << p.view;
    }
}

TEST(QcPicture, AgreementAndMapFiguresMatchABruteForceComputation)
{
    const QcInputs inputs = shiftedPair({24, 20, 10});
    const std::vector<VoxelIndex> object = qcObjectVoxels(inputs);
    ASSERT_FALSE(object.empty());
    double before = 0.0;
    double lowest = 1e9;
    double highest = -1e9;
    for (const VoxelIndex& v : object) {
        const double d = inputs.firstBefore(v.x, v.y, v.z) - inputs.secondBefore(v.x, v.y, v.z);
        before += d * d;
        lowest = std::min(lowest, 2.0 * inputs.displacement(v.x, v.y, v.z));
        highest = std::max(highest, 2.0 * inputs.displacement(v.x, v.y, v.z));
    }
    const QcAnalysis analysis = analyseQc(inputs);
    EXPECT_NEAR(analysis.agreement.meanSquaredBefore, before / static_cast<double>(object.size()), 1e-6 * before);
    EXPECT_EQ(analysis.agreement.meanSquaredAfter, 0.0);
    EXPECT_NEAR(analysis.agreement.correlationAfter, 1.0, 1e-6);
    EXPECT_LT(analysis.agreement.correlationBefore, 0.9);
    EXPECT_NEAR(analysis.map.lowestMm, lowest, 1e-6);
    EXPECT_NEAR(analysis.map.highestMm, highest, 1e-6);
    EXPECT_FALSE(analysis.map.lowestHz.has_value());
    EXPECT_EQ(analysis.map.folds, 0);
    EXPECT_NEAR(analysis.map.largestStep, 0.05, 1e-6);
    const std::vector<std::string> lines = qcSummaryLines(inputs, analysis);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("before, 0.0 after"), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find("no folds (largest step between neighbours along y 0.05 voxels)"), std::string::npos)
        << lines[3];
}

TEST(QcPicture, FoldsAreCountedAlongThePhaseEncodingAxisAndTheFieldIsInHertz)
{
    QcInputs inputs = shiftedPair({24, 20, 10});
    inputs.displacement = Volume(inputs.displacement.dimensions(), 0.0f);
    inputs.displacement(5, 7, 4) = 1.5f;  // steps of 1.5 to both neighbours along y and along x
    inputs.hertzPerVoxel = -20.0;
    QcAnalysis analysis = analyseQc(inputs);
    EXPECT_EQ(analysis.map.folds, countFolds(inputs.displacement));
    EXPECT_EQ(analysis.map.folds, 2);
    EXPECT_NEAR(analysis.map.largestStep, 1.5, 1e-6);
    ASSERT_TRUE(analysis.map.lowestHz.has_value());
    EXPECT_NEAR(*analysis.map.lowestHz, -30.0, 1e-9);  // the sign of hertz per voxel turns the range over
    EXPECT_NEAR(*analysis.map.highestHz, 0.0, 1e-9);
    EXPECT_NE(qcSummaryLines(inputs, analysis)[3].find("(-30.0 to 0.0 Hz); 2 folds"), std::string::npos);

    inputs.phaseEncodingAxis = 0;
    inputs.displacement(6, 7, 4) = 2.0f;  // along x: 1.5 -> 2.0 is no fold, 0 -> 1.5 and 2.0 -> 0 are
    analysis = analyseQc(inputs);
    EXPECT_EQ(analysis.map.folds, 2);
    EXPECT_NEAR(analysis.map.largestStep, 2.0, 1e-6);
    EXPECT_NE(foldText(analysis.map, 0).find("along x"), std::string::npos);
}

TEST(QcPicture, FiguresSpellTheNumbersOneWay)
{
    EXPECT_EQ(formatSigned(-0.04), "0.0");
    EXPECT_EQ(formatSigned(0.04), "0.0");
    EXPECT_EQ(formatSigned(11.55), "+11.6");
    EXPECT_EQ(formatRange(-1.25, 3.0, "mm"), "-1.2 to +3.0 mm");
    EXPECT_EQ(formatCorrelation(0.97824), "0.9782");
    EXPECT_EQ(improvementText({10.0, 0.0, 4.0, 0.0}), "2.5 times less");
    EXPECT_EQ(improvementText({4.0, 0.0, 10.0, 0.0}), "2.5 times more");
    EXPECT_EQ(improvementText({4.0, 0.0, 0.0, 0.0}), "");
}

TEST(QcPicture, BadInputsAreRefused)
{
    QcInputs inputs = shiftedPair({24, 20, 10});
    inputs.secondAfter = Volume(24, 20, 9, 0.0f);
    EXPECT_THROW(analyseQc(inputs), std::invalid_argument);
    inputs = shiftedPair({24, 20, 10});
    inputs.object = {{0, 0, 0}, {24, 0, 0}};
    EXPECT_THROW(analyseQc(inputs), std::invalid_argument);
    inputs = shiftedPair({24, 20, 10});
    inputs.phaseEncodingAxis = 2;
    EXPECT_THROW(analyseQc(inputs), std::invalid_argument);
}

TEST(QcPicture, PngAndSvgFilesByTheirExtension)
{
    const TemporaryFolder folder;
    const QcInputs inputs = shiftedPair({16, 16, 8});
    const QcResult result = writeQcPicture(folder.path() + "/qc.png", inputs);
    const RgbImage png = readPngFile(folder.path() + "/qc.png");
    const QcRendering rendering = renderQcPicture(inputs, result.analysis, PictureFormat::Png);
    EXPECT_EQ(png.width, rendering.width);
    EXPECT_EQ(png.height, rendering.height);
    EXPECT_EQ(result.summary, qcSummaryLines(inputs, result.analysis));

    writeQcPicture(folder.path() + "/qc.svg", inputs, result.analysis);
    const std::string svg = readWhole(folder.path() + "/qc.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("width=\"" + std::to_string(rendering.width) + "pt\""), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);

    EXPECT_THROW(writeQcPicture(folder.path() + "/missing/qc.png", inputs), std::exception);
}

// Names of any length are cut to the longest label kept, so they draw as the cut names do.
TEST(QcPicture, LongNamesAreCutAndDoNotWidenThePicture)
{
    QcInputs inputs = shiftedPair({16, 16, 6});
    inputs.firstName = std::string(kLongestQcLabel - 3, 'A') + "...";
    inputs.secondName = std::string(kLongestQcLabel - 3, 'B') + "...";
    const QcAnalysis analysis = analyseQc(inputs);
    const QcRendering longest = renderQcPicture(inputs, analysis, PictureFormat::Svg);
    inputs.firstName = std::string(1000, 'A');
    inputs.secondName = std::string(5000, 'B');
    const QcRendering picture = renderQcPicture(inputs, analysis, PictureFormat::Svg);
    EXPECT_EQ(picture.width, longest.width);
    EXPECT_EQ(picture.height, longest.height);
}
