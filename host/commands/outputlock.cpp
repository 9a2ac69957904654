// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/outputlock.h"

#include <chrono>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "files/temporaryfiles.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string holderText()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char since[32] = {};
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::ostringstream text;
    text << "pid " << processId() << "\nhost " << machineName() << "\nsince " << since << "\n";
    return text.str();
}

// "process 4242 on node7, running since 2024-05-01 10:00:00", from a holder's lock file.
std::string describeHolder(const std::string& path)
{
    std::ifstream file(path);
    std::string key;
    std::string pid;
    std::string host;
    std::string since;
    while (file >> key) {
        std::string value;
        std::getline(file >> std::ws, value);
        if (key == "pid") pid = value;
        if (key == "host") host = value;
        if (key == "since") since = value;
    }
    if (pid.empty()) return "another process (it is just taking the lock)";
    std::string text = "process " + pid + " on " + (host == machineName() ? "this machine (" + host + ")" : host);
    if (!since.empty()) text += ", running since " + since;
    return text;
}

OutputLocked lockedError(const std::string& path, const std::string& what)
{
    return OutputLocked("Another mindaro run is writing " + what + ": " + describeHolder(path) +
                        ". Wait for it to finish or stop it, then run again (its lock file is " + path + ").");
}

}  // namespace

#if defined(_WIN32)

OutputLock::OutputLock(std::string path, const std::string& what) : path_(std::move(path))
{
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    // The byte locked lies beyond the text, which others read to name the holder.
    OVERLAPPED at{};
    at.Offset = 1u << 30;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        CloseHandle(file);
        throw lockedError(path_, what);
    }
    const std::string text = holderText();
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    handle_ = reinterpret_cast<long long>(file);
}

OutputLock::~OutputLock()
{
    if (handle_ == kNone) return;
    DeleteFileA(path_.c_str());
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

#else

OutputLock::OutputLock(std::string path, const std::string& what) : path_(std::move(path))
{
    for (;;) {
        const int file = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0) return;
        if (flock(file, LOCK_EX | LOCK_NB) != 0) {
            const bool taken = errno == EWOULDBLOCK;
            close(file);
            if (taken) throw lockedError(path_, what);
            return;  // a file system without locks
        }
        // The holder before may have removed the file between its opening and the lock:
        // then the lock is on a file that nobody else sees, and the taking starts again.
        struct stat opened {};
        struct stat named {};
        if (fstat(file, &opened) != 0 || stat(path_.c_str(), &named) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev) {
            close(file);
            continue;
        }
        const std::string text = holderText();
        if (ftruncate(file, 0) == 0) {
            [[maybe_unused]] const ssize_t written = write(file, text.data(), text.size());
        }
        handle_ = file;
        return;
    }
}

OutputLock::~OutputLock()
{
    if (handle_ == kNone) return;
    unlink(path_.c_str());
    close(static_cast<int>(handle_));
}

#endif

std::string folderLockPath(const std::string& folder)
{
    return (fs::path(folder) / ".varno-lock").string();
}

std::string projectLockPath(const std::string& project)
{
    const fs::path path(project);
    std::string name(1, '.');
    name.append(path.filename().string()).append(".varno-lock");
    return (path.parent_path() / name).string();
}
