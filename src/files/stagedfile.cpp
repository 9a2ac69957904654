// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/stagedfile.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <utility>

#include "files/diskspace.h"
#include "files/fileerrors.h"
#include "files/temporaryfiles.h"

namespace fs = std::filesystem;

StagedFile::StagedFile(std::string path) : path_(std::move(path))
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path_, error);
    const bool inPlace = fs::exists(status) && !fs::is_regular_file(status);
    if (inPlace) {
        writePath_ = path_;
        return;
    }
    // A folder where no new file can be made may still hold a file that can be written:
    // then, as where no temporary file can be made at all, the file is written in place.
    // A full disk is no such folder: writing in place there would lose the file.
    writePath_ = temporaryPath(fs::path(path_).parent_path().string(), "part");
    if (!std::ofstream(writePath_, std::ios::binary).is_open()) {
        const int failure = errno;
        if (const std::string full = diskFullNote(path_, failure); !full.empty())
            throw WriteFileError("Cannot write " + path_ + full);
        writePath_ = path_;
        return;
    }
    pending_ = true;
}

StagedFile::~StagedFile()
{
    if (!pending_) return;
    std::error_code ignored;
    fs::remove(writePath_, ignored);
}

std::ios::openmode StagedFile::writeMode() const
{
    return pending_ ? std::ios::in | std::ios::out : std::ios::out | std::ios::trunc;
}

void StagedFile::commit()
{
    if (!pending_) return;
    std::error_code error;
    fs::rename(writePath_, path_, error);
    if (error) {
        const std::string full = diskFullNote(path_, error.value());
        throw WriteFileError("Cannot put " + path_ + " in place" + (full.empty() ? ": " + error.message() : full));
    }
    pending_ = false;
}
