// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/outputtransaction.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace {

std::string randomSuffix()
{
    static std::mt19937_64 generator{std::random_device{}()};
    const unsigned long long value = generator();
    const char* const digits = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

// Makes the folder and the parents it lacks, recording each one made, outermost first.
void makeFolders(const fs::path& folder, std::vector<fs::path>& created)
{
    std::error_code error;
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    std::reverse(missing.begin(), missing.end());
    for (const fs::path& at : missing) {
        if (!fs::create_directory(at, error) && error)
            throw std::runtime_error("Cannot make the folder " + at.string() + ": " + error.message());
        created.push_back(at);
    }
    if (!fs::is_directory(folder, error)) throw std::runtime_error(folder.string() + " is a file, not a folder");
}

}  // namespace

OutputTransaction::OutputTransaction(fs::path folder) : folder_(std::move(folder))
{
    makeFolders(folder_, createdFolders_);
    work_ = folder_ / (".varno-work-" + randomSuffix());
    std::error_code error;
    if (!fs::create_directory(work_, error)) {
        for (auto made = createdFolders_.rbegin(); made != createdFolders_.rend(); ++made) fs::remove(*made, error);
        throw std::runtime_error("Cannot make a folder in " + folder_.string() + ": " + error.message());
    }
}

OutputTransaction::~OutputTransaction()
{
    std::error_code ignored;
    if (committed_) {
        fs::remove_all(work_, ignored);
        return;
    }
    for (const auto& [path, kept] : inPlace_) {
        fs::remove(path, ignored);
        if (!kept.empty()) fs::rename(kept, path, ignored);
    }
    fs::remove_all(work_, ignored);
    for (auto folder = createdFolders_.rbegin(); folder != createdFolders_.rend(); ++folder)
        fs::remove(*folder, ignored);  // only an empty folder goes
}

void OutputTransaction::makeFolder(const fs::path& folder)
{
    makeFolders(folder, createdFolders_);
}

void OutputTransaction::writesInPlace(const std::string& path)
{
    std::error_code error;
    fs::path kept;
    if (fs::exists(fs::symlink_status(path, error))) {
        kept = work_ / "kept" / std::to_string(inPlace_.size());
        fs::create_directories(kept.parent_path(), error);
        fs::rename(path, kept, error);
        if (error) throw std::runtime_error("Cannot set " + path + " aside before writing it again: " + error.message());
    }
    inPlace_.emplace_back(path, kept);
}

void OutputTransaction::commit()
{
    std::vector<fs::path> results;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(work_, error))
        if (entry.is_regular_file(error)) results.push_back(entry.path().filename());
    std::sort(results.begin(), results.end());
    std::vector<fs::path> moved;
    for (const fs::path& name : results) {
        fs::rename(work_ / name, folder_ / name, error);
        if (error) {
            std::error_code ignored;
            for (const fs::path& done : moved) fs::remove(folder_ / done, ignored);
            throw std::runtime_error("Cannot put " + (folder_ / name).string() + " in place: " + error.message());
        }
        moved.push_back(name);
    }
    committed_ = true;
}
