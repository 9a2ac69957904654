// SPDX-License-Identifier: GPL-3.0-or-later
// A lock file that keeps two runs from writing the same outputs at once. It holds the
// process id, the machine and the command of its holder, is taken atomically (an
// exclusive lock of the operating system on the open file, which ends with the process,
// however it ends), and is removed on every exit. A lock file left by a process that is
// gone is free and taken over.
#pragma once

#include <stdexcept>
#include <string>

// Another running process holds the lock; the message names it.
class OutputLocked : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class OutputLock {
public:
    // Takes the lock file at path for the outputs described by what ("the output folder
    // out", "the outputs of run1.fmr"). Throws OutputLocked naming the holder when another
    // process holds it. Where no lock file can be made (a folder that takes no new file)
    // the run goes on unlocked: its writes will meet the same refusal.
    OutputLock(std::string path, const std::string& what);
    ~OutputLock();
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;

    const std::string& path() const { return path_; }
    bool held() const { return handle_ != kNone; }

private:
    static constexpr long long kNone = -1;
    std::string path_;
    long long handle_ = kNone;
};

// The lock file of a folder's outputs: FOLDER/.varno-lock.
std::string folderLockPath(const std::string& folder);
// The lock file of what is written beside a project (its maps and undistorted copy):
// .NAME.varno-lock in its folder.
std::string projectLockPath(const std::string& project);
