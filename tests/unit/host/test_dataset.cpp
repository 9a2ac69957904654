// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of a dataset run: BIDS names, sidecar inheritance, the discovery of pairs and
// the reasons for what cannot be paired, the outliers of the group page and the words of
// --slurm-args.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "dataset/bidsname.h"
#include "dataset/discovery.h"
#include "dataset/groupindex.h"
#include "dataset/inheritance.h"
#include "dataset/slurm.h"
#include "support/bidsdataset.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

void writeJson(const fs::path& path, const nlohmann::json& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content.dump();
}

// A tiny image on a 3 mm grid at the origin.
void writeImage(const fs::path& path, Dimensions extent = {6, 6, 2})
{
    writeGridImage(path.string(), {extent, {3.0, 3.0, 3.0}, {0.0, 0.0, 0.0}}, {Volume(extent, 1.0f)});
}

std::vector<std::string> findingTexts(const std::vector<DatasetFinding>& findings)
{
    std::vector<std::string> texts;
    for (const DatasetFinding& finding : findings) texts.push_back(finding.file + ": " + finding.reason);
    return texts;
}

nlohmann::json record(const std::string& name, double after)
{
    return {{"name", name}, {"Agreement", {{"After", {{"Correlation", after}}}}}};
}

}  // namespace

TEST(BidsName, EntitiesSuffixAndExtensionAndBack)
{
    const std::optional<BidsName> name = parseBidsName("sub-01_ses-pre_task-rest_dir-AP_bold.nii.gz");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->entity("ses"), "pre");
    EXPECT_EQ(name->entity("acq"), "");
    EXPECT_EQ(name->suffix, "bold");
    EXPECT_EQ(name->extension, ".nii.gz");
    EXPECT_EQ(name->with("desc", "sdc").text(), "sub-01_ses-pre_task-rest_dir-AP_desc-sdc_bold.nii.gz");
    EXPECT_EQ(name->with("dir", "").text(), "sub-01_ses-pre_task-rest_bold.nii.gz");
    EXPECT_EQ(parseBidsName("task-rest_bold.json")->entities.size(), 1u);
    for (const char* bad : {"sub-01_bold-.nii", "sub_01_bold.nii", "sub-0 1_bold.nii", "sub-01_.nii", "README"})
        EXPECT_EQ(parseBidsName(bad).has_value(), std::string(bad) == "README") << bad;
    EXPECT_EQ(withoutPrefix("sub-01", "sub"), "01");
    EXPECT_EQ(withoutPrefix("01", "sub"), "01");
}

TEST(BidsInheritance, DeeperSidecarsReplaceHigherOnesAndOnlyMatchingOnesApply)
{
    const TemporaryFolder folder;
    const fs::path root = folder.path();
    writeJson(root / "task-rest_bold.json", {{"TaskName", "rest"}, {"TotalReadoutTime", 0.1}, {"EchoTime", 0.03}});
    writeJson(root / "task-other_bold.json", {{"TaskName", "other"}});
    writeJson(root / "bold.json", {{"RepetitionTime", 2.0}, {"EchoTime", 0.02}});
    writeJson(root / "sub-01/sub-01_task-rest_dwi.json", {{"TaskName", "wrong suffix"}});
    writeJson(root / "sub-01/sub-01_task-rest_bold.json", {{"TotalReadoutTime", 0.05}});
    writeJson(root / "sub-01/func/sub-01_task-rest_run-1_bold.json", {{"PhaseEncodingDirection", "j-"}});
    writeJson(root / "sub-01/func/sub-01_task-rest_run-2_bold.json", {{"PhaseEncodingDirection", "j"}});
    const InheritedMetadata metadata =
        inheritedMetadata(root.string(), (root / "sub-01/func/sub-01_task-rest_run-1_bold.nii.gz").string());
    EXPECT_EQ(metadata.content, nlohmann::json({{"TaskName", "rest"},
                                                {"TotalReadoutTime", 0.05},
                                                {"EchoTime", 0.03},
                                                {"RepetitionTime", 2.0},
                                                {"PhaseEncodingDirection", "j-"}}));
    EXPECT_EQ(metadata.sources, (std::vector<std::string>{(root / "bold.json").string(), (root / "task-rest_bold.json").string(),
                                                          (root / "sub-01/sub-01_task-rest_bold.json").string(),
                                                          (root / "sub-01/func/sub-01_task-rest_run-1_bold.json").string()}));
}

TEST(BidsDiscovery, WhatCannotBePairedIsReportedWithItsReasonAndTheRestGoesOn)
{
    const TemporaryFolder folder;
    const fs::path root = folder.path();
    writeJson(root / "dataset_description.json", {{"Name", "x"}, {"BIDSVersion", "1.9.0"}});
    const fs::path fmap = root / "sub-01/fmap";
    const fs::path func = root / "sub-01/func";
    // Same direction twice; one direction alone; a good pair whose IntendedFor names a
    // missing run, a run on another axis and a good run also named by the first group.
    for (const char* name : {"sub-01_acq-same_dir-AP_epi", "sub-01_acq-same_dir-PA_epi", "sub-01_acq-alone_dir-AP_epi",
                             "sub-01_acq-good_dir-AP_epi", "sub-01_acq-good_dir-PA_epi"})
        writeImage(fmap / (std::string(name) + ".nii.gz"));
    for (const char* name : {"sub-01_task-a_bold", "sub-01_task-b_bold", "sub-01_task-c_bold"})
        writeImage(func / (std::string(name) + ".nii.gz"));
    const nlohmann::json times = {{"TotalReadoutTime", 0.05}};
    writeJson(fmap / "sub-01_acq-same_dir-AP_epi.json", {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", 0.05}});
    writeJson(fmap / "sub-01_acq-same_dir-PA_epi.json",
              {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", 0.05}, {"IntendedFor", "func/sub-01_task-c_bold.nii.gz"}});
    writeJson(fmap / "sub-01_acq-alone_dir-AP_epi.json", {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", 0.05}});
    writeJson(fmap / "sub-01_acq-good_dir-AP_epi.json",
              {{"PhaseEncodingDirection", "j-"},
               {"TotalReadoutTime", 0.05},
               {"IntendedFor", {"func/sub-01_task-missing_bold.nii.gz", "bids::sub-01/func/sub-01_task-a_bold.nii.gz",
                                "func/sub-01_task-b_bold.nii.gz", "../../outside_bold.nii.gz"}}});
    writeJson(fmap / "sub-01_acq-good_dir-PA_epi.json", {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", 0.05}});
    writeJson(func / "sub-01_task-a_bold.json", {{"PhaseEncodingDirection", "j-"}});
    writeJson(func / "sub-01_task-b_bold.json", {{"PhaseEncodingDirection", "i"}});
    writeJson(func / "sub-01_task-c_bold.json", {{"PhaseEncodingDirection", "j"}});

    const SessionPlan plan = discoverSession({root.string(), "/out", {"--fast"}}, "01", "");
    ASSERT_EQ(plan.items.size(), 1u);
    const WorkItem& item = plan.items.front();
    EXPECT_EQ(item.name, "sub-01_fmapid-1");
    EXPECT_EQ(item.first.relative, "sub-01/fmap/sub-01_acq-good_dir-AP_epi.nii.gz");
    ASSERT_EQ(item.targets.size(), 1u);
    EXPECT_EQ(item.targets[0].output, "sub-01/func/sub-01_task-a_desc-sdc_bold.nii.gz");
    EXPECT_EQ(item.targets[0].why, "IntendedFor of sub-01/fmap/sub-01_acq-good_dir-AP_epi.nii.gz");
    EXPECT_EQ(item.fieldmap, "sub-01/fmap/sub-01_fmapid-1_desc-varno_fieldmap.nii.gz");
    EXPECT_EQ(item.estimateOptions, std::vector<std::string>{"--fast"});
    EXPECT_EQ(findingTexts(plan.problems),
              (std::vector<std::string>{
                  "sub-01/fmap/sub-01_acq-alone_dir-AP_epi.nii.gz: cannot be paired: it is the only field map of its group "
                  "with a usable phase-encoding direction (j-); the acquisition in the opposite direction is missing",
                  "sub-01/fmap/sub-01_acq-good_dir-AP_epi.nii.gz: IntendedFor names \"func/sub-01_task-missing_bold.nii.gz\", "
                  "which does not exist",
                  "sub-01/fmap/sub-01_acq-good_dir-AP_epi.nii.gz: IntendedFor names \"../../outside_bold.nii.gz\", "
                  "which lies outside the dataset",
                  "sub-01/fmap/sub-01_acq-same_dir-AP_epi.nii.gz: cannot be paired: sub-01/fmap/sub-01_acq-same_dir-AP_epi.nii.gz (j) "
                  "and sub-01/fmap/sub-01_acq-same_dir-PA_epi.nii.gz (j) have the same phase-encoding direction",
                  "sub-01/fmap/sub-01_acq-same_dir-PA_epi.nii.gz: cannot be paired: sub-01/fmap/sub-01_acq-same_dir-AP_epi.nii.gz (j) "
                  "and sub-01/fmap/sub-01_acq-same_dir-PA_epi.nii.gz (j) have the same phase-encoding direction",
                  "sub-01/func/sub-01_task-c_bold.nii.gz: not corrected (IntendedFor of sub-01/fmap/sub-01_acq-same_dir-PA_epi.nii.gz): "
                  "the field maps cannot be paired",
                  "sub-01/func/sub-01_task-b_bold.nii.gz: not corrected (IntendedFor of sub-01/fmap/sub-01_acq-good_dir-AP_epi.nii.gz): " +
                      (root / "sub-01/func/sub-01_task-b_bold.nii.gz").string() +
                      " has the phase-encoding direction \"i\", but the pair was acquired along j; a run can be corrected only "
                      "with a map along its own phase-encoding axis."}));
    EXPECT_TRUE(plan.notes.empty()) << findingTexts(plan.notes).front();
}

TEST(BidsGroup, OutliersLieFarBelowTheMedianOfAllPairs)
{
    EXPECT_EQ(outlierItems({record("a", 0.99), record("b", 0.985), record("c", 0.992), record("d", 0.80)}),
              std::set<std::string>{"d"});
    // Within three robust deviations (at least 0.01 each) of the median: none.
    EXPECT_TRUE(outlierItems({record("a", 0.99), record("b", 0.98), record("c", 0.97), record("d", 0.965)}).empty());
    EXPECT_TRUE(outlierItems({record("a", 0.99), record("b", 0.10)}).empty());
}

TEST(BidsSlurm, SlurmArgumentsAreSplitAtSpacesOutsideQuotes)
{
    EXPECT_EQ(splitArguments("  --partition=short --comment='two words' \"--x=a b\" "),
              (std::vector<std::string>{"--partition=short", "--comment=two words", "--x=a b"}));
    EXPECT_TRUE(splitArguments("").empty());
    EXPECT_THROW(splitArguments("--comment='open"), std::runtime_error);
    EXPECT_EQ(shellQuoted("it's"), "'it'\\''s'");
}
