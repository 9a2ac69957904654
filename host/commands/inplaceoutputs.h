// SPDX-License-Identifier: GPL-3.0-or-later
// Files that others write in place (the plug-in's maps and undistorted copies beside their
// projects), put back as they were unless the command finishes: an earlier version is set
// aside beside its file under a temporary name and renamed back, a file that was not
// there is removed. A run that is killed leaves its set-aside versions behind; the next
// run that writes into the folder puts them back (removeStaleTemporaries).
#pragma once

#include <string>
#include <utility>
#include <vector>

class InPlaceOutputs {
public:
    InPlaceOutputs() = default;
    // Puts every file back as it was, unless finished.
    ~InPlaceOutputs();
    InPlaceOutputs(const InPlaceOutputs&) = delete;
    InPlaceOutputs& operator=(const InPlaceOutputs&) = delete;

    // A file about to be written in place; what is there now is set aside. Throws
    // std::runtime_error naming the file when it cannot be.
    void add(const std::string& path);
    // Keeps what was written and removes the earlier versions.
    void finish();
    // Puts every file back as it was now, rather than at destruction.
    void putBack();

private:
    // Each file, and where its earlier version was set aside (empty: there was none).
    std::vector<std::pair<std::string, std::string>> files_;
    bool finished_ = false;
};
