// SPDX-License-Identifier: GPL-3.0-or-later
// Whole BIDS datasets through the built host: "mindaro bids" at the participant and the
// group level on a phantom dataset, and a run killed half-way and resumed.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/distance.h"
#include "support/bidsdataset.h"
#include "support/jsonfile.h"
#include "support/machinefaults.h"
#include "support/niftireadback.h"
#include "support/niftitestimages.h"
#include "support/runprocess.h"
#include "support/workflow.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The data files of an output folder (images, sidecars, gradients, pictures), without
// logs, pages and summaries, which tell how the run went.
FolderContents dataFiles(const std::string& folder)
{
    FolderContents files;
    for (const auto& [name, bytes] : folderContents(folder)) {
        const bool data = name.ends_with(".nii.gz") || name.ends_with(".bval") || name.ends_with(".bvec") ||
                          name.ends_with(".png") || (name.ends_with(".json") && !name.ends_with("_summary.json"));
        if (data && name.rfind(".work", 0) != 0) files[name] = bytes;
    }
    return files;
}

}  // namespace

TEST(BidsDataset, ParticipantLevelCorrectsEveryPairableRunAndReportsTheBrokenSubject)
{
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", true);
    // A run cut short after its header: its item fails, no other does.
    const std::string cut = dataset.root + "/sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz";
    const std::string whole = readWhole(cut);
    std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 3);
    const FolderContents inputs = folderContents(dataset.root);
    const std::string out = folder.path() + "/out/";

    const ProcessResult run =
        mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--jobs", "2", "--threads", "3", "--fast"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, " work items to run (2 at a time, 3 threads each), results in ")) << run.out;
    EXPECT_TRUE(folderContents(dataset.root) == inputs) << "the dataset was modified";
    EXPECT_TRUE(contains(run.out, std::string(dataset.withScannerPair ? "5" : "4") + " work items done, 1 failed.\n"
                                  "Failed:\n  sub-02_ses-2_fmapid-1 (exit status 1), log: " + out +
                                  "sub-02/log/sub-02_ses-2_fmapid-1.log\n"))
        << run.out;
    const std::string failedLog = readWhole(out + "sub-02/log/sub-02_ses-2_fmapid-1.log");
    // The bids:: URI found the run; reading it is what failed.
    EXPECT_TRUE(contains(failedLog, "  sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz: IntendedFor of "
                                    "sub-02/ses-2/fmap/sub-02_ses-2_dir-AP_epi.nii.gz\n"))
        << failedLog;
    EXPECT_TRUE(contains(failedLog, "mindaro bids-item: The voxel data of " + cut + " end early: its header promises "))
        << failedLog;
    EXPECT_TRUE(contains(failedLog, "(its work folder " + out + ".work/sub-02_ses-2_fmapid-1.")) << failedLog;
    EXPECT_FALSE(fs::exists(out + "sub-02/ses-2/fmap/sub-02_ses-2_fmapid-1_desc-varno_fieldmap.nii.gz"));
    EXPECT_TRUE(contains(run.out, "Not corrected:\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "  sub-04/fmap/sub-04_acq-broken_dir-RL_epi.nii.gz: field map not usable: no "
                                  "\"PhaseEncodingDirection\" in its sidecars (" +
                                      dataset.root + "/sub-04/fmap/sub-04_acq-broken_dir-RL_epi.json)\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "  sub-04/func/sub-04_task-rest_acq-broken_bold.nii.gz: not corrected (IntendedFor of "
                                  "sub-04/fmap/sub-04_acq-broken_dir-LR_epi.nii.gz): the field maps cannot be paired\n"))
        << run.out;

    const nlohmann::json description = readJson(out + "dataset_description.json");
    EXPECT_EQ(description["DatasetType"], "derivative");
    EXPECT_EQ(description["GeneratedBy"][0]["Name"], "VARNO");
    EXPECT_EQ(description["GeneratedBy"][0]["Version"], "1.2.1");

    // Every corrected run keeps its entities, its grid and its sidecar's keys.
    const std::vector<std::pair<std::string, std::string>> runs{
        {"sub-01/func/sub-01_task-rest_acq-native_bold", "sub-01/func/sub-01_task-rest_acq-native_desc-sdc_bold"},
        {"sub-01/func/sub-01_task-rest_acq-coarse_bold", "sub-01/func/sub-01_task-rest_acq-coarse_desc-sdc_bold"},
        {"sub-02/ses-1/func/sub-02_ses-1_task-rest_bold", "sub-02/ses-1/func/sub-02_ses-1_task-rest_desc-sdc_bold"},
        {"sub-03/dwi/sub-03_dir-AP_dwi", "sub-03/dwi/sub-03_dir-AP_desc-sdc_dwi"},
        {"sub-03/dwi/sub-03_dir-PA_dwi", "sub-03/dwi/sub-03_dir-PA_desc-sdc_dwi"},
        {"sub-04/func/sub-04_task-rest_acq-good_bold", "sub-04/func/sub-04_task-rest_acq-good_desc-sdc_bold"}};
    for (const auto& [source, output] : runs) {
        ASSERT_TRUE(fs::exists(out + output + ".nii.gz")) << output << "\n" << run.out;
        expectSameGrid(dataset.root + "/" + source + ".nii.gz", out + output + ".nii.gz");
        EXPECT_EQ(readVolumes(out + output + ".nii.gz").size(), readVolumes(dataset.root + "/" + source + ".nii.gz").size());
        const nlohmann::json sidecar = readJson(out + output + ".json");
        EXPECT_EQ(sidecar["Sources"][0], "bids:raw:" + source + ".nii.gz") << output;
        EXPECT_EQ(sidecar["PhaseEncodingDirection"], readJson(dataset.root + "/" + source + ".json")["PhaseEncodingDirection"]);
    }
    EXPECT_EQ(readJson(out + runs[0].second + ".json")["TaskName"], "rest");  // inherited from task-rest_bold.json
    EXPECT_FALSE(fs::exists(out + "sub-04/func/sub-04_task-rest_acq-broken_desc-sdc_bold.nii.gz"));
    for (const char* extension : {".bval", ".bvec"})
        EXPECT_EQ(readWhole(out + "sub-03/dwi/sub-03_dir-AP_desc-sdc_dwi" + extension),
                  readWhole(dataset.root + "/sub-03/dwi/sub-03_dir-AP_dwi" + extension));

    // The field maps: one per pair and session, in Hz, naming the runs they corrected.
    for (const char* name : {"sub-01/fmap/sub-01_fmapid-1", "sub-02/ses-1/fmap/sub-02_ses-1_fmapid-1", "sub-03/fmap/sub-03_fmapid-1",
                             "sub-04/fmap/sub-04_fmapid-1"}) {
        const std::string stem = out + name + "_desc-varno_fieldmap";
        ASSERT_TRUE(fs::exists(stem + ".nii.gz")) << stem;
        EXPECT_EQ(readJson(stem + ".json")["Units"], "Hz");
        EXPECT_GT(readJson(stem + ".json")["Agreement"]["After"]["Correlation"].get<double>(),
                  readJson(stem + ".json")["Agreement"]["Before"]["Correlation"].get<double>());
    }
    const nlohmann::json field01 = readJson(out + "sub-01/fmap/sub-01_fmapid-1_desc-varno_fieldmap.json");
    EXPECT_EQ(field01["IntendedFor"], nlohmann::json({"bids:raw:sub-01/func/sub-01_task-rest_acq-native_bold.nii.gz",
                                                      "bids:raw:sub-01/func/sub-01_task-rest_acq-coarse_bold.nii.gz"}));
    EXPECT_EQ(readJson(out + "sub-02/ses-1/fmap/sub-02_ses-1_fmapid-1_desc-varno_fieldmap.json")["B0FieldIdentifier"], "pepolar1");
    // --fast reached the estimate of every item.
    EXPECT_EQ(field01["EstimationMethod"],
              "VARNO standard column-wise estimate of the displacement from a field-map pair, each direction averaged "
              "over its volumes");
    // AP is "j-": a positive field moves signal towards -j, so the field is -d / readout time.
    const Volume field = readVolumes(out + "sub-01/fmap/sub-01_fmapid-1_desc-varno_fieldmap.nii.gz").front();
    const std::vector<VoxelIndex> object = phantomObjectVoxels(dataset.subject01.truth);
    EXPECT_GT(nccLocal(field, dataset.subject01.displacement * static_cast<float>(-1.0 / dataset.readoutTime), object), 0.8);

    // The run on another grid against the same run corrected on the pair's grid, carried
    // into the other grid: equal within interpolation, far closer than before correction.
    const Volume native = readVolumes(out + runs[0].second + ".nii.gz").front();
    const Volume coarse = readVolumes(out + runs[1].second + ".nii.gz").front();
    const Volume coarseBefore = readVolumes(dataset.root + "/" + runs[1].first + ".nii.gz").front();
    const Volume expected = resampleToGrid(native, dataset.pairGrid, dataset.otherGrid);
    const Volume truth = resampleToGrid(dataset.subject01.truth, dataset.pairGrid, dataset.otherGrid);
    const std::vector<std::size_t> head = voxelsAbove(truth, 100.0f);
    const Agreement after = agreementOver(coarse, expected, head);
    const Agreement before = agreementOver(coarseBefore, expected, head);
    EXPECT_GT(after.correlation, 0.97);
    EXPECT_LT(after.meanSquaredDifference, 0.35 * before.meanSquaredDifference)
        << "after " << after.meanSquaredDifference << ", before " << before.meanSquaredDifference;
    EXPECT_EQ(readJson(out + runs[1].second + ".json")["DistortionCorrection"]["CarriedToRunGrid"], true);

    // The diffusion pair through its b = 0 volumes: the corrected b = 0 images agree.
    const Volume dwiAp = readVolumes(out + runs[3].second + ".nii.gz").front();
    const Volume dwiPa = readVolumes(out + runs[4].second + ".nii.gz").front();
    const Volume apBefore = readVolumes(dataset.root + "/" + runs[3].first + ".nii.gz").front();
    const Volume paBefore = readVolumes(dataset.root + "/" + runs[4].first + ".nii.gz").front();
    EXPECT_LT(ssdLocal(dwiAp, dwiPa, object), 0.5 * ssdLocal(apBefore, paBefore, object));

    // Pages, pictures and logs per subject.
    EXPECT_TRUE(fs::exists(out + "sub-01/figures/sub-01_fmapid-1_desc-qc.png"));
    EXPECT_TRUE(fs::exists(out + "sub-01/log/sub-01_fmapid-1.log"));
    EXPECT_TRUE(contains(readWhole(out + "sub-01.html"), "IntendedFor of sub-01/fmap/sub-01_dir-AP_epi.nii.gz"));
    EXPECT_TRUE(contains(readWhole(out + "sub-02.html"), "B0FieldSource &quot;pepolar1&quot;"));
    EXPECT_TRUE(contains(readWhole(out + "sub-02.html"), "<span class=\"failed\">failed</span>"));
    EXPECT_TRUE(contains(readWhole(out + "sub-04.html"), "the field maps cannot be paired"));
    EXPECT_TRUE(contains(readWhole(out + "sub-04/log/sub-04_varno.log"), "PROBLEM sub-04/fmap/sub-04_acq-broken_dir-RL_epi.nii.gz"));
    // Only the failed item's work folder stays, for a look.
    for (const auto& entry : fs::directory_iterator(out + ".work"))
        EXPECT_EQ(entry.path().filename().string().rfind("sub-02_ses-2_fmapid-1.", 0), 0u) << entry.path();

    // The group level links every subject.
    const ProcessResult group = mindaroIn(folder.path(), {"bids", "raw", "out", "group"});
    ASSERT_EQ(group.status, 0) << group.out << group.err;
    const std::string index = readWhole(out + "index.html");
    for (const char* subject : {"sub-01", "sub-02", "sub-03", "sub-04"})
        EXPECT_TRUE(contains(index, std::string("href=\"") + subject + ".html\"")) << subject;
    EXPECT_TRUE(contains(index, "sub-01/figures/sub-01_fmapid-1_desc-qc.png"));

    // Results already there are neither overwritten nor silently kept.
    const ProcessResult again = mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--fast"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "Pass --skip-existing to do only the missing work, or --force to redo it all.")) << again.err;
}

TEST(BidsDataset, KilledRunResumesWithSkipExistingToTheOutputsOfAnUninterruptedRun)
{
    const TemporaryFolder folder;
    writeTestDataset(folder.path() + "/raw", false);
    const ProcessResult whole = mindaroIn(folder.path(), {"bids", "raw", "whole", "participant", "--jobs", "2", "--fast"});
    ASSERT_EQ(whole.status, 1) << whole.out << whole.err;  // sub-04's broken pair only
    ASSERT_TRUE(contains(whole.out, "5 work items done, 0 failed.")) << whole.out;
    const FolderContents expected = dataFiles(folder.path() + "/whole");

    // Killed, with every process it started, once the first item has finished.
    BackgroundRun run(folder.path(), {"bids", "raw", "out", "participant", "--jobs", "1", "--fast"});
    ASSERT_GT(run.pid(), 0);
    const std::string firstRecord = folder.path() + "/out/sub-01/log/sub-01_fmapid-1.json";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!fs::exists(firstRecord) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(-run.pid(), SIGKILL);
    run.wait();
    ASSERT_TRUE(fs::exists(firstRecord));

    // What carries a final name is complete; the rest is missing, not half-written.
    const FolderContents interrupted = dataFiles(folder.path() + "/out");
    EXPECT_LT(interrupted.size(), expected.size());
    for (const auto& [name, bytes] : interrupted) {
        if (name == "dataset_description.json") continue;
        ASSERT_TRUE(expected.count(name) != 0) << name;
        EXPECT_TRUE(bytes == expected.at(name)) << name << " is not what the uninterrupted run wrote";
    }

    const ProcessResult resumed =
        mindaroIn(folder.path(), {"bids", "raw", "out", "participant", "--jobs", "2", "--fast", "--skip-existing"});
    EXPECT_EQ(resumed.status, 1) << resumed.out << resumed.err;
    EXPECT_TRUE(contains(resumed.out, "kept from before, 0 failed.")) << resumed.out;
    const FolderContents after = dataFiles(folder.path() + "/out");
    EXPECT_EQ(after.size(), expected.size());
    for (const auto& [name, bytes] : expected) {
        if (name == "dataset_description.json") continue;
        ASSERT_TRUE(after.count(name) != 0) << name << " is missing after the resumed run";
        EXPECT_TRUE(after.at(name) == bytes) << name;
    }
    EXPECT_TRUE(!fs::exists(folder.path() + "/out/.work") || fs::is_empty(folder.path() + "/out/.work"));
}

// With --combine, diffusion runs that differ only in dir- are also written as one run
// combined from both copies, named without dir-, with the gradient files of the first.
TEST(BidsDataset, CombineWritesTwinsAcquiredInBothDirectionsAsOneRun)
{
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", false);
    const ProcessResult run = mindaroIn(
        folder.path(), {"bids", "raw", "out", "participant", "--participant-label", "03", "--fast", "--combine", "--jobs", "1"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string out = folder.path() + "/out/sub-03/dwi/";
    for (const char* dir : {"AP", "PA"})
        EXPECT_TRUE(fs::exists(out + "sub-03_dir-" + dir + "_desc-sdc_dwi.nii.gz")) << dir;
    const std::string combined = out + "sub-03_desc-sdc_dwi";
    ASSERT_TRUE(fs::exists(combined + ".nii.gz")) << run.out;
    expectSameGrid(dataset.root + "/sub-03/dwi/sub-03_dir-AP_dwi.nii.gz", combined + ".nii.gz");
    EXPECT_EQ(readVolumes(combined + ".nii.gz").size(), 4u);
    EXPECT_EQ(readWhole(combined + ".bval"), readWhole(dataset.root + "/sub-03/dwi/sub-03_dir-AP_dwi.bval"));
    EXPECT_EQ(readWhole(combined + ".bvec"), readWhole(dataset.root + "/sub-03/dwi/sub-03_dir-AP_dwi.bvec"));
    const nlohmann::json sidecar = readJson(combined + ".json");
    EXPECT_FALSE(sidecar.contains("PhaseEncodingDirection"));
    EXPECT_EQ(sidecar["DistortionCorrection"]["Combined"], true);
    EXPECT_EQ(sidecar["DistortionCorrection"]["CombinedFrom"],
              nlohmann::json::array({"bids:raw:sub-03/dwi/sub-03_dir-AP_dwi.nii.gz",
                                     "bids:raw:sub-03/dwi/sub-03_dir-PA_dwi.nii.gz"}));
    EXPECT_EQ(sidecar["DistortionCorrection"]["PhaseEncodingDirections"], nlohmann::json::array({"j-", "j"}));
    // The subject's page lists the combined run with its two sources.
    EXPECT_TRUE(contains(readWhole(folder.path() + "/out/sub-03.html"),
                         "<td>sub-03/dwi/sub-03_dir-AP_dwi.nii.gz + sub-03/dwi/sub-03_dir-PA_dwi.nii.gz</td>"));
}
