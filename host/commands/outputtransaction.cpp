// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/outputtransaction.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "files/temporaryfiles.h"
#include "files/diskspace.h"

namespace fs = std::filesystem;

namespace {

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

// Takes back the folders made, innermost first; only empty ones go.
void removeFolders(const std::vector<fs::path>& created)
{
    std::error_code ignored;
    for (auto folder = created.rbegin(); folder != created.rend(); ++folder) fs::remove(*folder, ignored);
}

}  // namespace

OutputTransaction::OutputTransaction(fs::path folder) : OutputTransaction(std::move(folder), std::string())
{
}

OutputTransaction::OutputTransaction(fs::path folder, const std::string& output) : folder_(std::move(folder))
{
    makeFolders(folder_, createdFolders_);
    try {
        if (output.empty())
            lock_.emplace(folderLockPath(folder_.string()), "the output folder " + folder_.string());
        else
            lock_.emplace(projectLockPath(output), output);
    } catch (...) {
        removeFolders(createdFolders_);
        throw;
    }
    removeStaleTemporaries(folder_.string());
    work_ = temporaryPath(folder_.string(), "work");
    std::error_code error;
    if (!fs::create_directory(work_, error)) {
        lock_.reset();
        removeFolders(createdFolders_);
        throw std::runtime_error("Cannot make a folder in " + folder_.string() + ": " + error.message());
    }
}

OutputTransaction::~OutputTransaction()
{
    std::error_code ignored;
    if (!committed_) inPlace_.putBack();
    fs::remove_all(work_, ignored);
    lock_.reset();
    if (!committed_) removeFolders(createdFolders_);
}

void OutputTransaction::makeFolder(const fs::path& folder)
{
    makeFolders(folder, createdFolders_);
    removeStaleTemporaries(folder.string());
}

void OutputTransaction::writesInPlace(const std::string& path)
{
    inPlace_.add(path);
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
            const std::string full = diskFullNote((folder_ / name).string(), error.value());
            throw std::runtime_error("Cannot put " + (folder_ / name).string() + " in place" +
                                     (full.empty() ? ": " + error.message() : full));
        }
        moved.push_back(name);
    }
    inPlace_.finish();
    committed_ = true;
}
