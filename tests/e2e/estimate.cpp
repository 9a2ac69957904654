// SPDX-License-Identifier: GPL-3.0-or-later
// The estimate step run as the dialog runs it ("mindaro task estimate") on phantom
// projects in a temporary folder: log lines word for word, the files written, the maps
// and the undistorted copies read back, and the copies against the phantom's truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "core/vdm.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "plugin/vdmmaps.h"
#include "support/workflow.h"

namespace {

struct PhantomPair {
    std::string directory;
    bool leftRight = false;
    bool dmr = false;
    bool floatData = false;

    std::string extension() const { return dmr ? "dmr" : "fmr"; }
    std::string data() const { return dmr ? "dwi" : "stc"; }
    std::string stem(int j) const { return directory + "/" + (leftRight ? (j == 0 ? "LR" : "RL") : (j == 0 ? "AP" : "PA")); }
    std::string project(int j) const { return stem(j) + "." + extension(); }
    std::string truth() const { return directory + "/truth." + extension(); }
};

void simulatePair(const Workspace& workspace, const PhantomPair& pair, std::vector<std::string> options)
{
    if (pair.leftRight) options.push_back("--left-right");
    if (pair.dmr) options.push_back("--dmr");
    if (pair.floatData) options.push_back("--float");
    workspace.simulate(pair.directory, options);
}

std::vector<std::string> estimateArguments(const PhantomPair& pair, bool fast, bool ssd, bool ic, bool derivative,
                                           bool apply)
{
    const auto flag = [](const char* name, bool value) { return std::string(name) + "=" + (value ? "1" : "0"); };
    return {"task",      "estimate", "--set",     "file0=" + pair.project(0),     "--set",
            "file1=" + pair.project(1), "--set-int", flag("rllr", pair.leftRight), "--set-int", flag("use_ic", ic),
            "--set-int", flag("use_ssd", ssd), "--set-int", flag("apply_to_input", apply), "--set-int",
            flag("save_derivative", derivative), "--set-int", flag("fast_algorithm", fast), "--set-int", "order=0",
            "--get",     "vdm"};
}

struct EstimateCase {
    const char* label;
    PhantomPair pair;
    std::vector<std::string> phantomOptions{};
    bool fast = true;
    bool ssd = false;
    bool ic = false;
    bool derivative = false;
    bool apply = false;
    // The column-wise estimate's first line, which shows the voxel size used.
    std::string sigmaLine{};
    // The full estimate's first level: the smoothing width 20/sqrt(vx).
    std::string firstSmoothing{};
};

std::size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::size_t count = 0;
    for (const std::string& line : lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

void expectLog(const EstimateCase& c, const std::string& out)
{
    const std::vector<std::string> lines = linesOf(out);
    ASSERT_GE(lines.size(), 6u) << out;
    EXPECT_EQ(lines[0], "Estimating voxel displacement maps...");
    EXPECT_EQ(lines[1], c.sigmaLine);
    std::vector<std::string> tail{"Saving voxel displacement maps to .map files..."};
    if (c.apply) tail.push_back("Applying voxel displacement maps...");
    tail.push_back("Done.");
    tail.push_back("vdm=" + c.pair.stem(0) + "_vdm.map");
    const std::vector<std::string> lastLines(lines.end() - static_cast<std::ptrdiff_t>(tail.size()), lines.end());
    EXPECT_EQ(lastLines, tail) << out;
    EXPECT_EQ(countStartingWith(lines, "Saving voxel"), 1u);
    if (c.fast) {
        ASSERT_EQ(lines.size(), tail.size() + 4) << out;
        EXPECT_EQ(lines[2].rfind("SSD of original AP and PA volumes: ", 0), 0u) << out;
        EXPECT_EQ(lines[3].rfind("SSD after applying column wise VDM: ", 0), 0u) << out;
    } else {
        EXPECT_EQ(countStartingWith(lines, "Smoothed ("), 4u) << out;
        EXPECT_EQ(countStartingWith(lines, c.firstSmoothing + " and needed "), 1u) << out;
        EXPECT_EQ(countStartingWith(lines, std::string("Finished iteration with ") + (c.ssd ? "SSD: " : "NCC: ")), 4u)
            << out;
        EXPECT_EQ(countStartingWith(lines, "Inverse consistency check VDM: "), 1u) << out;
    }
}

void expectMapFile(const std::string& path, float firstValue, float secondValue)
{
    const VdmMapFile file = readVdmMapFile(path, false);
    EXPECT_EQ(file.fifthHeaderWord, 1) << path;
    EXPECT_EQ(file.firstHeaderFloat, firstValue) << path;
    EXPECT_EQ(file.secondHeaderFloat, secondValue) << path;
    EXPECT_EQ(file.secondExtraInteger, 0) << path;
}

// Runs one estimate on a fresh phantom and checks everything it wrote.
void checkEstimate(const EstimateCase& c)
{
    SCOPED_TRACE(c.label);
    const Workspace workspace;
    simulatePair(workspace, c.pair, c.phantomOptions);
    // A link to an anatomical project, which the undistorted copies must drop.
    workspace.setHeaderLine(c.pair.project(0), "LoadAMRFile", "\"anatomy.vmr\"");
    workspace.setHeaderLine(c.pair.project(0), "ShowAMRFile", "1");
    const FolderContents before = workspace.contents();

    const ProcessResult result =
        workspace.mindaro(estimateArguments(c.pair, c.fast, c.ssd, c.ic, c.derivative, c.apply));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    expectLog(c, result.out);

    const FolderContents after = workspace.contents();
    EXPECT_EQ(changedFiles(before, after), std::set<std::string>{});
    std::set<std::string> expected;
    for (int j = 0; j < 2; ++j) {
        expected.insert(c.pair.stem(j) + "_vdm.map");
        if (c.derivative) expected.insert(c.pair.stem(j) + "_vdmderiv.map");
        if (c.apply) {
            expected.insert(c.pair.stem(j) + "_undist." + c.pair.extension());
            expected.insert(c.pair.stem(j) + "_undist." + c.pair.data());
        }
    }
    EXPECT_EQ(addedFiles(before, after), expected);

    // The maps: stored orientation, the second the negated first.
    const std::vector<Volume> first = readProjectVolumes(workspace.path(c.pair.project(0)));
    const Volume map = mapVolume(workspace.path(c.pair.stem(0) + "_vdm.map"));
    ASSERT_EQ(map.dimensions(), first.front().dimensions());
    EXPECT_EQ(differingVoxels(mapVolume(workspace.path(c.pair.stem(1) + "_vdm.map")), -map), 0u);
    for (int j = 0; j < 2; ++j) expectMapFile(workspace.path(c.pair.stem(j) + "_vdm.map"), 1.0f, 5.0f);
    const Volume workingMap = c.pair.leftRight ? map.transposeXY() : map;

    if (c.derivative) {
        const Volume workingDerivative = vdmDerivativeY(workingMap);
        const Volume derivative = c.pair.leftRight ? workingDerivative.transposeXY() : workingDerivative;
        EXPECT_EQ(differingVoxels(mapVolume(workspace.path(c.pair.stem(0) + "_vdmderiv.map")), derivative), 0u);
        EXPECT_EQ(differingVoxels(mapVolume(workspace.path(c.pair.stem(1) + "_vdmderiv.map")), -derivative), 0u);
        for (int j = 0; j < 2; ++j) expectMapFile(workspace.path(c.pair.stem(j) + "_vdmderiv.map"), 0.1f, 1.0f);
    }

    const Volume truth = readProjectVolumes(workspace.path(c.pair.truth())).front();
    const std::vector<std::size_t> object = voxelsAbove(truth, 0.0f);
    const Volume trueMap = mapVolume(workspace.path(c.pair.directory + "/true_vdm.map"));
    const Agreement mapAgreement = agreementOver(map, trueMap, object);
    std::printf("[%s] estimated map against the true map: correlation %.3f, RMS error %.3f voxels\n", c.label,
                mapAgreement.correlation, std::sqrt(mapAgreement.meanSquaredDifference));
    // A map of the wrong sign or orientation would not correlate at all; on phantoms this
    // small the estimate is smoother than the truth, which the copies below judge better.
    EXPECT_GT(mapAgreement.correlation, 0.4);
    if (!c.apply) return;

    // The copies: every volume undistorted with its project's map, the link dropped.
    for (int j = 0; j < 2; ++j) {
        const std::string copyPath = c.pair.stem(j) + "_undist." + c.pair.extension();
        SCOPED_TRACE(copyPath);
        const std::vector<Volume> source = readProjectVolumes(workspace.path(c.pair.project(j)));
        const std::vector<Volume> copy = readProjectVolumes(workspace.path(copyPath));
        ASSERT_EQ(copy.size(), source.size());
        const Volume projectMap = j == 0 ? workingMap : -workingMap;
        for (std::size_t i = 0; i < copy.size(); ++i)
            EXPECT_EQ(differingVoxels(copy[i], expectedStoredCopy(source[i], projectMap, c.pair.leftRight,
                                                                  c.pair.floatData)),
                      0u)
                << "volume " << i;
        const ProjectHeader header = c.pair.dmr ? ProjectHeader(readDmrHeader(workspace.path(copyPath), false))
                                                : ProjectHeader(readFmrHeader(workspace.path(copyPath), false));
        EXPECT_EQ(header.Prefix.value, stripExtension(fileNamePart(copyPath)));
        EXPECT_EQ(header.NrOfVolumes.value, static_cast<int>(source.size()));
        EXPECT_FALSE(header.ShowAMRFile.value);
        EXPECT_EQ(header.LoadAMRFile.value, "");

        // The best a map can do here: the copy made with the true map (the stretch of the
        // intensities stays uncorrected).
        const Volume trueWorkingMap = c.pair.leftRight ? trueMap.transposeXY() : trueMap;
        const Volume ideal = expectedStoredCopy(source.front(), j == 0 ? trueWorkingMap : -trueWorkingMap,
                                                c.pair.leftRight, c.pair.floatData);
        const Agreement input = agreementOver(source.front(), truth, object);
        const Agreement corrected = agreementOver(copy.front(), truth, object);
        const Agreement best = agreementOver(ideal, truth, object);
        std::printf("[%s] %s against the truth: correlation %.4f -> %.4f (true map %.4f), mean squared difference "
                    "%.1f -> %.1f (true map %.1f)\n",
                    c.label, c.pair.project(j).c_str(), input.correlation, corrected.correlation, best.correlation,
                    input.meanSquaredDifference, corrected.meanSquaredDifference, best.meanSquaredDifference);
        // Close to the truth: most of the way that the true map goes.
        EXPECT_GT(corrected.correlation, best.correlation - 0.015);
        EXPECT_LT(corrected.meanSquaredDifference,
                  input.meanSquaredDifference - 0.6 * (input.meanSquaredDifference - best.meanSquaredDifference));
    }
}

}  // namespace

TEST(WorkflowNames, MapNamesReplaceTheExtensionAndInsertTheSuffix)
{
    EXPECT_EQ(vdmMapName("run1.fmr"), "run1_vdm.map");
    EXPECT_EQ(derivativeMapName("run1.fmr"), "run1_vdmderiv.map");
    EXPECT_EQ(vdmMapName("/data/run1.dmr"), "/data/run1_vdm.map");
    EXPECT_EQ(derivativeMapName("C:\\data\\run.1.dmr"), "C:\\data\\run.1_vdmderiv.map");
    EXPECT_EQ(vdmMapName("run1"), "run1_vdm.map");
    EXPECT_EQ(derivativeMapName("/data/run1"), "/data/run1_vdmderiv.map");
}

TEST(WorkflowEstimate, FastEstimateSavesMapsDerivativesAndCopiesForEveryKindOfPair)
{
    const std::vector<EstimateCase> cases{
        {.label = "AP/PA FMR, 2 volumes, maps only",
         .pair = {"ap"},
         .phantomOptions = {"--size", "32x32x12", "--volumes", "2"},
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 1.33333, sigma.z: 0.5"},
        {.label = "AP/PA FMR, 2 volumes, derivative and copies",
         .pair = {"ap"},
         .phantomOptions = {"--size", "32x32x12", "--volumes", "2"},
         .derivative = true,
         .apply = true,
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 1.33333, sigma.z: 0.5"},
        // x and y extents and voxel sizes differ: the voxel size along the phase
        // encoding (x here, 2 mm) gives the smoothing width 4 / 2.
        {.label = "LR/RL DMR float, 40x32, 2x3 mm",
         .pair = {"lr", true, true, true},
         .phantomOptions = {"--size", "40x32x12", "--voxel-size", "2x3x3"},
         .derivative = true,
         .apply = true,
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 2, sigma.z: 0.5"},
    };
    for (const EstimateCase& c : cases) checkEstimate(c);
}

TEST(WorkflowEstimate, FullEstimateFollowsMeasureIntensitySwitchAndVoxelSize)
{
    const std::vector<EstimateCase> cases{
        {.label = "AP/PA DMR, full, NCC, 2 mm",
         .pair = {"ap", false, true},
         .phantomOptions = {"--size", "32x32x12", "--voxel-size", "2"},
         .fast = false,
         .apply = true,
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 2, sigma.z: 0.5",
         .firstSmoothing = "Smoothed (14.1421)"},
        {.label = "AP/PA FMR float, full, SSD, intensity modulation",
         .pair = {"ap", false, false, true},
         .phantomOptions = {"--size", "32x32x12"},
         .fast = false,
         .ssd = true,
         .ic = true,
         .derivative = true,
         .apply = true,
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 1.33333, sigma.z: 0.5",
         .firstSmoothing = "Smoothed (11.547)"},
        // Left-right with 2 x 3 mm voxels: after the exchange vx = 3 and vy = 2, so the
        // inputs are smoothed by 4 / 2 and the first level by 20 / sqrt(3).
        {.label = "LR/RL FMR, full, NCC, intensity modulation, 40x32, 2x3 mm",
         .pair = {"lr", true},
         .phantomOptions = {"--size", "40x32x12", "--voxel-size", "2x3x3"},
         .fast = false,
         .ic = true,
         .apply = true,
         .sigmaLine = "Column-wise optimisation, sigma: x: 0.5, y: 2, sigma.z: 0.5",
         .firstSmoothing = "Smoothed (11.547)"},
    };
    for (const EstimateCase& c : cases) checkEstimate(c);
}

TEST(WorkflowEstimate, MismatchedProjectsAndMissingVolumesEndInOneErrorBoxAndWriteNothing)
{
    const Workspace workspace;
    workspace.simulate("five", {"--size", "32x32x12", "--volumes", "5"});
    workspace.simulate("taller", {"--size", "32x32x13"});
    workspace.simulate("empty", {"--size", "32x32x12"});
    workspace.setHeaderLine("empty/AP.fmr", "NrOfVolumes", "0");
    const FolderContents before = workspace.contents();

    const struct {
        std::vector<std::string> settings;
        std::string message;
    } cases[] = {
        // The extents are compared before any volume index is checked.
        {{"file0=five/AP.fmr", "file1=taller/PA.fmr", "volume0=7"}, "All datasets must have the same dimensions!"},
        {{"file0=five/AP.fmr", "file1=five/PA.fmr", "volume0=5"},
         "Cannot use volume 5 of file five/AP.fmr, which has only 5 volumes."},
        {{"file0=five/AP.fmr", "file1=five/PA.fmr", "volume1=-1"},
         "Cannot use volume 4294967295 of file five/PA.fmr, which has only 5 volumes."},
        // A project without volumes has no extent to compare.
        {{"file0=empty/AP.fmr", "file1=five/PA.fmr"}, "Cannot use volume 0 of file empty/AP.fmr, which has only 0 volumes."},
        {{"file0=five/AP.fmr", "file1=empty/AP.fmr", "volume1=3"},
         "Cannot use volume 3 of file empty/AP.fmr, which has only 0 volumes."},
        {{"file0=five/AP.fmr", "file1=missing/PA.fmr"}, "Failed opening for reading: missing/PA.fmr"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"task", "estimate", "--set-int", "apply_to_input=1", "--get", "vdm"};
        for (const std::string& setting : c.settings) {
            arguments.push_back(setting.rfind("file", 0) == 0 ? "--set" : "--set-int");
            arguments.push_back(setting);
        }
        const ProcessResult result = workspace.mindaro(arguments);
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_EQ(result.out, "vdm=\n");
        EXPECT_EQ(result.err, "Error: " + c.message + "\n");
        EXPECT_EQ(workspace.contents(), before) << c.message;
    }
}

TEST(WorkflowEstimate, MapThatTheHostCannotSaveEndsTheTaskWithAnError)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12"});
    // A folder where the second map should go: the host cannot write the file.
    std::filesystem::create_directory(workspace.path("ap/PA_vdm.map"));
    const FolderContents before = workspace.contents();

    const ProcessResult result = workspace.mindaro(estimateArguments({"ap"}, true, false, false, true, true));
    EXPECT_EQ(result.status, 1);
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Saving voxel displacement maps to .map files...");
    EXPECT_EQ(lines.back(), "vdm=");
    EXPECT_EQ(result.err, "Cannot save the map as ap/PA_vdm.map: Failed opening for writing: ap/PA_vdm.map\n"
                          "Error: could not save the map ap/PA_vdm.map\n");
    // The first map stays written; nothing after the failing one happens.
    const FolderContents after = workspace.contents();
    EXPECT_EQ(addedFiles(before, after), std::set<std::string>{"ap/AP_vdm.map"});
    EXPECT_EQ(changedFiles(before, after), std::set<std::string>{});
}
