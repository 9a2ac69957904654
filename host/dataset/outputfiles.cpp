#include "dataset/outputfiles.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string temporaryBeside(const std::string& path)
{
    const fs::path target(path);
    std::string name(1, '.');
    name.append(target.filename().string()).append(processTag()).append(".tmp");
    return (target.parent_path() / name).string();
}

void createFolderOf(const std::string& path)
{
    const fs::path folder = fs::path(path).parent_path();
    std::error_code error;
    if (!folder.empty()) fs::create_directories(folder, error);
    if (error) throw std::runtime_error("Cannot create the folder " + folder.string() + ": " + error.message());
}

}  // namespace

std::string processTag()
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string tag(1, '.');
    tag.append(host).append("-").append(std::to_string(getpid()));
    return tag;
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
    createFolderOf(path);
    const std::string temporary = temporaryBeside(path);
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.flush();
        if (!file) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw std::runtime_error("Cannot write " + path);
        }
    }
    moveIntoPlace(temporary, path);
}

void moveIntoPlace(const std::string& from, const std::string& to)
{
    createFolderOf(to);
    std::error_code error;
    fs::rename(from, to, error);
    if (error) throw std::runtime_error("Cannot move " + from + " to " + to + ": " + error.message());
}

void copyIntoPlace(const std::string& from, const std::string& to)
{
    createFolderOf(to);
    const std::string temporary = temporaryBeside(to);
    std::error_code error;
    fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, error);
    if (error) throw std::runtime_error("Cannot copy " + from + " to " + to + ": " + error.message());
    moveIntoPlace(temporary, to);
}
