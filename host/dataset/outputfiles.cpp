// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/outputfiles.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "files/stagedfile.h"
#include "files/temporaryfiles.h"
#include "files/diskspace.h"

namespace fs = std::filesystem;

namespace {

void createFolderOf(const std::string& path)
{
    const fs::path folder = fs::path(path).parent_path();
    std::error_code error;
    if (!folder.empty()) fs::create_directories(folder, error);
    if (error) throw std::runtime_error("Cannot create the folder " + folder.string() + ": " + error.message());
}

// ": the disk is full (...)" or ": " and the system's words.
std::string reason(const std::string& path, const std::error_code& error)
{
    const std::string full = diskFullNote(path, error.value());
    return full.empty() ? ": " + error.message() : full;
}

}  // namespace

std::string processTag()
{
    std::string tag(1, '.');
    return tag.append(machineName()).append("-").append(std::to_string(processId()));
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
    createFolderOf(path);
    StagedFile staged(path);
    {
        std::ofstream file(staged.writePath(), staged.writeMode() | std::ios::binary);
        file << text;
        file.close();
        if (!file) {
            const int error = errno;
            throw std::runtime_error("Cannot write " + path + diskFullNote(path, error));
        }
    }
    staged.commit();
}

void moveIntoPlace(const std::string& from, const std::string& to)
{
    createFolderOf(to);
    std::error_code error;
    fs::rename(from, to, error);
    if (error) throw std::runtime_error("Cannot move " + from + " to " + to + reason(to, error));
}

void copyIntoPlace(const std::string& from, const std::string& to)
{
    createFolderOf(to);
    StagedFile staged(to);
    std::error_code error;
    fs::copy_file(from, staged.writePath(), fs::copy_options::overwrite_existing, error);
    if (error) throw std::runtime_error("Cannot copy " + from + " to " + to + reason(to, error));
    staged.commit();
}
