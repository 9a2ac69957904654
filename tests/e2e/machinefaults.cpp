// SPDX-License-Identifier: GPL-3.0-or-later
// Faults of the machine and of the people around it, met by real processes: a disk that
// fills up at each stage of a run (a small tmpfs of the test's own), Ctrl-C and SIGTERM in
// each stage, SIGKILL, and two runs at once. Each ends with a clear message and a nonzero
// status, the earlier outputs as they were, and no temporary file left behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "support/bidsdataset.h"
#include "support/bidsphantom.h"
#include "support/machinefaults.h"
#include "support/niftitestimages.h"
#include "support/workflow.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += name + " ";
    return text;
}

// A run FOLDER/sub-01/func/NAME.nii of the pair's grid with volumes volumes of the object
// as acquired in the direction given (read out in 0.05 s, as the pair).
std::string writeRun(const std::string& folder, const BidsPhantom& bids, const std::string& name,
                     const std::string& direction, const Volume& object, int volumes)
{
    TestImageLayout layout = bids.layout;
    layout.volumes = volumes;
    const std::string run = folder + "/sub-01/func/" + name + ".nii";
    fs::create_directories(fs::path(run).parent_path());
    writeTestImage(run, layout, [&](int i, int j, int k, int t) { return std::round(object(i, j, k)) + t % 7; });
    std::ofstream(folder + "/sub-01/func/" + name + ".json")
        << nlohmann::json{{"PhaseEncodingDirection", direction}, {"TotalReadoutTime", 0.05}}.dump();
    return run;
}

// The phantom pair and a further run of the pair's grid with volumes volumes, and the
// command line of "correct" on them into OUT (standard column-wise estimate, plain
// undistortion: the stages are the same and quick).
std::vector<std::string> correctionInputs(const std::string& folder, int volumes)
{
    const BidsPhantom bids = writeBidsPhantom(folder, "j-", 0.05);
    const std::string run =
        writeRun(folder, bids, "sub-01_task-rest_bold", "j-", bids.phantom.first.front(), volumes);
    return {"correct", "--ap", bids.ap, "--pa", bids.pa, "--apply-to", run, "--out", "out", "--fast", "--plain"};
}

// The phantom pair, a run acquired in each of its directions and the phantom's map of the
// first (map.nii), and the command lines of "correct --combine" on them into OUT and of
// "combine" of the two runs with the map into combined/rest.nii.gz.
struct CombinationInputs {
    std::vector<std::string> correct;
    std::vector<std::string> combine;
};
CombinationInputs combinationInputs(const std::string& folder, int volumes)
{
    const BidsPhantom bids = writeBidsPhantom(folder, "j-", 0.05);
    const std::string ap =
        writeRun(folder, bids, "sub-01_task-rest_dir-AP_bold", "j-", bids.phantom.first.front(), volumes);
    const std::string pa =
        writeRun(folder, bids, "sub-01_task-rest_dir-PA_bold", "j", bids.phantom.second.front(), volumes);
    writeTestVolumes(folder + "/map.nii", {bids.phantom.displacement}, bids.layout);
    return {{"correct", "--ap", bids.ap, "--pa", bids.pa, "--apply-to", ap, "--apply-to", pa, "--combine", "--out",
             "out", "--fast", "--plain"},
            {"combine", "--plus", ap, "--minus", pa, "--map", "map.nii", "--out", "combined/rest.nii.gz"}};
}

// A run of volumes volumes, a field map in Hz on its grid (the phantom's field) with the
// pair's first image as its magnitude, and the command line of "correct" with them into OUT.
std::vector<std::string> fieldMapInputs(const std::string& folder, int volumes)
{
    const BidsPhantom bids = writeBidsPhantom(folder, "j-", 0.05);
    const std::string run =
        writeRun(folder, bids, "sub-01_task-rest_bold", "j-", bids.phantom.first.front(), volumes);
    const std::string field = folder + "/sub-01/fmap/sub-01_fieldmap.nii";
    writeTestVolumes(field, {bids.phantom.displacement * 20.0f}, bids.layout);  // voxels / 0.05 s
    std::ofstream(folder + "/sub-01/fmap/sub-01_fieldmap.json") << nlohmann::json{{"Units", "Hz"}}.dump();
    return {"correct", "--fieldmap", field, "--magnitude", bids.ap, "--apply-to", run, "--out", "out", "--plain"};
}

// Whether a path below the folder holds the text.
bool anyBelow(const std::string& folder, const std::string& part)
{
    std::error_code error;
    for (auto entry = fs::recursive_directory_iterator(folder, error); entry != fs::recursive_directory_iterator();
         entry.increment(error))
        if (contains(entry->path().string(), part)) return true;
    return false;
}

// Whether a rerun wrote folder/name anew: the earlier run's file is set aside (under a
// "kept" temporary name) and the file is there again.
bool writtenAgain(const std::string& folder, const std::string& name)
{
    return anyBelow(folder, ".kept-" + name) && fs::exists(folder + "/" + name);
}

struct Stage {
    const char* name;
    std::function<bool()> reached;
    int signal;
};

// Reruns the command in the folder, stopped by each stage's signal once it reached the
// stage: the status tells the signal, standard error ends with "mindaro COMMAND: stopped
// by SIGNAL. " and then undone, results (a folder) is as it was and nothing temporary stays.
void expectStoppedInEachStage(const std::string& folder, const std::vector<std::string>& command,
                              const std::string& results, const std::vector<Stage>& stages, const std::string& undone)
{
    const FolderContents before = folderContents(results);
    for (const Stage& stage : stages) {
        SCOPED_TRACE(command.front() + " stopped in " + stage.name);
        BackgroundRun run(folder, command);
        ASSERT_TRUE(waitUntil(stage.reached));
        run.signal(stage.signal);
        const ProcessResult stopped = run.wait();
        EXPECT_EQ(stopped.status, 128 + stage.signal) << stopped.err;
        const std::string signal = stage.signal == SIGINT ? "SIGINT (Ctrl-C)" : "SIGTERM";
        const std::string said = "mindaro " + command.front() + ": stopped by " + signal + ". " + undone + "\n";
        EXPECT_TRUE(stopped.err.size() >= said.size() && stopped.err.substr(stopped.err.size() - said.size()) == said)
            << stopped.err;
        EXPECT_TRUE(folderContents(results) == before);
        EXPECT_EQ(joined(temporariesBelow(folder)), "");
    }
}

// The file a "the disk is full" message names: the word before ": the disk is full".
std::string fileNamedFull(const std::string& err)
{
    const auto at = err.find(": the disk is full");
    if (at == std::string::npos) return "";
    const auto start = err.rfind(' ', at);
    return err.substr(start + 1, at - start - 1);
}

}  // namespace

// The disk fills up at several points of a rerun over complete results: each failure
// names the file and says that the disk is full, the results stay as they were, and
// nothing temporary stays. The failures fall in several stages (different files).
TEST(FullDisk, CorrectSaysSoAtEveryStageAndKeepsTheEarlierResults)
{
    const SmallDisk disk(64u << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const std::vector<std::string> correct = correctionInputs(disk.path(), 12);
    const std::size_t before = disk.available();
    const ProcessResult first = mindaroIn(disk.path(), correct);
    ASSERT_EQ(first.status, 0) << first.err;
    const std::size_t needed = before - disk.available();
    const FolderContents results = folderContents(disk.path() + "/out");

    std::set<std::string> failedFiles;
    for (const double share : {0.02, 0.3, 0.55, 0.8, 0.97}) {
        SCOPED_TRACE("free: " + std::to_string(share) + " of what a run writes");
        disk.leaveFree(static_cast<std::size_t>(share * static_cast<double>(needed)));
        const ProcessResult full = mindaroIn(disk.path(), correct);
        if (full.status == 0) continue;  // it fitted after all
        EXPECT_EQ(full.status, 1);
        EXPECT_TRUE(contains(full.err, ": the disk is full (")) << full.err;
        const std::string named = fileNamedFull(full.err);
        EXPECT_TRUE(contains(named, "out/")) << full.err;
        failedFiles.insert(fs::path(named).filename().string());
        EXPECT_TRUE(folderContents(disk.path() + "/out") == results);
        EXPECT_EQ(joined(temporariesBelow(disk.path())), "");
    }
    EXPECT_GE(failedFiles.size(), 3u) << joined({failedFiles.begin(), failedFiles.end()});

    // On a disk with room again, the same run succeeds.
    fs::remove(disk.path() + "/FILLER");
    EXPECT_EQ(mindaroIn(disk.path(), correct).status, 0);
}

TEST(FullDisk, EveryWritingCommandSaysSoAndLeavesNoTemporaries)
{
    const SmallDisk disk(24u << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const std::string root = disk.path();
    ASSERT_EQ(mindaroIn(root, {"simulate", "p", "--size", "48x48x24", "--volumes", "6"}).status, 0);
    const BidsPhantom bids = writeBidsPhantom(root, "j-", 0.05);
    ASSERT_EQ(mindaroIn(root, {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--apply"}).status, 0);
    const FolderContents earlier = folderContents(root + "/p");
    const std::vector<std::vector<std::string>> commands{
        {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--apply"},
        {"apply", "p/AP_vdm.map", "p/AP.fmr", "p/PA.fmr"},
        {"import", bids.ap, "p/imported.fmr"},
        {"export", "p/AP.fmr", "p/exported.nii.gz", "--like", bids.ap},
        {"qc", "p/AP.fmr", "p/PA.fmr", "--out", "p/qc.png"},
    };
    for (const auto& command : commands)
        for (const std::size_t free : {std::size_t{4096}, std::size_t{60} << 10}) {
            SCOPED_TRACE(command.front() + " with " + std::to_string(free) + " bytes free");
            disk.leaveFree(free);
            const ProcessResult full = mindaroIn(root, command);
            EXPECT_NE(full.status, 0);
            EXPECT_TRUE(contains(full.err, ": the disk is full")) << full.err;
            EXPECT_NE(fileNamedFull(full.err), "") << full.err;
            EXPECT_TRUE(folderContents(root + "/p") == earlier);
            EXPECT_EQ(joined(temporariesBelow(root)), "");
        }
}

// combine (projects, NIfTI runs, correct --combine) and correct with a field map, rerun
// over complete results with a tenth and with six tenths of what a run writes free.
TEST(FullDisk, CombineAndFieldMapCorrectSayThatTheDiskIsFullAndKeepTheEarlierResults)
{
    const SmallDisk disk(32u << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const std::string root = disk.path();
    ASSERT_EQ(mindaroIn(root, {"simulate", "p", "--size", "48x48x24", "--volumes", "6"}).status, 0);
    const CombinationInputs combination = combinationInputs(root + "/c", 6);
    const struct {
        std::string folder;
        std::vector<std::string> command;
        std::string results;
    } cases[] = {
        {root, {"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map"}, "p"},
        {root + "/c", combination.correct, "out"},
        {root + "/c", combination.combine, "combined"},
        {root + "/f", fieldMapInputs(root + "/f", 6), "out"},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(joined(run.command));
        fs::remove(root + "/FILLER");
        const std::size_t before = disk.available();
        const ProcessResult first = mindaroIn(run.folder, run.command);
        ASSERT_EQ(first.status, 0) << first.err;
        const std::size_t needed = before - disk.available();
        const FolderContents results = folderContents(run.folder + "/" + run.results);
        for (const double share : {0.1, 0.6}) {
            SCOPED_TRACE("free: " + std::to_string(share) + " of what a run writes");
            disk.leaveFree(static_cast<std::size_t>(share * static_cast<double>(needed)));
            const ProcessResult full = mindaroIn(run.folder, run.command);
            EXPECT_EQ(full.status, 1);
            EXPECT_TRUE(contains(full.err, ": the disk is full (")) << full.err;
            EXPECT_TRUE(contains(fileNamedFull(full.err), run.results + "/")) << full.err;
            EXPECT_TRUE(folderContents(run.folder + "/" + run.results) == results);
            EXPECT_EQ(joined(temporariesBelow(root)), "");
        }
    }
}

// SIGTERM (a batch system's time limit) and Ctrl-C in each stage of a rerun over complete
// results: the status tells the signal, the message what was left undone, the results are
// as they were and nothing temporary stays.
TEST(Interruption, CorrectStoppedInEachStageLeavesTheEarlierResults)
{
    const TemporaryFolder folder;
    const std::vector<std::string> correct = correctionInputs(folder.path(), 240);
    ASSERT_EQ(mindaroIn(folder.path(), correct).status, 0);
    const std::string out = folder.path() + "/out";
    // The earlier map is set aside first; the map of this run appears after the estimate.
    expectStoppedInEachStage(
        folder.path(), correct, out,
        {{"import", [&] { return anyBelow(out, "projects/.varno-"); }, SIGTERM},
         {"estimate and apply", [&] { return writtenAgain(out + "/projects", "sub-01_dir-AP_epi_vdm.map"); }, SIGINT},
         {"export", [&] { return anyBelow(out, ".work/sub-01_dir-PA_epi_corrected.nii.gz"); }, SIGTERM}},
        "Nothing of this run was kept: out is as it was before.");
}

// combine stopped while it restores the volumes, as projects and as NIfTI runs (in each
// stage), and correct --combine stopped while it combines the runs.
TEST(Interruption, CombineStoppedMidwayWritesNoHalfCombinedRun)
{
    const TemporaryFolder folder;
    const std::string root = folder.path();
    ASSERT_EQ(mindaroIn(root, {"simulate", "p", "--size", "48x48x24", "--volumes", "80"}).status, 0);
    const std::vector<std::string> combine{"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map"};
    ASSERT_EQ(mindaroIn(root, combine).status, 0);
    expectStoppedInEachStage(root, combine, root + "/p",
                             {{"combine", [&] { return anyBelow(root + "/p", ".part"); }, SIGTERM}},
                             "p/AP_combined.fmr was not written (what was there before is as it was).");

    const std::string runs = root + "/runs";
    const CombinationInputs combination = combinationInputs(runs, 80);
    ASSERT_EQ(mindaroIn(runs, combination.combine).status, 0);
    const std::string combined = runs + "/combined";
    const auto projectWritten = [&](const std::string& name) {
        return anyBelow(combined, "/projects/sub-01_task-rest_dir-" + name + ".fmr");
    };
    expectStoppedInEachStage(
        runs, combination.combine, combined,
        {{"import", [&] { return anyBelow(combined, ".part"); }, SIGTERM},
         {"combine", [&] { return projectWritten("PA_bold") && anyBelow(combined, ".part"); }, SIGINT},
         {"export", [&] { return projectWritten("AP_bold_combined"); }, SIGTERM}},
        "combined/rest.nii.gz was not written (what was there before is as it was).");

    ASSERT_EQ(mindaroIn(runs, combination.correct).status, 0);
    const std::string projects = runs + "/out/projects";
    expectStoppedInEachStage(
        runs, combination.correct, runs + "/out",
        {{"combine",
          [&] {
              return writtenAgain(projects, "sub-01_task-rest_dir-PA_bold_undist.fmr") && anyBelow(projects, ".part");
          },
          SIGTERM}},
        "Nothing of this run was kept: out is as it was before.");
}

// correct with a field map stopped while it imports, undistorts and exports the run.
TEST(Interruption, FieldMapCorrectStoppedInEachStageLeavesTheEarlierResults)
{
    const TemporaryFolder folder;
    const std::vector<std::string> correct = fieldMapInputs(folder.path(), 120);
    ASSERT_EQ(mindaroIn(folder.path(), correct).status, 0);
    const std::string out = folder.path() + "/out";
    const std::string projects = out + "/projects";
    expectStoppedInEachStage(
        folder.path(), correct, out,
        {{"import", [&] { return anyBelow(projects, ".part"); }, SIGTERM},
         {"undistortion", [&] { return writtenAgain(projects, "sub-01_task-rest_bold_vdm.map"); }, SIGINT},
         {"export", [&] { return writtenAgain(projects, "sub-01_task-rest_bold_undist.fmr"); }, SIGTERM}},
        "Nothing of this run was kept: out is as it was before.");
}

// SIGKILL cannot be caught: it leaves temporaries at worst, never a damaged output, and
// the next run recognises them as a killed run's and cleans them.
TEST(Interruption, AfterSigkillTheNextRunCleansUp)
{
    const TemporaryFolder folder;
    const std::vector<std::string> correct = correctionInputs(folder.path(), 120);
    ASSERT_EQ(mindaroIn(folder.path(), correct).status, 0);
    const std::string out = folder.path() + "/out";
    const FolderContents results = folderContents(out);
    {
        BackgroundRun run(folder.path(), correct);
        ASSERT_TRUE(waitUntil([&] {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(out + "/projects", error))
                if (contains(entry.path().string(), "kept-sub-01_dir-AP_epi_vdm.map"))
                    return fs::exists(out + "/projects/sub-01_dir-AP_epi_vdm.map");
            return false;
        }));
        run.signal(SIGKILL);
        EXPECT_EQ(run.wait().status, 128 + SIGKILL);
    }
    EXPECT_NE(joined(temporariesBelow(folder.path())), "");
    const ProcessResult again = mindaroIn(folder.path(), correct);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(joined(temporariesBelow(folder.path())), "");
    EXPECT_EQ(folderContents(out).size(), results.size());
}

// "bids" stopped: its workers stop with it (none runs on), the items done are kept, and a
// rerun with --skip-existing does the rest.
TEST(Interruption, BidsStopsItsWorkersKeepsWhatIsDoneAndResumes)
{
    const TemporaryFolder folder;
    writeTestDataset(folder.path() + "/raw", false);
    BackgroundRun run(folder.path(), {"bids", "raw", "out", "participant", "--jobs", "2", "--fast"});
    const std::string firstRecord = folder.path() + "/out/sub-01/log/sub-01_fmapid-1.json";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(firstRecord); }, std::chrono::seconds(120)));
    run.signal(SIGTERM);
    const ProcessResult stopped = run.wait();
    EXPECT_EQ(stopped.status, 143) << stopped.err;
    EXPECT_TRUE(contains(stopped.err, "mindaro bids: stopped by SIGTERM. ")) << stopped.err;
    EXPECT_TRUE(contains(stopped.err, "left undone (")) << stopped.err;
    EXPECT_TRUE(contains(stopped.err, "Run again with --skip-existing to finish.")) << stopped.err;
    EXPECT_EQ(processesMentioning(folder.path()).size(), 0u);
    EXPECT_TRUE(fs::exists(firstRecord));
    EXPECT_EQ(joined(temporariesBelow(folder.path() + "/out")), "");

    const ProcessResult resumed =
        mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--jobs", "2", "--fast", "--skip-existing"});
    EXPECT_EQ(resumed.status, 1) << resumed.err;  // sub-04's broken pair only
    EXPECT_TRUE(contains(resumed.out, "kept from before, 0 failed.")) << resumed.out;
}

// Two runs into the same outputs: the second is refused with the first one named, and the
// first finishes undisturbed.
TEST(TwoRuns, TheSecondIntoTheSameOutputsIsRefusedNamingTheFirst)
{
    const TemporaryFolder folder;
    const std::vector<std::string> correct = correctionInputs(folder.path(), 120);
    {
        BackgroundRun first(folder.path(), correct);
        ASSERT_TRUE(waitUntil([&] { return lockHeldBy(folder.path() + "/out/.varno-lock", first.pid()); }));
        first.signal(SIGSTOP);  // so that it cannot end before the second run meets its lock
        const ProcessResult second = mindaroIn(folder.path(), correct);
        first.signal(SIGCONT);
        EXPECT_EQ(second.status, 1);
        EXPECT_TRUE(contains(second.err, "mindaro correct: Another mindaro run is writing the output folder out: process " +
                                             std::to_string(first.pid()) + " on this machine"))
            << second.err;
        const ProcessResult done = first.wait();
        EXPECT_EQ(done.status, 0) << done.err;
    }
    EXPECT_FALSE(fs::exists(folder.path() + "/out/.varno-lock"));
    EXPECT_EQ(joined(temporariesBelow(folder.path())), "");

    // apply: one run at a time writes a project's copy.
    ASSERT_EQ(mindaroIn(folder.path(), {"simulate", "p", "--size", "64x64x32", "--volumes", "80"}).status, 0);
    ASSERT_EQ(mindaroIn(folder.path(), {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast"}).status, 0);
    {
        BackgroundRun first(folder.path(), {"apply", "p/AP_vdm.map", "p/AP.fmr"});
        ASSERT_TRUE(waitUntil([&] { return lockHeldBy(folder.path() + "/p/.AP.fmr.varno-lock", first.pid()); }));
        first.signal(SIGSTOP);
        const ProcessResult second = mindaroIn(folder.path(), {"apply", "p/PA_vdm.map", "p/PA.fmr", "p/AP.fmr"});
        first.signal(SIGCONT);
        EXPECT_EQ(second.status, 1);
        EXPECT_TRUE(contains(second.err, "Another mindaro run is writing the copy of p/AP.fmr: process " +
                                             std::to_string(first.pid())))
            << second.err;
        EXPECT_EQ(first.wait().status, 0);
    }
    EXPECT_FALSE(fs::exists(folder.path() + "/p/PA_undist.fmr"));
}

// combine (projects and NIfTI runs) and correct with a field map: a second run onto the
// same output is refused naming the first; a run onto another output of the folder is not.
TEST(TwoRuns, CombineAndFieldMapCorrectOntoTheSameOutputAreRefusedNamingTheFirst)
{
    const TemporaryFolder folder;
    const std::string root = folder.path();
    const auto refused = [](const std::string& at, const std::vector<std::string>& command, const std::string& lock,
                            const std::string& what, const std::vector<std::string>& beside) {
        SCOPED_TRACE(joined(command));
        BackgroundRun first(at, command);
        ASSERT_TRUE(waitUntil([&] { return lockHeldBy(at + "/" + lock, first.pid()); }));
        first.signal(SIGSTOP);
        const ProcessResult second = mindaroIn(at, command);
        EXPECT_EQ(second.status, 1);
        EXPECT_TRUE(contains(second.err, "mindaro " + command.front() + ": Another mindaro run is writing " + what +
                                             ": process " + std::to_string(first.pid()) + " on this machine"))
            << second.err;
        if (!beside.empty()) {
            const ProcessResult other = mindaroIn(at, beside);
            EXPECT_EQ(other.status, 0) << other.err;
        }
        first.signal(SIGCONT);
        const ProcessResult done = first.wait();
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_FALSE(fs::exists(at + "/" + lock));
    };
    ASSERT_EQ(mindaroIn(root, {"simulate", "p", "--size", "64x64x32", "--volumes", "100"}).status, 0);
    refused(root, {"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map"}, "p/.AP_combined.fmr.varno-lock",
            "the combined copy of p/AP.fmr", {"combine", "p/PA.fmr", "p/AP.fmr", "--map", "p/true_vdm.map"});

    std::vector<std::string> combine = combinationInputs(root, 100).combine;
    std::vector<std::string> beside = combine;
    beside.back() = "combined/other.nii.gz";
    refused(root, combine, "combined/.rest.nii.gz.varno-lock", "combined/rest.nii.gz", beside);

    refused(root + "/f", fieldMapInputs(root + "/f", 100), "out/.varno-lock", "the output folder out", {});
    EXPECT_EQ(joined(temporariesBelow(root)), "");
}

// Two dataset runs of one subject (a run started twice, or two array tasks given the same
// label) never write into each other; runs of other subjects share the folder freely.
TEST(TwoRuns, BidsRunsOfOneSubjectExcludeEachOtherAndOfOthersNot)
{
    const TemporaryFolder folder;
    writeTestDataset(folder.path() + "/raw", false);
    BackgroundRun first(folder.path(), {"bids", "raw", "out", "participant", "--participant-label", "01", "--fast"});
    ASSERT_TRUE(waitUntil([&] { return lockHeldBy(folder.path() + "/out/.work/.sub-01.varno-lock", first.pid()); }));
    first.signal(SIGSTOP);
    const ProcessResult same =
        mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--participant-label", "01", "--fast"});
    EXPECT_EQ(same.status, 1);
    EXPECT_TRUE(contains(same.err, "Another mindaro run is writing sub-01 of ")) << same.err;
    EXPECT_TRUE(contains(same.err, "process " + std::to_string(first.pid()))) << same.err;
    const ProcessResult other =
        mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--participant-label", "02", "--fast"});
    EXPECT_EQ(other.status, 0) << other.out << other.err;
    first.signal(SIGCONT);
    const ProcessResult done = first.wait();
    EXPECT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_EQ(joined(temporariesBelow(folder.path() + "/out")), "");
}

