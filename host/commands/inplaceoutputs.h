// SPDX-License-Identifier: GPL-3.0-or-later
// Files that others write in place (the plug-in's maps and undistorted copies beside their
// projects), put back as they were unless the command finishes: an earlier version is set
// aside beside its file under a temporary name and renamed back. A run that is killed
// leaves its set-aside versions behind; the next run that writes into the folder puts
// them back (removeStaleTemporaries).
#pragma once

#include <string>
#include <vector>

class InPlaceOutputs {
public:
    // What goes when the command fails. EveryNewFile: whatever the run wrote, so that the
    // files are as they were. NewFilesBesideEarlierOnes: the run's new files go only where
    // an earlier run's files come back, so that the two never mix; a first run's failure
    // leaves what it completed.
    enum class Undo { EveryNewFile, NewFilesBesideEarlierOnes };

    explicit InPlaceOutputs(Undo undo = Undo::EveryNewFile) : undo_(undo) {}
    // Puts every file back as it was, unless finished.
    ~InPlaceOutputs();
    InPlaceOutputs(const InPlaceOutputs&) = delete;
    InPlaceOutputs& operator=(const InPlaceOutputs&) = delete;

    // A file about to be written in place; a regular file there now is set aside. One that
    // cannot be moved (a read-only folder) is left to the writer, which meets the same
    // refusal, and is never removed.
    void add(const std::string& path);
    // Keeps what was written and removes the earlier versions.
    void finish();
    // Puts every file back as it was now, rather than at destruction.
    void putBack();

private:
    struct Entry {
        std::string path;
        std::string kept;       // where its earlier version was set aside; empty: none
        bool untouched = false; // there, and could not be set aside
    };
    Undo undo_;
    std::vector<Entry> files_;
    bool finished_ = false;
};
