// SPDX-License-Identifier: GPL-3.0-or-later
// "mindaro bids --slurm" against a real SLURM: a two-participant job array and its group
// job through the single-node cluster of scripts/slurm-local.sh. Skipped when no SLURM
// controller answers, unless VARNO_REQUIRE_SLURM=1 (as in CI), which makes that a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/bidsdataset.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

bool slurmAnswers()
{
    for (const char* folder : {"/usr/bin", "/usr/local/bin"})
        if (fs::exists(std::string(folder) + "/sinfo")) {
            const ProcessResult ping = runProcess({std::string(folder) + "/sinfo", "-h", "-o", "%T"}, "/");
            return ping.status == 0 && ping.out.find("idle") != std::string::npos;
        }
    return false;
}

bool required(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && std::string(value) == "1";
}

std::string jobId(const std::string& out, const std::string& key)
{
    std::smatch match;
    const std::regex pattern(key + "=([0-9]+)");
    return std::regex_search(out, match, pattern) ? match[1].str() : "";
}

// True once squeue lists none of the jobs.
bool jobsEnded(const std::vector<std::string>& jobs)
{
    std::string list;
    for (const std::string& job : jobs) list += (list.empty() ? "" : ",") + job;
    const ProcessResult queue = runProcess({"/usr/bin/squeue", "-h", "-j", list, "-o", "%i"}, "/");
    return queue.status == 0 && queue.out.find_first_not_of(" \n") == std::string::npos;
}

}  // namespace

TEST(BidsSlurm, ParticipantArrayAndGroupJobRunThroughTheLocalCluster)
{
    if (!slurmAnswers()) {
        if (required("VARNO_REQUIRE_SLURM")) FAIL() << "VARNO_REQUIRE_SLURM=1, but no SLURM controller answers";
        GTEST_SKIP() << "no SLURM controller answers; start one with: scripts/slurm-local.sh start";
    }
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", false);
    const std::string out = folder.path() + "/out";
    std::vector<std::string> command{mindaroPath(), "bids", "raw", "out", "participant", "--participant-label", "01",
                                     "--participant-label", "sub-03", "--fast", "--slurm", "--slurm-args", "--time=10 --cpus-per-task=1"};
    const ProcessResult submitted = runProcess(command, folder.path());
    ASSERT_EQ(submitted.status, 0) << submitted.out << submitted.err;
    const std::string array = jobId(submitted.out, "SLURM_ARRAY_JOB");
    const std::string group = jobId(submitted.out, "SLURM_GROUP_JOB");
    ASSERT_FALSE(array.empty() || group.empty()) << submitted.out;
    EXPECT_NE(submitted.out.find("Submitted job array " + array + " (2 participants) and group job " + group), std::string::npos)
        << submitted.out;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!jobsEnded({array, group}) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_TRUE(jobsEnded({array, group})) << "the jobs did not end within 5 minutes";

    // Each task ran its participant, the group job the index of both.
    const std::string logs = "\n" + readWhole(out + "/.slurm/participant-" + array + "_0.out") +
                             readWhole(out + "/.slurm/participant-" + array + "_1.out") +
                             readWhole(out + "/.slurm/group-" + group + ".out");
    EXPECT_TRUE(fs::exists(out + "/sub-01/func/sub-01_task-rest_acq-coarse_desc-sdc_bold.nii.gz")) << logs;
    EXPECT_TRUE(fs::exists(out + "/sub-03/dwi/sub-03_dir-PA_desc-sdc_dwi.nii.gz")) << logs;
    EXPECT_FALSE(fs::exists(out + "/sub-02")) << "only the labels asked for";
    const std::string index = readWhole(out + "/index.html");
    EXPECT_NE(index.find("href=\"sub-01.html\""), std::string::npos) << logs;
    EXPECT_NE(index.find("href=\"sub-03.html\""), std::string::npos) << logs;
    EXPECT_NE(logs.find("Group report of 2 subjects"), std::string::npos) << logs;
}
