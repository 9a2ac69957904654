// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the tests of the machine's faults: runs of the built mindaro started in the
// background (to be signalled or raced), and a small disk of its own (a tmpfs, mounted
// where the test runs as root) to fill up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/runprocess.h"

// A mindaro run in the background, in its own process group, standard output and error
// kept in files of the folder.
class BackgroundRun {
public:
    BackgroundRun(const std::string& folder, const std::vector<std::string>& arguments);
    ~BackgroundRun();  // kills the group when still running
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const;
    // Waits for the end and returns what the run said.
    ProcessResult wait();

private:
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    bool waited_ = false;
};

// Polls the condition every few milliseconds; false when the time ran out first.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(60));

// Whether the lock file names the process as its holder. A lock file exists a moment before
// it is locked, and is filled in only once it is: waiting for its text, not for the file,
// leaves no window in which a second run could still take the lock first.
bool lockHeldBy(const std::string& lockFile, pid_t pid);

// Paths below the folder (relative) whose names start with ".varno-" but are no lock file:
// temporaries of this system that a run left.
std::vector<std::string> temporariesBelow(const std::string& folder);

// Processes whose command line holds the text, this test's own excepted.
std::vector<pid_t> processesMentioning(const std::string& text);

// A tmpfs of the given size, mounted for the test's lifetime; mounted() is false (and
// whyNot() says why) where the system does not allow it.
class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return whyNot_; }
    const std::string& path() const { return path_; }
    // Fills the disk (the file FILLER) so that about bytes stay free.
    void leaveFree(std::size_t bytes) const;
    std::size_t available() const;

private:
    std::string path_;
    bool mounted_ = false;
    std::string whyNot_;
};
