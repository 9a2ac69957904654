// SPDX-License-Identifier: GPL-3.0-or-later
// "mindaro combine" on phantom runs acquired in both directions: projects and NIfTI runs,
// and the runs that do not pair up.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "core/restorationblend.h"
#include "core/vdm.h"
#include "files/motionfile.h"
#include "files/projectheader.h"
#include "files/voxeldata.h"
#include "nifti/niftifile.h"
#include "support/badinput.h"
#include "support/niftireadback.h"
#include "support/niftitestimages.h"
#include "support/temporaryfolder.h"
#include "support/workflow.h"

namespace {

// The combination of every pair as the combined project stores it: int16 data truncated.
std::vector<Volume> expectedCombination(const std::vector<Volume>& plus, const std::vector<Volume>& minus,
                                        const Volume& storedMap, bool leftRight, bool floatData)
{
    std::vector<Volume> expected;
    for (std::size_t i = 0; i < plus.size(); ++i) {
        std::vector<Volume> pair{leftRight ? plus[i].transposeXY() : plus[i]};
        combinePairs(pair, {leftRight ? minus[i].transposeXY() : minus[i]}, leftRight ? storedMap.transposeXY() : storedMap);
        Volume restored = leftRight ? pair.front().transposeXY() : pair.front();
        if (!floatData)
            for (std::size_t v = 0; v < restored.size(); ++v) restored[v] = std::trunc(restored[v]);
        expected.push_back(std::move(restored));
    }
    return expected;
}

double rmsDifference(const Volume& a, const Volume& b)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += double(a[i] - b[i]) * double(a[i] - b[i]);
    return std::sqrt(sum / static_cast<double>(a.size()));
}

void replaceLastLine(const std::string& path, const std::string& line)
{
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.resize(text.rfind('\n', text.size() - 2) + 1);
    std::ofstream(path, std::ios::binary) << text << line << "\r\n";
}

}  // namespace

TEST(Combine, ProjectsGiveOneRunRestoredFromEveryPairOfVolumes)
{
    const Workspace workspace;
    workspace.simulate("p", {"--size", "24x24x6", "--volumes", "3"});
    const FolderContents before = workspace.contents();
    const ProcessResult result = workspace.mindaro({"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nCombining p/AP.fmr (+VDM) and p/PA.fmr (-VDM): least squares where the map "
                          "compresses a copy, the mean of the intensity-corrected copies where it is mild...\n"
                          "The two acquisitions are assumed aligned: no motion between them was given.\n"
                          "Combined data saved as: p/AP_combined.fmr\nDone.\n");
    const FolderContents after = workspace.contents();
    EXPECT_EQ(changedFiles(before, after), std::set<std::string>{});
    EXPECT_EQ(addedFiles(before, after), (std::set<std::string>{"p/AP_combined.fmr", "p/AP_combined.stc"}));

    const Volume map = mapVolume(workspace.path("p/true_vdm.map"));
    const std::vector<Volume> plus = readProjectVolumes(workspace.path("p/AP.fmr"));
    const std::vector<Volume> combined = readProjectVolumes(workspace.path("p/AP_combined.fmr"));
    const std::vector<Volume> expected =
        expectedCombination(plus, readProjectVolumes(workspace.path("p/PA.fmr")), map, false, false);
    ASSERT_EQ(combined.size(), 3u);
    for (std::size_t i = 0; i < combined.size(); ++i) EXPECT_EQ(differingVoxels(combined[i], expected[i]), 0u) << i;

    // Closer to the object than the intensity-corrected copy of either direction.
    const Volume truth = readProjectVolumes(workspace.path("p/truth.fmr")).front();
    const std::vector<Volume> minus = readProjectVolumes(workspace.path("p/PA.fmr"));
    const double restored = rmsDifference(combined[0], truth);
    EXPECT_LT(restored, rmsDifference(undistort(plus[0], map, false, true), truth));
    EXPECT_LT(restored, rmsDifference(undistort(minus[0], map * -1.0f, false, true), truth));
}

TEST(Combine, LeftRightDiffusionProjectsKeepTheGradientTableOfTheFirst)
{
    const Workspace workspace;
    workspace.simulate("d", {"--size", "24x24x6", "--volumes", "2", "--dmr", "--left-right"});
    replaceLastLine(workspace.path("d/LR.dmr"), "0.6 0.8 0 1000");
    replaceLastLine(workspace.path("d/RL.dmr"), "-0.6 -0.8 0 1000");
    const ProcessResult result =
        workspace.mindaro({"combine", "d/LR.dmr", "d/RL.dmr", "--map", "d/true_vdm.map", "--lr"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<Volume> combined = readProjectVolumes(workspace.path("d/LR_combined.dmr"));
    const std::vector<Volume> expected =
        expectedCombination(readProjectVolumes(workspace.path("d/LR.dmr")), readProjectVolumes(workspace.path("d/RL.dmr")),
                            mapVolume(workspace.path("d/true_vdm.map")), true, false);
    ASSERT_EQ(combined.size(), 2u);
    for (std::size_t i = 0; i < combined.size(); ++i) EXPECT_EQ(differingVoxels(combined[i], expected[i]), 0u) << i;
    std::ifstream header(workspace.path("d/LR_combined.dmr"));
    const std::string text((std::istreambuf_iterator<char>(header)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("0.6 0.8 0 1000"), std::string::npos);
}

// Volume 1 of the minus run was acquired with the head 3 mm (one voxel) further along x:
// moved back, it restores as the aligned copy; volume 0, without motion, as before.
TEST(Combine, MotionFilesMoveEveryMinusVolumeIntoThePlusVolumesFrame)
{
    const Workspace workspace;
    workspace.simulate("p", {"--size", "24x24x6", "--volumes", "2"});
    const std::vector<Volume> plus = readProjectVolumes(workspace.path("p/AP.fmr"));
    const std::vector<Volume> minus = readProjectVolumes(workspace.path("p/PA.fmr"));
    const Volume map = mapVolume(workspace.path("p/true_vdm.map"));
    const std::vector<Volume> aligned = expectedCombination(plus, minus, map, false, true);
    VolumeMotionRow still, moved;
    moved.volume = 1;
    moved.translation = {3.0, 0.0, 0.0};
    writeMotionFile(workspace.path("p/AP_motion.tsv"), {still, VolumeMotionRow{1, {}, {}}});
    writeMotionFile(workspace.path("p/PA_motion.tsv"), {still, moved});
    // The minus copy of volume 1 as the moved head gave it: column x + 1 holds column x.
    std::vector<Volume> shifted = minus;
    const Dimensions e = minus[1].dimensions();
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = e.x - 1; x >= 0; --x) shifted[1](x, y, z) = x == 0 ? 0.0f : minus[1](x - 1, y, z);
    // Written as the minus run's data: int16, as the simulated projects are.
    FmrHeader header = readFmrHeader(workspace.path("p/PA.fmr"), false);
    writeStreamed(header, [&](int v) { return shifted[static_cast<std::size_t>(v)]; });

    const ProcessResult result = workspace.mindaro({"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map",
                                                    "--plus-motion", "p/AP_motion.tsv", "--minus-motion",
                                                    "p/PA_motion.tsv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("(at most 3.00 mm and 0.00 degrees apart)"), std::string::npos) << result.out;
    const std::vector<Volume> combined = readProjectVolumes(workspace.path("p/AP_combined.fmr"));
    ASSERT_EQ(combined.size(), 2u);
    for (std::size_t i = 0; i < combined[0].size(); ++i) ASSERT_EQ(combined[0][i], std::trunc(aligned[0][i])) << i;
    // The last column left the grid of the moved copy; the values are truncated to int16.
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x + 1 < e.x; ++x)
                ASSERT_NEAR(combined[1](x, y, z), aligned[1](x, y, z), 1.01) << x << ' ' << y << ' ' << z;

    EXPECT_EQ(workspace.mindaro({"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map", "--plus-motion",
                                 "p/AP_motion.tsv"})
                  .err,
              "mindaro combine: give the head's motion in both runs: --plus-motion and --minus-motion\n"
              "usage: mindaro combine [PLUS MINUS] [options]  (see: mindaro combine --help)\n");
}

TEST(Combine, RefusesProjectsThatDoNotPairUpNamingTheFiles)
{
    const TemporaryFolder folder;
    const std::string root = folder.path();
    runProcess({mindaroPath(), "simulate", "a", "--size", "24x24x6", "--volumes", "3"}, root);
    runProcess({mindaroPath(), "simulate", "b", "--size", "24x24x6", "--volumes", "2"}, root);
    runProcess({mindaroPath(), "simulate", "s", "--size", "20x24x6"}, root);
    runProcess({mindaroPath(), "simulate", "d", "--size", "24x24x6", "--volumes", "2", "--dmr"}, root);
    replaceLastLine(root + "/d/PA.dmr", "0 0 1 1000");
    const std::string pairing = ". The two runs must hold the same volumes, acquired once in each direction.";
    expectAnswer(root, {"combine", "a/AP.fmr", "b/PA.fmr", "--map", "a/true_vdm.map"},
                 {1, taskError("a/AP.fmr holds 3 volumes and b/PA.fmr 2; the two runs must hold the same volumes, "
                               "acquired once in each direction.")});
    expectAnswer(root, {"combine", "a/AP.fmr", "a/AP.fmr", "--map", "a/true_vdm.map"},
                 {1, taskError("a/AP.fmr is given for both directions; combine needs the run acquired with each "
                               "phase-encoding direction.")});
    expectAnswer(root, {"combine", "a/AP.fmr", "a/PA.fmr", "--map", "s/true_vdm.map"},
                 {1, taskError("The map s/true_vdm.map (20 x 24 x 6) does not have the extent of a/AP.fmr (24 x 24 x 6); "
                               "combine needs the map estimated on the runs' grid.")});
    expectAnswer(root, {"combine", "d/AP.dmr", "d/PA.dmr", "--map", "d/true_vdm.map"},
                 {1, taskError("Volume 1 of d/AP.dmr and of d/PA.dmr differ: b-value 0 against 1000" + pairing)});
    expectAnswer(root, {"combine", "a/AP.fmr", "d/PA.dmr", "--map", "a/true_vdm.map"},
                 {1, taskError("a/AP.fmr and d/PA.dmr are not of one kind (FMR and DMR); combine two runs of the same "
                               "kind.")});
    expectAnswer(root, {"combine", "a/AP.fmr", "a/PA.fmr"},
                 {2, "mindaro combine: --map PLUS_vdm.map is required\n"
                     "usage: mindaro combine [PLUS MINUS] [options]  (see: mindaro combine --help)\n"});
}

namespace {

// ap.nii and pa.nii of writeNiftiPhantomPair, with a map and the same field in Hz.
struct NiftiRuns {
    TemporaryFolder folder;
    Volume map;
    NiftiRuns()
    {
        writeNiftiPhantomPair(folder.path());
        map = Volume(16, 16, 4);
        for (int z = 0; z < 4; ++z)
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) map(x, y, z) = 1.5f * std::sin(0.4f * static_cast<float>(y + x));
        TestImageLayout layout;
        layout.extent = map.dimensions();
        writeTestVolumes(folder.path() + "/map.nii", {map}, layout);
        writeTestVolumes(folder.path() + "/field.nii", {map * 20.0f}, layout);  // readout time 0.05 s, polarity +1
    }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
};

}  // namespace

TEST(CombineNifti, RunsGiveOneImageWithTheGeometryOfThePlusRunAndASidecarNamingBoth)
{
    const NiftiRuns runs;
    ProcessResult result = runProcess(
        {mindaroPath(), "combine", "--plus", "ap.nii", "--minus", "pa.nii", "--map", "map.nii", "--out", "o/c.nii.gz"},
        runs.folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("The two acquisitions are assumed aligned"), std::string::npos);
    EXPECT_NE(result.out.find("Written:\n  o/c.nii.gz\n  o/c.json\n"), std::string::npos);
    expectSameGrid(runs.path("ap.nii"), runs.path("o/c.nii.gz"));
    const std::vector<Volume> combined = readVolumes(runs.path("o/c.nii.gz"));
    ASSERT_EQ(combined.size(), 1u);
    // The runs hold whole numbers, so the combined run is stored as int16, truncated.
    const Volume expected = expectedCombination(readVolumes(runs.path("ap.nii")), readVolumes(runs.path("pa.nii")),
                                                runs.map, false, false)
                                .front();
    EXPECT_EQ(differingVoxels(combined.front(), expected), 0u);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(runs.path("o"))) ++entries;
    EXPECT_EQ(entries, 2u);

    const nlohmann::json sidecar = nlohmann::json::parse(std::ifstream(runs.path("o/c.json")));
    EXPECT_FALSE(sidecar.contains("PhaseEncodingDirection"));
    EXPECT_EQ(sidecar["TotalReadoutTime"], 0.05);
    EXPECT_EQ(sidecar["Sources"], nlohmann::json::array({"ap.nii", "pa.nii"}));
    EXPECT_EQ(sidecar["DistortionCorrection"]["PhaseEncodingDirections"], nlohmann::json::array({"j", "j-"}));
    EXPECT_EQ(sidecar["DistortionCorrection"]["DisplacementMap"], "map.nii");

    // The field in Hz with the sidecars' readout time gives the same image.
    result = runProcess({mindaroPath(), "combine", "--plus", "ap.nii", "--minus", "pa.nii", "--field", "field.nii",
                         "--out", "o/f.nii"},
                        runs.folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_LT(rmsDifference(readVolumes(runs.path("o/f.nii")).front(), combined.front()), 1e-3);
}

TEST(CombineNifti, RefusesRunsThatDoNotPairUpNamingTheFiles)
{
    const NiftiRuns runs;
    const std::string root = runs.folder.path();
    TestImageLayout other;
    other.extent = {16, 16, 5};
    writeTestVolumes(root + "/other.nii", {Volume(other.extent, 1.0f)}, other);
    writeContents(root + "/same.json", R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 0.05})");
    std::filesystem::copy_file(root + "/pa.nii", root + "/same.nii");
    expectAnswer(root, {"combine", "--plus", "ap.nii", "--minus", "same.nii", "--map", "map.nii", "--out", "c.nii"},
                 {1, "mindaro combine: --plus ap.nii and --minus same.nii have the same phase-encoding direction \"j\" "
                     "(from ap.json and same.json); the two acquisitions must have opposite directions.\n"});
    expectAnswer(root, {"combine", "--plus", "ap.nii", "--minus", "pa.nii", "--map", "other.nii", "--out", "c.nii"},
                 {1, "mindaro combine: --map other.nii (16 x 16 x 5) is not on the grid of --plus ap.nii (16 x 16 x 4); "
                     "a displacement in voxels belongs to its grid. Give the field in Hz with --field to carry it into "
                     "the runs' grid.\n"});
    writeContents(root + "/ap.bval", "0\n");
    writeContents(root + "/ap.bvec", "0\n0\n0\n");
    expectAnswer(root, {"combine", "--plus", "ap.nii", "--minus", "pa.nii", "--map", "map.nii", "--out", "c.nii"},
                 {1, "mindaro combine: ap.bval gives b-values, but pa.nii has no pa.bval; both copies of a diffusion run "
                     "need their gradient tables.\n"});
    writeContents(root + "/pa.bval", "1000\n");
    writeContents(root + "/pa.bvec", "1\n0\n0\n");
    expectAnswer(root, {"combine", "--plus", "ap.nii", "--minus", "pa.nii", "--map", "map.nii", "--out", "c.nii"},
                 {1, "mindaro combine: Volume 0 of ap.nii and of pa.nii differ (ap.bval, ap.bvec against pa.bval, "
                     "pa.bvec): b-value 0 against 1000. The two runs must hold the same volumes, acquired once in each "
                     "direction.\n"});
    expectAnswer(root, {"combine", "--plus", "ap.nii", "--minus", "pa.nii", "--out", "c.nii"},
                 {2, "mindaro combine: give either --map or --field\n"
                     "usage: mindaro combine [PLUS MINUS] [options]  (see: mindaro combine --help)\n"});
}

TEST(CorrectCombine, RunsOfBothDirectionsAreAlsoWrittenAsOneCombinedRun)
{
    const NiftiRuns runs;
    const std::string root = runs.folder.path();
    ProcessResult result = runProcess({mindaroPath(), "correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to",
                                       "pa.nii", "--apply-to", "ap.nii", "--combine", "--out", "out"},
                                      root);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  out/ap_2_combined.nii.gz\n"), std::string::npos) << result.out;
    const Volume map = readVolumes(root + "/out/displacement_voxels.nii.gz").front();
    const Volume expected =
        expectedCombination(readVolumes(root + "/ap.nii"), readVolumes(root + "/pa.nii"), map, false, false).front();
    EXPECT_EQ(differingVoxels(readVolumes(root + "/out/ap_2_combined.nii.gz").front(), expected), 0u);
    const nlohmann::json sidecar = nlohmann::json::parse(std::ifstream(root + "/out/ap_2_combined.json"));
    EXPECT_EQ(sidecar["Sources"], nlohmann::json::array({"ap.nii", "pa.nii"}));

    // With the head's motion estimated, the runs that are --ap and --pa themselves are
    // combined with it, and the sidecar says so.
    result = runProcess({mindaroPath(), "correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "pa.nii",
                         "--apply-to", "ap.nii", "--combine", "--motion", "--out", "moved"},
                        root);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("(at most "), std::string::npos) << result.out;
    const nlohmann::json moved = nlohmann::json::parse(std::ifstream(root + "/moved/ap_2_combined.json"));
    EXPECT_EQ(moved["DistortionCorrection"]["MotionBetweenCopies"],
              "every volume of the minus run moved into the frame of the same volume of the plus run before the "
              "combination, by the head's motion that the estimate found in --ap and --pa (motion_ap.tsv, "
              "motion_pa.tsv)");
    EXPECT_EQ(sidecar["DistortionCorrection"]["MotionBetweenCopies"], "not estimated: the copies are taken as aligned");

    expectAnswer(root, {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "pa.nii", "--combine", "--out", "o2"},
                 {1, "mindaro correct: --combine pairs the --apply-to runs of the two directions in the order given, but "
                     "0 runs have the direction of --ap (j) and 1 the other (j-).\n"});
    expectAnswer(root, {"correct", "--fieldmap", "map.nii", "--magnitude", "ap.nii", "--apply-to", "pa.nii", "--combine"},
                 {2, "mindaro correct: --combine pairs the --apply-to runs with a pair's map (--ap and --pa), not with a "
                     "field map\nusage: mindaro correct [options]  (see: mindaro correct --help)\n"});
}
