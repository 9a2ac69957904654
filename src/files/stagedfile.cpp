// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/stagedfile.h"

#include <filesystem>
#include <fstream>
#include <utility>

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
    writePath_ = temporaryPath(fs::path(path_).parent_path().string(), "part");
    if (!std::ofstream(writePath_, std::ios::binary).is_open()) {
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

void StagedFile::commit()
{
    if (!pending_) return;
    std::error_code error;
    fs::rename(writePath_, path_, error);
    if (error) throw WriteFileError("Cannot put " + path_ + " in place: " + error.message());
    pending_ = false;
}
