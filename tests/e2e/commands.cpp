// SPDX-License-Identifier: GPL-3.0-or-later
// The host's friendly commands tried as a new user tries them, the demo, and the
// workflow on the real opposite phase-encoding pair.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/workflow.h"

namespace {

std::string usage(const std::string& command, const std::string& reason, const std::string& arguments)
{
    return "mindaro " + command + ": " + reason + "\nusage: mindaro " + command + " " + arguments +
           " [options]  (see: mindaro " + command + " --help)\n";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Mean of the two volumes, and the voxels where it exceeds its own mean: the head.
std::vector<std::size_t> headVoxels(const Volume& a, const Volume& b)
{
    Volume mean(a.dimensions());
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        mean[i] = 0.5f * (a[i] + b[i]);
        sum += mean[i];
    }
    return voxelsAbove(mean, static_cast<float>(sum / static_cast<double>(mean.size())));
}

// Estimates the map of the real pair (PA first, AP second) in a copy of the projects and
// compares the two inputs with the two undistorted copies inside the head, per volume.
void checkRealPair(bool fast)
{
    const Workspace workspace;
    std::filesystem::create_directory(workspace.path("ge"));
    for (const std::string name : {"PA.fmr", "PA.stc", "AP.fmr", "AP.stc"}) {
        std::filesystem::copy_file(VARNO_SHARED_DATA_DIR "/ge-pepolar/" + name, workspace.path("ge/" + name));
        std::filesystem::permissions(workspace.path("ge/" + name), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
    }
    const FolderContents before = workspace.contents();
    std::vector<std::string> arguments{"estimate", "ge/PA.fmr", "ge/AP.fmr", "--apply"};
    if (fast) arguments.push_back("--fast");
    const ProcessResult result = workspace.mindaro(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(changedFiles(before, workspace.contents()), std::set<std::string>{});

    const std::vector<Volume> pa = readProjectVolumes(workspace.path("ge/PA.fmr"));
    const std::vector<Volume> ap = readProjectVolumes(workspace.path("ge/AP.fmr"));
    const std::vector<Volume> paCopy = readProjectVolumes(workspace.path("ge/PA_undist.fmr"));
    const std::vector<Volume> apCopy = readProjectVolumes(workspace.path("ge/AP_undist.fmr"));
    ASSERT_EQ(pa.size(), 2u);
    ASSERT_EQ(paCopy.size(), 2u);
    ASSERT_EQ(apCopy.size(), 2u);
    for (std::size_t v = 0; v < 2; ++v) {
        const std::vector<std::size_t> head = headVoxels(pa[v], ap[v]);
        const Agreement input = agreementOver(pa[v], ap[v], head);
        const Agreement corrected = agreementOver(paCopy[v], apCopy[v], head);
        std::printf("real pair, %s estimate, volume %zu (%zu voxels in the head): correlation %.4f -> %.4f, "
                    "mean squared difference %.0f -> %.0f\n",
                    fast ? "fast" : "full", v, head.size(), input.correlation, corrected.correlation,
                    input.meanSquaredDifference, corrected.meanSquaredDifference);
        EXPECT_GT(corrected.correlation, input.correlation + 0.02) << "volume " << v;
        EXPECT_LT(corrected.meanSquaredDifference, 0.75 * input.meanSquaredDifference) << "volume " << v;
    }
}

}  // namespace

TEST(WorkflowCommands, EveryCommandExplainsItselfWithHelp)
{
    const Workspace workspace;
    const ProcessResult overview = workspace.mindaro({"--help"});
    EXPECT_EQ(overview.status, 0);
    const std::vector<std::string> commands{"info",   "estimate",   "apply",    "check", "select",
                                            "select-vdm", "simulate", "demo", "task"};
    for (const std::string& name : commands) {
        EXPECT_TRUE(contains(overview.out, "\n  " + name + " ")) << name;
        const ProcessResult help = workspace.mindaro({name, "--help"});
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.err, "") << name;
        EXPECT_EQ(help.out.rfind("usage: mindaro " + name, 0), 0u) << help.out;
        EXPECT_TRUE(contains(help.out, "\nOptions:\n")) << name;
        EXPECT_TRUE(contains(help.out, "\n  --help ")) << name;
        // The first lines: usage, an empty line, a one-line summary, an empty line, a description.
        const std::vector<std::string> lines = linesOf(help.out);
        ASSERT_GE(lines.size(), 6u) << name;
        EXPECT_EQ(lines[1], "") << name;
        EXPECT_FALSE(lines[2].empty()) << name;
    }
    const ProcessResult estimate = workspace.mindaro({"estimate", "--help"});
    for (const std::string option : {"--volumes K0 K1", "--lr", "--ssd", "--ic", "--fast", "--order 0|1|2", "--apply",
                                     "--derivative"})
        EXPECT_TRUE(contains(estimate.out, "\n  " + option + " ")) << option;
    // Asking for help runs nothing.
    EXPECT_EQ(workspace.contents(), FolderContents{});
}

TEST(WorkflowCommands, VersionOptionShowsTheVersionAndTheLicenceWithoutThePlugin)
{
    const Workspace workspace;
    for (const std::vector<std::string>& line : {std::vector<std::string>{"--version"},
                                                 std::vector<std::string>{"--plugin", "absent.so", "--version"}}) {
        const ProcessResult result = workspace.mindaro(line);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.rfind("mindaro (VARNO) 1.2.1\nLicense GPL-3.0-or-later: GNU GPL version 3 or later", 0), 0u)
            << result.out;
    }
    EXPECT_TRUE(contains(workspace.mindaro({"--help"}).out, "\n  --version "));
}

TEST(WorkflowCommands, EstimateAndApplyListWhatTheyWrote)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12"});
    ProcessResult result = workspace.mindaro({"estimate", "ap/AP.fmr", "ap/PA.fmr", "--fast", "--apply", "--derivative"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("Estimating voxel displacement maps...\n", 0), 0u);
    EXPECT_TRUE(contains(result.out, "\nSaving voxel displacement maps to .map files...\n"
                                     "Applying voxel displacement maps...\nDone.\n"
                                     "Map:              ap/AP_vdm.map\n"
                                     "Derivative map:   ap/AP_vdmderiv.map\n"
                                     "Undistorted copy: ap/AP_undist.fmr\n"
                                     "Map:              ap/PA_vdm.map\n"
                                     "Derivative map:   ap/PA_vdmderiv.map\n"
                                     "Undistorted copy: ap/PA_undist.fmr\n"))
        << result.out;
    const FolderContents estimated = workspace.contents();

    // Without --derivative the derivative maps of the earlier run are not listed.
    result = workspace.mindaro({"estimate", "ap/AP.fmr", "ap/PA.fmr", "--fast"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "\nSaving voxel displacement maps to .map files...\nDone.\n"
                                     "Map:              ap/AP_vdm.map\n"
                                     "Map:              ap/PA_vdm.map\n"))
        << result.out;
    EXPECT_FALSE(contains(result.out, "Derivative map:")) << result.out;

    // Applying the saved maps gives the copies that the estimate wrote.
    std::filesystem::remove(workspace.path("ap/PA_undist.fmr"));
    std::filesystem::remove(workspace.path("ap/PA_undist.stc"));
    result = workspace.mindaro({"apply", "ap/PA_vdm.map", "ap/PA.fmr"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Loading VDM...\nApplying VDM...\nUndistorted data saved as: ap/PA_undist.fmr\nDone.\n");
    EXPECT_EQ(result.err, "Map ap/PA_vdm.map (32 x 32 x 12) is shown on ap/PA.fmr\n");
    EXPECT_EQ(workspace.contents(), estimated);

    result = workspace.mindaro({"check", "ap/AP.fmr", "ap/PA_undist.fmr"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Check: OK\n"
                          "ap/AP.fmr: FMR project, 32 x 32 x 12, 1 volume of int16 in ap/AP.stc, voxels 3 x 3 x 3\n"
                          "ap/PA_undist.fmr: FMR project, 32 x 32 x 12, 1 volume of int16 in ap/PA_undist.stc, voxels "
                          "3 x 3 x 3\n");
}

TEST(WorkflowCommands, BadInputsEndInOneClearMessageAndLeaveTheInputsAlone)
{
    const Workspace workspace;
    workspace.simulate("ap", {"--size", "32x32x12"});
    workspace.simulate("taller", {"--size", "32x32x13"});
    workspace.write("ap/notes.txt", "not a project\n");
    ASSERT_EQ(workspace.mindaro({"estimate", "ap/AP.fmr", "ap/PA.fmr", "--fast"}).status, 0);
    const FolderContents before = workspace.contents();

    const std::string notAProject = " is not a project: the name must end in .fmr or .dmr";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    } cases[] = {
        {{"estimate", "ap/AP.fmr", "ap/missing.fmr"}, 1, "Error: Failed opening for reading: ap/missing.fmr\n"},
        {{"estimate", "ap/AP.fmr", "ap/notes.txt"}, 2,
         usage("estimate", "\"ap/notes.txt\"" + notAProject, "FIRST SECOND")},
        {{"estimate", "ap/AP.FMR", "ap/PA.fmr"}, 2, usage("estimate", "\"ap/AP.FMR\"" + notAProject, "FIRST SECOND")},
        {{"estimate", "ap/AP.fmr"}, 2, usage("estimate", "expected 2 arguments (FIRST SECOND), got 1", "FIRST SECOND")},
        {{"estimate", "ap/AP.fmr", "ap/PA.fmr", "--volumes", "0", "1"}, 1,
         "Error: Cannot use volume 1 of file ap/PA.fmr, which has only 1 volumes.\n"},
        {{"estimate", "ap/AP.fmr", "ap/PA.fmr", "--volumes", "-1", "0"}, 2,
         usage("estimate", "--volumes expects volume indices counted from 0", "FIRST SECOND")},
        {{"estimate", "ap/AP.fmr", "taller/PA.fmr"}, 1,
         "Error: All datasets must have the same dimensions!\n"
         "mindaro estimate: the extents differ: ap/AP.fmr 32 x 32 x 12, taller/PA.fmr 32 x 32 x 13\n"},
        {{"estimate", "ap/AP.fmr", "ap/AP.fmr", "--volumes", "0", "0"}, 2,
         usage("estimate", "FIRST and SECOND must be two different projects: both maps would be saved as ap/AP_vdm.map",
               "FIRST SECOND")},
        {{"apply", "ap/none_vdm.map", "ap/AP.fmr"}, 1, "Error: could not open file ap/none_vdm.map\n"},
        {{"apply", "ap/AP_vdm.map", "ap/missing.fmr"}, 1, "Error: Failed opening for reading: ap/missing.fmr\n"},
        {{"apply", "ap/AP_vdm.map", "ap/AP.fmr", "ap/notes.txt"}, 2,
         usage("apply", "\"ap/notes.txt\"" + notAProject, "VDM PROJECT...")},
        // Off a terminal the resize question is answered no.
        {{"apply", "ap/AP_vdm.map", "taller/AP.fmr"}, 1,
         "Dimensions of the datasets don't match!\nDo you want to resize the VDM to the FMR dimensions?\n\n"
         "(they need to have the same field of view) -> no\nError: All datasets must have the same dimensions!\n"
         "mindaro apply: the extents differ: ap/AP_vdm.map 32 x 32 x 12, taller/AP.fmr 32 x 32 x 13\n"},
        {{"check", "ap/AP.fmr", "ap/notes.txt", "ap/missing.dmr"}, 1,
         "ap/notes.txt: not an FMR or DMR file\nap/missing.dmr: could not read file\n"},
        {{"select", "ap/missing.fmr"}, 1, "Error: Failed opening for reading: ap/missing.fmr\n"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) shown += argument + " ";
        const ProcessResult result = workspace.mindaro(c.arguments);
        EXPECT_EQ(result.status, c.status) << shown;
        EXPECT_EQ(result.err, c.err) << shown;
        EXPECT_EQ(workspace.contents(), before) << shown;
    }
}

TEST(WorkflowDemo, DemoInAnEmptyFolderPrintsTheSummaryAndLeavesTheOutputs)
{
    const Workspace workspace;
    const ProcessResult result = workspace.mindaro({"demo"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("Writing a 64 x 64 x 30 phantom pair into varno-demo ...\n"
                               "Estimating and applying the displacement map (standard full estimate, NCC) ...\n"
                               "Estimating voxel displacement maps...\n",
                               0),
              0u)
        << result.out;
    EXPECT_TRUE(contains(result.out, "\nEstimating and applying the displacement map (precise estimate, intensity "
                                     "correction) ...\nEstimating voxel displacement maps...\nRunning the precise estimate: "))
        << result.out;
    EXPECT_TRUE(contains(result.out,
                         "\nSummary\n  Precise estimate:  maps varno-demo/AP_vdm.map, varno-demo/PA_vdm.map\n"
                         "                     undistorted with intensity correction: varno-demo/AP_undist.fmr, "
                         "varno-demo/PA_undist.fmr\n"
                         "  Standard estimate: maps varno-demo/standard/AP_vdm.map, varno-demo/standard/PA_vdm.map\n"))
        << result.out;
    // Each row: the input pair (where it has one), the standard and the precise estimate.
    const auto row = [&](const std::string& label, int count) {
        std::vector<double> values(3, 0.0);
        const std::size_t at = result.out.find("  " + label);
        EXPECT_NE(at, std::string::npos) << label;
        if (at == std::string::npos) return values;
        const char* text = result.out.c_str() + at + 2 + label.size();
        const int read = count == 3 ? std::sscanf(text, " %lf %lf %lf", &values[0], &values[1], &values[2])
                                    : std::sscanf(text, " - %lf %lf", &values[1], &values[2]);
        EXPECT_EQ(read, count == 3 ? 3 : 2) << label;
        return values;
    };
    const std::vector<double> agreement = row("Agreement (intensity-corrected, head)", 3);
    const std::vector<double> correlation = row("Correlation of the copies (object)", 3);
    const std::vector<double> error = row("Map RMS error against the truth (voxels)", 3);
    EXPECT_GT(agreement[1], agreement[0]);
    EXPECT_GT(agreement[2], agreement[1]);
    EXPECT_GT(correlation[2], correlation[0]);
    EXPECT_LT(error[2], 0.5 * error[1]);  // 0.083 against 0.199 measured
    EXPECT_LT(error[1], error[0]);

    std::set<std::string> files;
    for (const auto& [name, bytes] : workspace.contents()) files.insert(name);
    std::set<std::string> expected{"varno-demo/phantom.txt", "varno-demo/true_vdm.map", "varno-demo/truth.fmr",
                                   "varno-demo/truth.stc", "varno-demo/AP_qc.png", "varno-demo/report.html"};
    for (const std::string stem : {"varno-demo/AP", "varno-demo/PA", "varno-demo/standard/AP", "varno-demo/standard/PA"})
        for (const std::string suffix : {".fmr", ".stc", "_vdm.map", "_undist.fmr", "_undist.stc"})
            expected.insert(stem + suffix);
    EXPECT_EQ(files, expected);
}

TEST(WorkflowRealPair, FastEstimateMakesTheUndistortedPairAgreeBetter)
{
    checkRealPair(true);
}

// About a minute of computing; run with VARNO_SLOW_TESTS=1.
TEST(WorkflowRealPair, FullEstimateMakesTheUndistortedPairAgreeBetter)
{
    if (std::getenv("VARNO_SLOW_TESTS") == nullptr) GTEST_SKIP() << "set VARNO_SLOW_TESTS=1 to run the full estimate";
    checkRealPair(false);
}
