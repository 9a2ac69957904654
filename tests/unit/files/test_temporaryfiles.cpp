// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary names that say which machine and process made them, and the cleaning of those
// left by processes that are gone: never of a running process's, never of another
// machine's, whose processes cannot be seen from here.
#include <gtest/gtest.h>

#include <filesystem>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "files/temporaryfiles.h"
#include "support/datasetfiles.h"

namespace fs = std::filesystem;

namespace {

std::string nameOf(const std::string& machine, long pid, const std::string& kind)
{
    return ".varno-" + machine + "-" + std::to_string(pid) + "-0123456789abcdef." + kind;
}

}  // namespace

TEST(TemporaryNames, CarryTheMachineAndTheProcessThatMadeThem)
{
    const ScratchDir dir;
    const std::string first = temporaryPath(dir.path(), "part");
    const std::string second = temporaryPath(dir.path(), "kept-run 1.fmr");
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(dir.path(), 0), 0u) << first;
    const auto parts = parseTemporaryName(fs::path(second).filename().string());
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->machine, machineName());
    EXPECT_EQ(parts->pid, processId());
    EXPECT_EQ(parts->kind, "kept");
    EXPECT_EQ(parts->rest, "run 1.fmr");

    // A machine's name may hold dashes and digits of its own.
    const auto cluster = parseTemporaryName(nameOf("node-12-a", 4242, "work"));
    ASSERT_TRUE(cluster.has_value());
    EXPECT_EQ(cluster->machine, "node-12-a");
    EXPECT_EQ(cluster->pid, 4242);
    EXPECT_EQ(cluster->kind, "work");
    for (const char* other : {"run.fmr", ".varno-lock", ".varno-x.part", ".varno-host-12-xyz.part", ".varno-work-0f3a"})
        EXPECT_FALSE(parseTemporaryName(other).has_value()) << other;
}

#if !defined(_WIN32)
// Processes that are gone are made with fork, which Windows lacks.
namespace {

// The id of a process that ran and is gone.
long finishedProcess()
{
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return static_cast<long>(child);
}

}  // namespace

TEST(TemporaryNames, StaleOnlyWhenMadeHereByAProcessThatIsGone)
{
    const long gone = finishedProcess();
    EXPECT_TRUE(isStaleTemporary(nameOf(machineName(), gone, "part")));
    EXPECT_FALSE(isStaleTemporary(nameOf(machineName(), processId(), "part")));
    EXPECT_FALSE(isStaleTemporary(nameOf(machineName() + "-elsewhere", gone, "part")));
    EXPECT_FALSE(isStaleTemporary("AP.fmr"));
}

TEST(TemporaryNames, CleaningRemovesPartsAndWorkAndPutsKeptVersionsBack)
{
    const ScratchDir dir;
    const long gone = finishedProcess();
    const std::string here = machineName();
    writeFile(dir.file(nameOf(here, gone, "part")), "half written");
    fs::create_directories(dir.file(nameOf(here, gone, "work")) + "/deeper");
    writeFile(dir.file(nameOf(here, gone, "work")) + "/deeper/result.nii", "result");
    // The killed run had set the earlier copy aside and written part of its own.
    writeFile(dir.file(nameOf(here, gone, "kept-AP_undist.fmr")), "earlier copy");
    writeFile(dir.file("AP_undist.fmr"), "the killed run's copy");
    // What a running process and another machine made stays.
    const std::string running = dir.file(nameOf(here, processId(), "part"));
    const std::string elsewhere = dir.file(nameOf(here + "-2", gone, "part"));
    writeFile(running, "being written");
    writeFile(elsewhere, "being written there");
    writeFile(dir.file("AP.fmr"), "input");

    EXPECT_EQ(removeStaleTemporaries(dir.path()), 3);
    EXPECT_EQ(readWhole(dir.file("AP_undist.fmr")), "earlier copy");
    EXPECT_EQ(readWhole(dir.file("AP.fmr")), "input");
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists(elsewhere));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);
    EXPECT_EQ(removeStaleTemporaries(dir.file("missing")), 0);
}
#endif
