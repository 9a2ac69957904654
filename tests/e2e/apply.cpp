// SPDX-License-Identifier: GPL-3.0-or-later
// The apply and selection steps run as the dialog runs them ("mindaro task apply",
// "task select_fmr_or_dmr", "task select_vdm") on phantom projects in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/volumetransform.h"
#include "files/vdmmapfile.h"
#include "support/workflow.h"

namespace {

const std::string kFmrQuestion =
    "Dimensions of the datasets don't match!\nDo you want to resize the VDM to the FMR dimensions?\n\n"
    "(they need to have the same field of view)";
const std::string kDmrQuestion =
    "Dimensions of the datasets don't match!\nDo you want to resize the VDM to the DMR dimensions?\n\n"
    "(they need to have the same field of view)";

// "mindaro task apply" with the map and the list (one entry a line), plus options.
ProcessResult apply(const Workspace& workspace, const std::string& map, const std::string& files,
                    const std::vector<std::string>& options = {})
{
    std::vector<std::string> arguments{"task", "apply", "--set", "vdm=" + map, "--set", "files=" + files};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return workspace.mindaro(arguments);
}

// The fast estimate of a phantom pair, writing its maps (and copies when asked).
void estimate(const Workspace& workspace, const std::string& first, const std::string& second, bool leftRight,
              bool applyToInput = false)
{
    const ProcessResult result = workspace.mindaro(
        {"task", "estimate", "--set", "file0=" + first, "--set", "file1=" + second, "--set-int",
         std::string("rllr=") + (leftRight ? "1" : "0"), "--set-int", "fast_algorithm=1", "--set-int",
         std::string("apply_to_input=") + (applyToInput ? "1" : "0")});
    ASSERT_EQ(result.status, 0) << result.err;
}

// Every volume of the copy is the source's volume undistorted with the working map.
void expectCopy(const Workspace& workspace, const std::string& source, const std::string& copy,
                const Volume& workingMap, bool leftRight)
{
    const std::vector<Volume> volumes = readProjectVolumes(workspace.path(source));
    const std::vector<Volume> copied = readProjectVolumes(workspace.path(copy));
    ASSERT_EQ(copied.size(), volumes.size()) << copy;
    for (std::size_t i = 0; i < volumes.size(); ++i)
        EXPECT_EQ(differingVoxels(copied[i], expectedStoredCopy(volumes[i], workingMap, leftRight, false)), 0u)
            << copy << " volume " << i;
}

// The stored map resampled to another stored extent.
Volume resizedMap(const Volume& map, Dimensions extent)
{
    Volume resized(extent);
    resizeVolume(resized, map);
    return resized;
}

}  // namespace

TEST(WorkflowApply, ListedProjectsGetCopiesAndTheMapIsShownForTheFirstEntryOnly)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12", "--volumes", "2"});
    estimate(workspace, "ap/AP.fmr", "ap/PA.fmr", false);
    workspace.write("notes.txt", "not a project\n");
    const Volume map = mapVolume(workspace.path("ap/AP_vdm.map"));

    // An entry of another extension is neither read nor reported.
    FolderContents before = workspace.contents();
    ProcessResult result = apply(workspace, "ap/AP_vdm.map", "ap/AP.fmr\nnotes.txt\n\nap/truth.fmr\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: ap/AP_undist.fmr\n"
                          "Undistorted data saved as: ap/truth_undist.fmr\nDone.\n");
    EXPECT_EQ(result.err, "Map ap/AP_vdm.map (32 x 32 x 12) is shown on ap/AP.fmr\n");
    FolderContents after = workspace.contents();
    EXPECT_EQ(changedFiles(before, after), std::set<std::string>{});
    EXPECT_EQ(addedFiles(before, after), (std::set<std::string>{"ap/AP_undist.fmr", "ap/AP_undist.stc",
                                                                "ap/truth_undist.fmr", "ap/truth_undist.stc"}));
    expectCopy(workspace, "ap/AP.fmr", "ap/AP_undist.fmr", map, false);
    expectCopy(workspace, "ap/truth.fmr", "ap/truth_undist.fmr", map, false);

    // The same path twice at the start: both occurrences equal the first entry.
    result = apply(workspace, "ap/PA_vdm.map", "ap/PA.fmr\nap/PA.fmr");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: ap/PA_undist.fmr\n"
                          "Undistorted data saved as: ap/PA_undist.fmr\nDone.\n");
    EXPECT_EQ(result.err, "Map ap/PA_vdm.map (32 x 32 x 12) is shown on ap/PA.fmr\n"
                          "Map ap/PA_vdm.map (32 x 32 x 12) is shown on ap/PA.fmr\n");
    expectCopy(workspace, "ap/PA.fmr", "ap/PA_undist.fmr", -map, false);

    before = workspace.contents();
    result = apply(workspace, "ap/AP_vdm.map", "\n\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nDone.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(workspace.contents(), before);
}

TEST(WorkflowApply, LeftRightMapOfANonSquareProjectGivesTheEstimatesOwnCopy)
{
    const Workspace workspace;
    workspace.simulate("lr", {"--size", "40x32x12", "--left-right", "--dmr", "--volumes", "2"});
    estimate(workspace, "lr/LR.dmr", "lr/RL.dmr", true, true);
    const FolderContents estimated = workspace.contents();
    for (const std::string copy : {"lr/LR_undist.dmr", "lr/LR_undist.dwi"}) std::filesystem::remove(workspace.path(copy));

    // Compared in the stored orientation, the map fits without a question.
    const ProcessResult result = apply(workspace, "lr/LR_vdm.map", "lr/LR.dmr", {"--set-int", "rllr=1", "--no"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: lr/LR_undist.dmr\nDone.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(workspace.contents(), estimated);
}

TEST(WorkflowApply, ProjectOfAnotherExtentIsResizedOnYesAndRefusedOnNo)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12"});
    workspace.simulate("taller", {"--size", "32x32x13"});
    workspace.simulate("lr", {"--size", "40x32x12", "--left-right", "--dmr"});
    workspace.simulate("small", {"--size", "20x16x12", "--left-right", "--dmr"});
    estimate(workspace, "ap/AP.fmr", "ap/PA.fmr", false);
    estimate(workspace, "lr/LR.dmr", "lr/RL.dmr", true);
    const Volume map = mapVolume(workspace.path("ap/AP_vdm.map"));

    FolderContents before = workspace.contents();
    ProcessResult result = apply(workspace, "ap/AP_vdm.map", "taller/AP.fmr\nap/PA.fmr", {"--no"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\n");
    EXPECT_EQ(result.err, kFmrQuestion + " -> no\nError: All datasets must have the same dimensions!\n");
    EXPECT_EQ(workspace.contents(), before);

    result = apply(workspace, "ap/AP_vdm.map", "lr/LR.dmr", {"--no"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, kDmrQuestion + " -> no\nError: All datasets must have the same dimensions!\n");
    EXPECT_EQ(workspace.contents(), before);

    // Yes: the first project gets a resized map, the next is compared with the map as
    // loaded again; the map is shown for neither.
    result = apply(workspace, "ap/AP_vdm.map", "taller/AP.fmr\nap/AP.fmr", {"--yes"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: taller/AP_undist.fmr\n"
                          "Undistorted data saved as: ap/AP_undist.fmr\nDone.\n");
    EXPECT_EQ(result.err, kFmrQuestion + " -> yes\n");
    expectCopy(workspace, "taller/AP.fmr", "taller/AP_undist.fmr", resizedMap(map, {32, 32, 13}), false);
    expectCopy(workspace, "ap/AP.fmr", "ap/AP_undist.fmr", map, false);

    // Left-right with x and y extents that differ: the map is resized in its stored
    // orientation and then transposed, so that it fits the project's volumes.
    result = apply(workspace, "lr/LR_vdm.map", "small/LR.dmr", {"--set-int", "rllr=1", "--yes"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: small/LR_undist.dmr\nDone.\n");
    EXPECT_EQ(result.err, kDmrQuestion + " -> yes\n");
    const Volume lrMap = mapVolume(workspace.path("lr/LR_vdm.map"));
    expectCopy(workspace, "small/LR.dmr", "small/LR_undist.dmr", resizedMap(lrMap, {20, 16, 12}).transposeXY(), true);
}

TEST(WorkflowApply, UnreadableMapOrProjectEndsTheTaskWithItsFileError)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12"});
    estimate(workspace, "ap/AP.fmr", "ap/PA.fmr", false);
    workspace.write("ap/short_vdm.map", std::string("\x20\x4e\x0c\x00", 4));
    const FolderContents before = workspace.contents();

    ProcessResult result = apply(workspace, "ap/none_vdm.map", "ap/AP.fmr");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Loading VDM...\n");
    EXPECT_EQ(result.err, "Error: could not open file ap/none_vdm.map\n");

    result = apply(workspace, "ap/short_vdm.map", "ap/AP.fmr");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Loading VDM...\n");
    EXPECT_EQ(result.err, "Error: error reading from binary file\n");

    // Entries after the failing one are not processed.
    result = apply(workspace, "ap/AP_vdm.map", "ap/missing.fmr\nap/AP.fmr");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\n");
    EXPECT_EQ(result.err, "Error: Failed opening for reading: ap/missing.fmr\n");
    EXPECT_EQ(workspace.contents(), before);

    // Copies written before the failing entry stay.
    result = apply(workspace, "ap/AP_vdm.map", "ap/AP.fmr\nap/missing.dmr");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: ap/AP_undist.fmr\n");
    EXPECT_EQ(result.err, "Map ap/AP_vdm.map (32 x 32 x 12) is shown on ap/AP.fmr\n"
                          "Error: Failed opening for reading: ap/missing.dmr\n");
    EXPECT_EQ(addedFiles(before, workspace.contents()), (std::set<std::string>{"ap/AP_undist.fmr", "ap/AP_undist.stc"}));
}

TEST(WorkflowSelect, ProjectSelectionReportsItsVolumesAndTheVolumeToShow)
{
    const Workspace workspace;
    workspace.simulate("fmr", {"--size", "24x24x6", "--peak", "2", "--volumes", "5"});
    workspace.simulate("dmr", {"--size", "24x24x6", "--peak", "2", "--volumes", "5", "--dmr"});
    workspace.setHeaderLine("dmr/PA.dmr", "DisplayVolume", "2");
    const FolderContents before = workspace.contents();
    const auto select = [&](const std::vector<std::string>& open) {
        std::vector<std::string> arguments{"task", "select_fmr_or_dmr"};
        arguments.insert(arguments.end(), open.begin(), open.end());
        for (const std::string name : {"filename", "nr_of_volumes", "display_volume"}) {
            arguments.push_back("--get");
            arguments.push_back(name);
        }
        return workspace.mindaro(arguments);
    };
    const struct {
        std::vector<std::string> open;
        std::string parameters;
    } cases[] = {
        {{"--open", "fmr/AP.fmr"}, "filename=fmr/AP.fmr\nnr_of_volumes=5\ndisplay_volume=1\n"},
        {{"--open", "dmr/AP.dmr"}, "filename=dmr/AP.dmr\nnr_of_volumes=5\ndisplay_volume=1\n"},
        {{"--open", "dmr/PA.dmr"}, "filename=dmr/PA.dmr\nnr_of_volumes=5\ndisplay_volume=3\n"},
        // Only the exact lower-case extensions are read.
        {{"--open", "fmr/AP.FMR"}, "filename=fmr/AP.FMR\nnr_of_volumes=\ndisplay_volume=\n"},
        {{}, "filename=\nnr_of_volumes=\ndisplay_volume=\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult result = select(c.open);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.parameters);
        EXPECT_EQ(result.err, "");
    }
    const ProcessResult missing = select({"--open", "fmr/none.fmr"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "filename=\nnr_of_volumes=\ndisplay_volume=\n");
    EXPECT_EQ(missing.err, "Error: Failed opening for reading: fmr/none.fmr\n");

    const ProcessResult map = workspace.mindaro({"task", "select_vdm", "--open", "fmr/AP_vdm.map", "--get", "filename"});
    EXPECT_EQ(map.status, 0);
    EXPECT_EQ(map.out, "filename=fmr/AP_vdm.map\n");
    EXPECT_EQ(workspace.contents(), before);
}

TEST(WorkflowApply, CopyNeverOverwritesTheDataFileOfItsSource)
{
    // run.fmr keeps its data in run_undist.stc, the very file its copy would be written to.
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "24x24x8"});
    estimate(workspace, "ap/AP.fmr", "ap/PA.fmr", false);
    const FolderContents simulated = workspace.contents();
    workspace.write("ap/run.fmr", simulated.at("ap/AP.fmr"));
    workspace.write("ap/run_undist.stc", simulated.at("ap/AP.stc"));
    workspace.setHeaderLine("ap/run.fmr", "Prefix", "\"run_undist\"");
    const FolderContents before = workspace.contents();

    const ProcessResult applied = apply(workspace, "ap/AP_vdm.map", "ap/run.fmr");
    const std::string clash = "Error: Cannot write ap/run_undist.stc (data file of the undistorted copy of ap/run.fmr): "
                              "it is the input ap/run_undist.stc (data file of ap/run.fmr); nothing was written.\n";
    EXPECT_EQ(applied.status, 1);
    EXPECT_EQ(applied.out, "Loading VDM...\nApplying VDM...\n");
    EXPECT_EQ(applied.err, clash);
    EXPECT_EQ(changedFiles(before, workspace.contents()), std::set<std::string>{});
    EXPECT_EQ(addedFiles(before, workspace.contents()), std::set<std::string>{});

    const ProcessResult estimated = workspace.mindaro(
        {"task", "estimate", "--set", "file0=ap/run.fmr", "--set", "file1=ap/PA.fmr", "--set-int", "fast_algorithm=1",
         "--set-int", "apply_to_input=1"});
    EXPECT_EQ(estimated.status, 1);
    EXPECT_EQ(estimated.err, clash);
    // The outputs are compared with the inputs before the maps are saved: nothing is written.
    EXPECT_EQ(addedFiles(before, workspace.contents()), std::set<std::string>{});
    EXPECT_EQ(changedFiles(before, workspace.contents()).count("ap/run_undist.stc"), 0u);
}
