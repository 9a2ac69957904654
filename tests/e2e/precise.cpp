// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate and the intensity correction through the built host: the dialog
// steps with "precise" and "intensity_correction", the friendly commands, the gradient-echo
// phantom and its check, and the inputs the precise estimate refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/pairagreement.h"
#include "core/vdm.h"
#include "estimate/preciseobjective.h"
#include "phantom/phantom.h"
#include "support/workflow.h"

namespace {

const std::vector<std::string> kSmallPhantom{"--size", "40x40x16", "--peak", "3", "--noise", "5"};

std::vector<std::string> preciseTask(const std::string& first, const std::string& second, bool apply)
{
    return {"task",      "estimate", "--set", "file0=" + first,    "--set",           "file1=" + second,
            "--set-int", "precise=1", "--set-int", "intensity_correction=1", "--set-int",
            std::string("apply_to_input=") + (apply ? "1" : "0"), "--get", "estimate_method"};
}

std::size_t indexOf(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return i;
    return lines.size();
}

}  // namespace

TEST(PreciseWorkflow, EstimateTaskLogsTheMethodAndSavesAMapCloseToTheTruth)
{
    const Workspace workspace;
    workspace.simulate("p", kSmallPhantom);
    const ProcessResult result = workspace.mindaro(preciseTask("p/AP.fmr", "p/PA.fmr", true));
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_GE(lines.size(), 10u) << result.out;
    EXPECT_EQ(lines[0], "Estimating voxel displacement maps...");
    // The precise estimate's own log comes first and names it; then one line per level.
    EXPECT_EQ(lines[1].rfind("Running the precise estimate: ", 0), 0u) << result.out;
    EXPECT_EQ(lines[2].rfind("Level 1 of 4 (5 x 40 x 4 voxels): ", 0), 0u) << result.out;
    EXPECT_EQ(lines[5].rfind("Level 4 of 4 (40 x 40 x 16 voxels): ", 0), 0u) << result.out;
    EXPECT_NE(lines[5].find(" Gauss-Newton steps, "), std::string::npos);
    // A spin-echo phantom: the check starts from the standard map at half resolution; the
    // precise map is kept, whether the refined map settled it or the full standard map did.
    const std::size_t check = indexOf(
        lines, "Checking the precise map against the standard estimate at half resolution across the phase-encoding lines...");
    ASSERT_LT(check, lines.size()) << result.out;
    EXPECT_LT(indexOf(lines, "Agreement of the intensity-corrected pair over the head (correlation): precise "),
              lines.size());
    const std::vector<std::string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Saving voxel displacement maps to .map files...",
                                              "Applying voxel displacement maps with intensity correction...", "Done.",
                                              "estimate_method=precise"}));

    const Volume map = mapVolume(workspace.path("p/AP_vdm.map"));
    const Volume trueMap = mapVolume(workspace.path("p/true_vdm.map"));
    const Volume truth = readProjectVolumes(workspace.path("p/truth.fmr")).front();
    EXPECT_LT(std::sqrt(agreementOver(map, trueMap, voxelsAbove(truth, 100.0f)).meanSquaredDifference), 0.1);
    EXPECT_EQ(differingVoxels(mapVolume(workspace.path("p/PA_vdm.map")), -map), 0u);

    // The copies are the undistorted projects times the Jacobian of their maps, and they
    // agree with the object better than the plainly undistorted ones would.
    const std::vector<std::size_t> object = voxelsAbove(truth, 100.0f);
    for (int j = 0; j < 2; ++j) {
        const std::string stem = j == 0 ? "p/AP" : "p/PA";
        const Volume source = readProjectVolumes(workspace.path(stem + ".fmr")).front();
        const Volume copy = readProjectVolumes(workspace.path(stem + "_undist.fmr")).front();
        const Volume projectMap = j == 0 ? map : -map;
        EXPECT_EQ(differingVoxels(copy, expectedStoredCopy(source, projectMap, false, false, true)), 0u) << stem;
        const Volume plain = expectedStoredCopy(source, projectMap, false, false);
        EXPECT_LT(agreementOver(copy, truth, object).meanSquaredDifference,
                  0.25 * agreementOver(plain, truth, object).meanSquaredDifference)
            << stem;
    }
}

TEST(PreciseWorkflow, ApplyTaskWithIntensityCorrectionMultipliesByTheJacobian)
{
    const Workspace workspace;
    workspace.simulate("p", {"--size", "32x24x8", "--left-right", "--volumes", "2", "--float"});
    const ProcessResult result =
        workspace.mindaro({"apply", "p/true_vdm.map", "p/LR.fmr", "--lr", "--intensity-correction"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM with intensity correction...\nUndistorted data saved as: "
                          "p/LR_undist.fmr\nDone.\n");
    const Volume workingMap = mapVolume(workspace.path("p/true_vdm.map")).transposeXY();
    const std::vector<Volume> source = readProjectVolumes(workspace.path("p/LR.fmr"));
    const std::vector<Volume> copy = readProjectVolumes(workspace.path("p/LR_undist.fmr"));
    ASSERT_EQ(copy.size(), 2u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(differingVoxels(copy[i], expectedStoredCopy(source[i], workingMap, true, true, true)), 0u);
}

TEST(PreciseWorkflow, EstimateCommandReportsTheMethodAndRefusesContradictoryOptions)
{
    const Workspace workspace;
    workspace.simulate("p", kSmallPhantom);
    const ProcessResult result =
        workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--precise", "--apply", "--intensity-correction"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\nMethod:           precise estimate\nMap:              p/AP_vdm.map\n"),
              std::string::npos)
        << result.out;

    const FolderContents before = workspace.contents();
    const ProcessResult both = workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--precise", "--fast"});
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.err.rfind("mindaro estimate: --fast and --precise exclude each other", 0), 0u) << both.err;
    const ProcessResult copiesOnly = workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--intensity-correction"});
    EXPECT_EQ(copiesOnly.status, 2);
    EXPECT_EQ(copiesOnly.err.rfind("mindaro estimate: --intensity-correction applies to the undistorted copies: add "
                                   "--apply\n",
                                   0),
              0u)
        << copiesOnly.err;
    EXPECT_EQ(workspace.contents(), before);
}

// A gradient-echo pair: the precise map fails the check and the standard map, the same as
// the standard estimate saves, is kept; it is far closer to the truth.
TEST(PreciseWorkflow, GradientEchoPairFallsBackToTheStandardMap)
{
    const Workspace workspace;
    const std::vector<std::string> phantom{"--size", "48x48x20", "--voxel-size", "3.5", "--peak", "4",
                                           "--gradient-echo", "30"};
    std::filesystem::create_directories(workspace.path("standard"));
    workspace.simulate("ge", phantom);
    for (const char* file : {"AP.fmr", "AP.stc", "PA.fmr", "PA.stc"})
        workspace.write(std::string("standard/") + file, readWhole(workspace.path(std::string("ge/") + file)));
    EXPECT_NE(readWhole(workspace.path("ge/phantom.txt")).find("Acquisition: gradient echo, echo time 30 ms"),
              std::string::npos);
    const ProcessResult precise = workspace.mindaro({"estimate", "ge/AP.fmr", "ge/PA.fmr", "--precise"});
    ASSERT_EQ(precise.status, 0) << precise.err;
    EXPECT_NE(precise.out.find("The standard map is used: the pair does not follow the spin-echo model"),
              std::string::npos)
        << precise.out;
    EXPECT_NE(precise.out.find("Method:           standard estimate (the pair failed the precise estimate's check)"),
              std::string::npos);
    ASSERT_EQ(workspace.mindaro({"estimate", "standard/AP.fmr", "standard/PA.fmr"}).status, 0);
    EXPECT_EQ(differingVoxels(mapVolume(workspace.path("ge/AP_vdm.map")),
                              mapVolume(workspace.path("standard/AP_vdm.map"))),
              0u);

    // With motion the standard map is kept too, and the log says the motion between the
    // directions came from the model the pair failed.
    const char* const doubt = "The motion between the two directions was found with the precise estimate, whose "
                              "model this pair does not follow";
    EXPECT_EQ(precise.out.find(doubt), std::string::npos);
    const ProcessResult moving = workspace.mindaro({"estimate", "ge/AP.fmr", "ge/PA.fmr", "--precise", "--motion"});
    ASSERT_EQ(moving.status, 0) << moving.err;
    EXPECT_NE(moving.out.find("The standard map is used"), std::string::npos) << moving.out;
    EXPECT_NE(moving.out.find(doubt), std::string::npos) << moving.out;
}

namespace {

// Runs the precise estimate of a gradient-echo phantom whose standard map at half resolution
// lines up edges clearly worse than the precise map: the refinement across the slices must
// leave the decision to the full check, which keeps the standard map, byte for byte.
void expectRefinementLeavesTheFullCheck(const std::vector<std::string>& phantom)
{
    const Workspace workspace;
    workspace.simulate("ge", phantom);
    workspace.simulate("standard", phantom);
    const ProcessResult precise = workspace.mindaro({"estimate", "ge/AP.fmr", "ge/PA.fmr", "--precise"});
    ASSERT_EQ(precise.status, 0) << precise.err;
    const std::vector<std::string> lines = linesOf(precise.out);
    const std::size_t refining =
        indexOf(lines, "Refining the standard map across the slices with the standard estimate's finest level...");
    ASSERT_LT(refining, lines.size()) << precise.out;
    EXPECT_GT(indexOf(lines, "Checking the precise map against the standard estimate..."), refining);
    EXPECT_NE(precise.out.find("Method:           standard estimate (the pair failed the precise estimate's check)"),
              std::string::npos)
        << precise.out;
    ASSERT_EQ(workspace.mindaro({"estimate", "standard/AP.fmr", "standard/PA.fmr"}).status, 0);
    EXPECT_EQ(differingVoxels(mapVolume(workspace.path("ge/AP_vdm.map")),
                              mapVolume(workspace.path("standard/AP_vdm.map"))),
              0u);
}

}  // namespace

TEST(PreciseWorkflow, GradientEchoPairThatPassesTheHalfResolutionScreenGetsTheFullCheck)
{
    expectRefinementLeavesTheFullCheck({"--size", "40x40x18", "--voxel-size", "3.2", "--peak", "4", "--gradient-echo",
                                        "20", "--noise", "6", "--seed", "145"});
}

// Refined with the standard boxes of 5 voxels along the halved x, this pair's standard map
// lined up the edges worse than the precise map by 0.058 and settled the check; the full
// check keeps the standard map, which lies 0.027 voxel RMS closer to the true map. With
// boxes of the standard extent in mm the refined map is within 0.004 of the precise one.
TEST(PreciseWorkflow, WeakGradientEchoPairIsNotSettledByBoxesTooLargeForTheHalvedGrid)
{
    expectRefinementLeavesTheFullCheck({"--size", "56x56x24", "--voxel-size", "2.4", "--peak", "6", "--gradient-echo",
                                        "15", "--noise", "6", "--seed", "119"});
}

// A left-right gradient-echo pair whose precise map lines up edges far better than a standard
// map halved along the phase encoding would, though worse than the full standard map: the
// half-resolution comparison keeps the lines' resolution, leaves the decision to the full
// check, and the standard map, closer to the truth, is kept.
TEST(PreciseWorkflow, LeftRightGradientEchoPairIsLeftToTheFullCheck)
{
    const Workspace workspace;
    workspace.simulate("ge", {"--size", "80x64x30", "--voxel-size", "3", "--noise", "15", "--gradient-echo", "30",
                              "--seed", "9", "--left-right"});
    const ProcessResult precise = workspace.mindaro({"estimate", "ge/LR.fmr", "ge/RL.fmr", "--lr", "--precise"});
    ASSERT_EQ(precise.status, 0) << precise.err;
    EXPECT_EQ(precise.out.find("lines up the edges clearly worse"), std::string::npos) << precise.out;
    EXPECT_NE(precise.out.find("Checking the precise map against the standard estimate...\n"), std::string::npos);
    EXPECT_NE(precise.out.find("The standard map is used: the pair does not follow the spin-echo model"),
              std::string::npos)
        << precise.out;
}

TEST(PreciseWorkflow, UnusableInputsGiveAMessageAndWriteNothing)
{
    const Workspace workspace;
    workspace.simulate("one", {"--size", "24x24x1"});
    workspace.simulate("dark", {"--size", "24x24x6", "--float"});
    workspace.simulate("nan", {"--size", "24x24x6", "--float"});
    // Every voxel of a float project set to 0, and one set to NaN: the data file holds the
    // voxels after its header, so the last four bytes are the last voxel.
    const std::string darkData = workspace.path("dark/PA.stc");
    const auto size = std::filesystem::file_size(darkData);
    workspace.write("dark/PA.stc", std::string(size, '\0'));
    std::string nanData = readWhole(workspace.path("nan/AP.stc"));
    const float notANumber = std::nanf("");
    nanData.replace(nanData.size() - 4, 4, reinterpret_cast<const char*>(&notANumber), 4);
    workspace.write("nan/AP.stc", nanData);

    const std::vector<std::pair<std::string, std::string>> cases{
        {"one", "Error: The precise estimate needs volumes of at least 2 slices and 8 rows along the phase encoding; "
                "volume 0 of one/AP.fmr has 24 x 24 x 1 voxels.\n"},
        {"dark", "Error: The precise estimate found no signal in volume 0 of dark/PA.fmr: no voxel is above 0.\n"},
        {"nan", "Error: Cannot estimate: volume 0 of nan/AP.fmr holds 1 voxels that are not finite numbers (NaN or "
                "infinite).\n"},
    };
    for (const auto& [folder, message] : cases) {
        const FolderContents before = workspace.contents();
        const ProcessResult result = workspace.mindaro(preciseTask(folder + "/AP.fmr", folder + "/PA.fmr", true));
        EXPECT_EQ(result.status, 1) << folder;
        EXPECT_EQ(result.err, message) << folder;
        EXPECT_EQ(workspace.contents(), before) << folder;
    }
}

TEST(PreciseWorkflow, SimulateRefusesAnEchoTimeThatIsNotPositive)
{
    const Workspace workspace;
    for (const char* value : {"0", "-5", "long", "300"}) {
        const ProcessResult result = workspace.mindaro({"simulate", "p", "--gradient-echo", value});
        EXPECT_EQ(result.status, 2) << value;
        EXPECT_FALSE(std::filesystem::exists(workspace.path("p"))) << value;
    }
}

// The scanner pair corrected with the precise map: the agreement figure on the volume the
// map was estimated from and on the held-out one, and a map without folds by either test
// (real data, unlike the phantoms, tempt the fit into odd-even steps along y).
TEST(PreciseWorkflow, ScannerPairAgreesAfterThePreciseCorrection)
{
    const std::string data = VARNO_SHARED_DATA_DIR "/ge-pepolar/";
    if (!std::filesystem::exists(data)) GTEST_SKIP() << data << " not found";
    const Workspace workspace;
    std::filesystem::create_directory(workspace.path("ge"));
    for (const char* name : {"PA.fmr", "PA.stc", "AP.fmr", "AP.stc"})
        workspace.write(std::string("ge/") + name, readWhole(data + name));
    const ProcessResult result = workspace.mindaro({"estimate", "ge/PA.fmr", "ge/AP.fmr", "--precise"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Method:           precise estimate\n"), std::string::npos) << result.out;
    // The standard map at half resolution, refined across the slices, settles the check.
    const std::vector<std::string> lines = linesOf(result.out);
    const std::size_t refining =
        indexOf(lines, "Refining the standard map across the slices with the standard estimate's finest level...");
    ASSERT_LT(refining, lines.size()) << result.out;
    EXPECT_LT(indexOf(lines, "Edges of the plainly corrected pair where the maps differ by more than 0.25 voxel ("),
              refining);
    EXPECT_NE(lines[refining + 1].find(", standard refined across the slices "), std::string::npos) << result.out;
    EXPECT_LT(indexOf(lines, "The standard map refined across the slices lines up the edges clearly worse: the "
                             "precise map is kept without the full standard estimate."),
              lines.size())
        << result.out;
    EXPECT_EQ(indexOf(lines, "Checking the precise map against the standard estimate..."), lines.size());
    const std::vector<Volume> pa = readProjectVolumes(workspace.path("ge/PA.fmr"));
    const std::vector<Volume> ap = readProjectVolumes(workspace.path("ge/AP.fmr"));
    const Volume map = mapVolume(workspace.path("ge/PA_vdm.map"));
    const std::vector<std::size_t> head = headMask(pa[0], ap[0]);
    EXPECT_GE(pairAgreement(pa[0], ap[0], map, head), 0.986);  // 0.9893 measured
    EXPECT_GE(pairAgreement(pa[1], ap[1], map, head), 0.990);  // 0.9920 measured
    EXPECT_LT(largestSlope(map), 1.0f);
    EXPECT_EQ(countFolds(map), 0);
}

// Lists of volumes with the head's motion: the motion files, the log naming the volumes, the
// copies moved back; and the lists and options that do not go together.
TEST(PreciseWorkflow, SeveralVolumesWithTheirMotionWriteMotionFilesAndRealignedCopies)
{
    const Workspace workspace;
    std::vector<std::string> twoVolumes = kSmallPhantom;
    twoVolumes.insert(twoVolumes.end(), {"--volumes", "2"});
    workspace.simulate("p", twoVolumes);
    const ProcessResult result = workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--precise", "--volumes", "all",
                                                    "1,0", "--motion", "--apply", "--realign"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\nVolumes used: 0, 1 of p/AP.fmr; 1, 0 of p/PA.fmr; with the head's motion\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\nMotion of volume 1 of p/PA.fmr: translation "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nMotion:           p/PA_motion.tsv\n"), std::string::npos) << result.out;
    const std::vector<std::string> lines = linesOf(readWhole(workspace.path("p/PA_motion.tsv")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("1\t", 0), 0u);
    EXPECT_EQ(lines[2].rfind("0\t", 0), 0u);
    EXPECT_EQ(readProjectVolumes(workspace.path("p/PA_undist.fmr")).size(), 2u);

    const FolderContents before = workspace.contents();
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals{
        {{"--volumes", "all", "all"}, "mindaro estimate: lists of volumes and --motion need the precise estimate"},
        {{"--precise", "--volumes", "0,x", "0"}, "mindaro estimate: --volumes expects a volume number counted from 0"},
        {{"--precise", "--motion", "--realign"}, "mindaro estimate: --realign applies to the copies: add --apply"},
        {{"--precise", "--realign", "--apply"}, "mindaro estimate: --realign moves the corrected volumes"}};
    for (const auto& [options, message] : refusals) {
        std::vector<std::string> arguments{"estimate", "p/AP.fmr", "p/PA.fmr"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ProcessResult refused = workspace.mindaro(arguments);
        EXPECT_EQ(refused.status, 2) << message;
        EXPECT_EQ(refused.err.rfind(message, 0), 0u) << refused.err;
    }
    const ProcessResult missing =
        workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--precise", "--volumes", "0,2", "0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Cannot use volume 2 of file p/AP.fmr, which has only 2 volumes."), std::string::npos)
        << missing.err;
    EXPECT_EQ(workspace.contents(), before);
}
