// SPDX-License-Identifier: GPL-3.0-or-later
// Output files written under a temporary name beside them and renamed into place once
// complete: nobody sees a file half written, and a write that fails leaves the previous
// file (or none) behind instead of a fragment.
//
//   StagedFile copy(path);
//   std::ofstream out(copy.writePath(), copy.writeMode() | std::ios::binary);
//   ...                          // an error thrown here removes the temporary file
//   out.close();
//   copy.commit();               // the file appears under path
#pragma once

#include <ios>
#include <string>

class StagedFile {
public:
    // Makes the temporary file, empty; throws WriteFileError when the disk is full. A path
    // that exists but is no regular file (a folder, a device, a symbolic link) is written
    // in place, as is one whose folder takes no new file: opening a folder then fails under
    // its own name, a device or a link's target receives the bytes, and a writable file in
    // a read-only folder is rewritten.
    explicit StagedFile(std::string path);
    // Removes the temporary file unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& path() const { return path_; }
    // Where to write: the temporary name, or the path itself when written in place.
    const std::string& writePath() const { return writePath_; }
    // How to open writePath() for writing: the temporary file exists and is empty, so it is
    // opened without truncating it (on ext4, a file truncated on opening has its data
    // forced to disk when it is closed, which made the close of a 50 MB project wait 20 ms
    // or more); a file written in place is truncated.
    std::ios::openmode writeMode() const;
    // Renames the temporary file over the path; throws WriteFileError when that fails.
    void commit();

private:
    std::string path_;
    std::string writePath_;
    bool pending_ = false;
};
