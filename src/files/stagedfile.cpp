// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/stagedfile.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <utility>

#include "files/fileerrors.h"

namespace fs = std::filesystem;

namespace {

// A name in the folder of path that no other writer picks: a random part, and a counter
// for names drawn in one process.
std::string temporaryName(const std::string& path)
{
    static std::mt19937_64 generator{std::random_device{}()};
    static unsigned long counter = 0;
    const unsigned long long random = generator() ^ ++counter;
    const char* const digits = "0123456789abcdef";
    std::string suffix;
    for (int shift = 60; shift >= 0; shift -= 4) suffix += digits[(random >> shift) & 0xF];
    return (fs::path(path).parent_path() / (".varno-" + suffix + ".part")).string();
}

}  // namespace

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
    writePath_ = temporaryName(path_);
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
