// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/machinefaults.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temporaryfolder.h"

extern char** environ;

namespace fs = std::filesystem;

BackgroundRun::BackgroundRun(const std::string& folder, const std::vector<std::string>& arguments)
{
    static int counter = 0;
    const std::string base = folder + "/.run" + std::to_string(++counter);
    out_ = base + ".out";
    err_ = base + ".err";
    std::vector<std::string> words{mindaroPath()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
}

BackgroundRun::~BackgroundRun()
{
    if (pid_ > 0 && !waited_) {
        kill(-pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void BackgroundRun::signal(int number) const
{
    kill(pid_, number);
}

ProcessResult BackgroundRun::wait()
{
    ProcessResult result;
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    waited_ = true;
    result.out = readWhole(out_);
    result.err = readWhole(err_);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool lockHeldBy(const std::string& lockFile, pid_t pid)
{
    return readWhole(lockFile).find("pid " + std::to_string(pid) + "\n") != std::string::npos;
}

std::vector<std::string> temporariesBelow(const std::string& folder)
{
    std::vector<std::string> found;
    std::error_code error;
    for (auto entry = fs::recursive_directory_iterator(folder, error); entry != fs::recursive_directory_iterator();
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const bool lock = name.size() >= 11 && name.compare(name.size() - 11, 11, ".varno-lock") == 0;
        if ((name.rfind(".varno-", 0) == 0 && !lock) || name == ".work")
            found.push_back(entry->path().lexically_relative(folder).string());
    }
    return found;
}

std::vector<pid_t> processesMentioning(const std::string& text)
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = readWhole(entry.path().string() + "/cmdline");
        for (char& c : line)
            if (c == '\0') c = ' ';
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid != getpid() && line.find(text) != std::string::npos) found.push_back(pid);
    }
    return found;
}

SmallDisk::SmallDisk(std::size_t bytes)
{
    const TemporaryFolder place;
    path_ = place.path() + "-disk";
    fs::create_directories(path_);
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        whyNot_ = std::string("cannot mount a tmpfs (") + std::strerror(errno) + "); the test needs root";
        fs::remove(path_);
    }
}

SmallDisk::~SmallDisk()
{
    if (!mounted_) return;
    umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    fs::remove(path_, ignored);
}

std::size_t SmallDisk::available() const
{
    struct statvfs info {};
    statvfs(path_.c_str(), &info);
    return static_cast<std::size_t>(info.f_bavail) * info.f_frsize;
}

void SmallDisk::leaveFree(std::size_t bytes) const
{
    const std::string filler = path_ + "/FILLER";
    std::error_code ignored;
    fs::remove(filler, ignored);
    const std::size_t free = available();
    if (free <= bytes) return;
    std::ofstream(filler, std::ios::binary) << std::string(free - bytes, '\0');
}
