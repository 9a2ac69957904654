// SPDX-License-Identifier: GPL-3.0-or-later
// The total readout time from "TotalReadoutTime", else the effective echo spacing times
// the reconstructed rows, and the refusal of a pair whose two images differ in it,
// whichever rule gave each.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dataset/discovery.h"
#include "nifti/readouttime.h"
#include "support/bidsdataset.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

std::string errorOf(const nlohmann::json& content, std::optional<int> rows = std::nullopt)
{
    try {
        readoutTimeFromMetadata(content, "x.json", rows);
    } catch (const MetadataError& error) {
        return error.what();
    }
    return "no error";
}

void writeJson(const fs::path& path, const nlohmann::json& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content.dump();
}

}  // namespace

TEST(ReadoutTime, RulesInOrderTotalThenEchoSpacingTimesReconMatrixThenTimesRows)
{
    const auto time = [](const nlohmann::json& content, std::optional<int> rows) {
        return readoutTimeFromMetadata(content, "x.json", rows);
    };
    EXPECT_EQ(time({{"TotalReadoutTime", 0.05}, {"EffectiveEchoSpacing", 0.0005}}, 64)->seconds, 0.05);
    const std::optional<ReadoutTime> matrix = time({{"EffectiveEchoSpacing", 0.0005}, {"ReconMatrixPE", 128}}, 64);
    ASSERT_TRUE(matrix);
    EXPECT_DOUBLE_EQ(matrix->seconds, 0.0005 * 127);
    EXPECT_EQ(matrix->rule, "EffectiveEchoSpacing x (ReconMatrixPE - 1) = 0.0005 s x 127");
    const std::optional<ReadoutTime> rows = time({{"EffectiveEchoSpacing", 0.0005}}, 64);
    ASSERT_TRUE(rows);
    EXPECT_DOUBLE_EQ(rows->seconds, 0.0005 * 63);
    EXPECT_EQ(rows->rule, "EffectiveEchoSpacing x (rows along the phase encoding - 1) = 0.0005 s x 63");
    EXPECT_FALSE(time({{"EffectiveEchoSpacing", 0.0005}}, std::nullopt));
    EXPECT_FALSE(time({{"ReconMatrixPE", 128}}, 64));
    EXPECT_FALSE(time(nlohmann::json::object(), 64));
}

TEST(ReadoutTime, UnusableValuesAreRefusedNamingTheFileAndTheKey)
{
    EXPECT_EQ(errorOf({{"TotalReadoutTime", "fast"}}),
              "\"TotalReadoutTime\" of x.json is \"fast\"; it must be a number of seconds from 0.001 s to 1 s.");
    EXPECT_EQ(errorOf({{"EffectiveEchoSpacing", -0.0005}}, 64),
              "\"EffectiveEchoSpacing\" of x.json is -0.0005; it must be a positive number of seconds.");
    EXPECT_EQ(errorOf({{"EffectiveEchoSpacing", 0.0005}, {"ReconMatrixPE", 96.5}}),
              "\"ReconMatrixPE\" of x.json is 96.5; it must be a whole number of rows, at least 2.");
    EXPECT_EQ(errorOf({{"EffectiveEchoSpacing", 0.5}, {"ReconMatrixPE", 128}}),
              "The total readout time of x.json from EffectiveEchoSpacing x (ReconMatrixPE - 1) = 0.5 s x 127 is 63.5 "
              "s; it must be a number of seconds from 0.001 s to 1 s.");
}

// Two field maps of one pair that differ in readout time are refused, whether the times
// come from "TotalReadoutTime", from the echo spacing times "ReconMatrixPE" or times the
// rows of the image; the same times by different rules pair.
TEST(ReadoutTime, PairWhoseImagesDifferInReadoutTimeIsRefusedWhateverGaveTheTimes)
{
    struct Case {
        nlohmann::json ap;
        nlohmann::json pa;
        std::string refusal;  // empty: paired
    };
    // The images have 6 rows along j.
    const std::vector<Case> cases{
        {{{"TotalReadoutTime", 0.05}}, {{"TotalReadoutTime", 0.06}}, "0.05 s, from TotalReadoutTime) and"},
        {{{"EffectiveEchoSpacing", 0.0005}, {"ReconMatrixPE", 101}}, {{"TotalReadoutTime", 0.06}},
         "0.05 s, from EffectiveEchoSpacing x (ReconMatrixPE - 1) = 0.0005 s x 100) and"},
        {{{"EffectiveEchoSpacing", 0.01}}, {{"EffectiveEchoSpacing", 0.01}, {"ReconMatrixPE", 7}},
         "0.05 s, from EffectiveEchoSpacing x (rows along the phase encoding - 1) = 0.01 s x 5) and"},
        {{{"EffectiveEchoSpacing", 0.01}}, {{"TotalReadoutTime", 0.05}}, ""},
        {{{"EffectiveEchoSpacing", 0.0005}, {"ReconMatrixPE", 101}}, {{"EffectiveEchoSpacing", 0.01}}, ""},
    };
    for (const Case& c : cases) {
        const TemporaryFolder folder;
        const fs::path fmap = fs::path(folder.path()) / "sub-01/fmap";
        for (const char* dir : {"AP", "PA"})
            writeGridImage((fmap / ("sub-01_dir-" + std::string(dir) + "_epi.nii.gz")).string(),
                           {{6, 6, 2}, {3.0, 3.0, 3.0}, {}}, {Volume(6, 6, 2, 1.0f)});
        nlohmann::json ap = c.ap, pa = c.pa;
        ap["PhaseEncodingDirection"] = "j-";
        pa["PhaseEncodingDirection"] = "j";
        writeJson(fmap / "sub-01_dir-AP_epi.json", ap);
        writeJson(fmap / "sub-01_dir-PA_epi.json", pa);
        const SessionPlan plan = discoverSession({folder.path(), "/out", {}}, "01", "");
        if (c.refusal.empty()) {
            EXPECT_EQ(plan.items.size(), 1u) << ap << pa;
            EXPECT_TRUE(plan.problems.empty()) << plan.problems.front().reason;
            continue;
        }
        EXPECT_TRUE(plan.items.empty()) << ap << pa;
        ASSERT_EQ(plan.problems.size(), 2u) << ap << pa;
        const std::string& reason = plan.problems[0].reason;
        EXPECT_EQ(reason.rfind("cannot be paired: the total readout time differs between sub-01/fmap/sub-01_dir-AP_epi.nii.gz (", 0), 0u)
            << reason;
        EXPECT_NE(reason.find(c.refusal), std::string::npos) << reason;
    }
}

// Diffusion runs of opposite directions are a pair too: differing readout times refuse them.
TEST(ReadoutTime, DiffusionRunsThatDifferInReadoutTimeAreNotPaired)
{
    const TemporaryFolder folder;
    const fs::path dwi = fs::path(folder.path()) / "sub-01/dwi";
    for (const auto& [dir, direction, time] : {std::tuple{"AP", "j-", 0.05}, {"PA", "j", 0.06}}) {
        const std::string stem = (dwi / ("sub-01_dir-" + std::string(dir) + "_dwi")).string();
        writeGridImage(stem + ".nii.gz", {{6, 6, 2}, {3.0, 3.0, 3.0}, {}}, {Volume(6, 6, 2, 1.0f), Volume(6, 6, 2, 1.0f)});
        writeJson(stem + ".json", {{"PhaseEncodingDirection", direction}, {"TotalReadoutTime", time}});
        std::ofstream(stem + ".bval") << "0 1000\n";
        std::ofstream(stem + ".bvec") << "0 1\n0 0\n0 0\n";
    }
    const SessionPlan plan = discoverSession({folder.path(), "/out", {}}, "01", "");
    EXPECT_TRUE(plan.items.empty());
    ASSERT_EQ(plan.problems.size(), 2u);
    EXPECT_EQ(plan.problems[0].reason,
              "cannot be paired through the b = 0 volumes: the total readout time differs between "
              "sub-01/dwi/sub-01_dir-AP_dwi.nii.gz (0.05 s, from TotalReadoutTime) and sub-01/dwi/sub-01_dir-PA_dwi.nii.gz "
              "(0.06 s, from TotalReadoutTime)");
}
