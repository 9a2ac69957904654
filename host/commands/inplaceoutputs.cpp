// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/inplaceoutputs.h"

#include <filesystem>
#include <stdexcept>

#include "files/temporaryfiles.h"

namespace fs = std::filesystem;

InPlaceOutputs::~InPlaceOutputs()
{
    putBack();
}

void InPlaceOutputs::putBack()
{
    if (finished_) return;
    for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
        std::error_code ignored;
        if (file->second.empty())
            fs::remove(file->first, ignored);
        else
            fs::rename(file->second, file->first, ignored);
    }
    files_.clear();
}

void InPlaceOutputs::add(const std::string& path)
{
    for (const auto& [known, kept] : files_)
        if (known == path) return;
    std::error_code error;
    std::string kept;
    if (fs::exists(fs::symlink_status(path, error))) {
        const fs::path file(path);
        kept = temporaryPath(file.parent_path().string(), std::string("kept-").append(file.filename().string()));
        fs::rename(path, kept, error);
        if (error) throw std::runtime_error("Cannot set " + path + " aside before writing it again: " + error.message());
    }
    files_.emplace_back(path, kept);
}

void InPlaceOutputs::finish()
{
    finished_ = true;
    for (const auto& [path, kept] : files_) {
        std::error_code ignored;
        if (!kept.empty()) fs::remove(kept, ignored);
    }
}
