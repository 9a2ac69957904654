// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/inplaceoutputs.h"

#include <algorithm>
#include <filesystem>

#include "files/temporaryfiles.h"

namespace fs = std::filesystem;

InPlaceOutputs::~InPlaceOutputs()
{
    putBack();
}

void InPlaceOutputs::putBack()
{
    if (finished_) return;
    const bool earlier = std::any_of(files_.begin(), files_.end(), [](const Entry& entry) { return !entry.kept.empty(); });
    const bool removeNew = undo_ == Undo::EveryNewFile || earlier;
    for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
        std::error_code ignored;
        if (!file->kept.empty())
            fs::rename(file->kept, file->path, ignored);
        else if (!file->untouched && removeNew)
            fs::remove(file->path, ignored);
    }
    files_.clear();
}

void InPlaceOutputs::add(const std::string& path)
{
    for (const Entry& entry : files_)
        if (entry.path == path) return;
    std::error_code error;
    Entry entry{path, "", false};
    // Only a regular file is set aside: a folder, a device or a link in the way is left to
    // the writer, which writes through it or fails on it as it would without.
    const fs::file_status status = fs::symlink_status(path, error);
    if (fs::is_regular_file(status)) {
        const fs::path file(path);
        const std::string kept = temporaryPath(file.parent_path().string(), std::string("kept-").append(file.filename().string()));
        fs::rename(path, kept, error);
        if (error)
            entry.untouched = true;
        else
            entry.kept = kept;
    } else if (fs::exists(status)) {
        entry.untouched = true;
    }
    files_.push_back(entry);
}

void InPlaceOutputs::finish()
{
    finished_ = true;
    for (const Entry& entry : files_) {
        std::error_code ignored;
        if (!entry.kept.empty()) fs::remove(entry.kept, ignored);
    }
}
