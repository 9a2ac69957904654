// SPDX-License-Identifier: GPL-3.0-or-later
// The lock file of a run's outputs: one holder at a time, named to whoever is refused,
// gone with its holder, and free again when the holder left it behind.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "commands/outputlock.h"
#include "files/temporaryfiles.h"
#include "support/datasetfiles.h"

namespace fs = std::filesystem;

TEST(OutputLock, ASecondHolderIsRefusedWithTheFirstOneNamed)
{
    const ScratchDir dir;
    const std::string path = folderLockPath(dir.path());
    std::optional<OutputLock> first;
    first.emplace(path, "the output folder out");
    EXPECT_TRUE(first->held());
    try {
        OutputLock second(path, "the output folder out");
        FAIL() << "two holders of one lock";
    } catch (const OutputLocked& refused) {
        const std::string message = refused.what();
        EXPECT_NE(message.find("Another mindaro run is writing the output folder out: process " +
                               std::to_string(processId()) + " on this machine (" + machineName() + ")"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find(path), std::string::npos) << message;
    }
    first.reset();
    EXPECT_FALSE(fs::exists(path));
    const OutputLock again(path, "the output folder out");
    EXPECT_TRUE(again.held());
}

TEST(OutputLock, ALockFileLeftByAProcessThatIsGoneIsTakenOver)
{
    const ScratchDir dir;
    const std::string path = projectLockPath(dir.file("run1.fmr"));
    EXPECT_EQ(fs::path(path).filename(), ".run1.fmr.varno-lock");
    // A process takes the lock and dies without a word, as after SIGKILL.
    const pid_t child = fork();
    if (child == 0) {
        new OutputLock(path, "the copy of run1.fmr");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(fs::exists(path));
    EXPECT_NE(readWhole(path).find("pid " + std::to_string(child)), std::string::npos);
    const OutputLock taken(path, "the copy of run1.fmr");
    EXPECT_TRUE(taken.held());
    EXPECT_NE(readWhole(path).find("pid " + std::to_string(processId())), std::string::npos);
}

TEST(OutputLock, AFolderThatTakesNoFileLeavesTheRunUnlocked)
{
    const OutputLock lock("/proc/varno-no-such-folder/.varno-lock", "nothing");
    EXPECT_FALSE(lock.held());
}
