// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/temporaryfiles.h"

#include <atomic>
#include <cctype>
#include <filesystem>
#include <random>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = ".varno-";

std::string hexDigits(unsigned long long value)
{
    const char* const digits = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

// Names of machines keep only characters that are safe in file names.
std::string fileSafe(std::string text)
{
    for (char& c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')) c = '_';
    return text;
}

}  // namespace

std::string machineName()
{
#if defined(_WIN32)
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || size == 0) return "localhost";
    return fileSafe(name);
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return fileSafe(name);
#endif
}

long processId()
{
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

bool processRunning(long pid)
{
    if (pid <= 0) return true;
#if defined(_WIN32)
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
#endif
}

std::string temporaryPath(const std::string& folder, const std::string& kind)
{
    static std::mt19937_64 generator{std::random_device{}()};
    static std::atomic<unsigned long> counter{0};
    const unsigned long long random = generator() ^ ++counter;
    const std::string name = kPrefix + machineName() + "-" + std::to_string(processId()) + "-" + hexDigits(random) +
                             "." + kind;
    return (fs::path(folder) / name).string();
}

std::optional<TemporaryName> parseTemporaryName(const std::string& name)
{
    const std::string prefix = kPrefix;
    if (name.rfind(prefix, 0) != 0) return std::nullopt;
    // MACHINE-PID-RANDOM.KIND[-REST]: the machine's name may hold '-' itself, so the first
    // "-PID-RANDOM." (RANDOM 16 hexadecimal digits) ends it.
    const std::size_t at = prefix.size();
    for (std::size_t dash = name.find('-', at); dash != std::string::npos; dash = name.find('-', dash + 1)) {
        const std::size_t second = name.find('-', dash + 1);
        if (second == std::string::npos) break;
        const std::string pid = name.substr(dash + 1, second - dash - 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9) continue;
        if (name.size() < second + 18 || name[second + 17] != '.') continue;
        const std::string random = name.substr(second + 1, 16);
        if (random.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
        TemporaryName parts;
        parts.machine = name.substr(at, dash - at);
        parts.pid = std::stol(pid);
        const std::string tail = name.substr(second + 18);
        const std::size_t restAt = tail.find('-');
        parts.kind = tail.substr(0, restAt);
        if (restAt != std::string::npos) parts.rest = tail.substr(restAt + 1);
        if (parts.machine.empty() || parts.kind.empty()) return std::nullopt;
        return parts;
    }
    return std::nullopt;
}

bool isStaleTemporary(const std::string& name)
{
    const std::optional<TemporaryName> parts = parseTemporaryName(name);
    return parts && parts->machine == machineName() && !processRunning(parts->pid);
}

int removeStaleTemporaries(const std::string& folder)
{
    int count = 0;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder.empty() ? "." : folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!isStaleTemporary(name)) continue;
        const TemporaryName parts = *parseTemporaryName(name);
        std::error_code failed;
        if (parts.kind == "kept" && !parts.rest.empty() && entry.is_regular_file(failed)) {
            fs::rename(entry.path(), entry.path().parent_path() / parts.rest, failed);
        } else if (parts.kind == "part" && entry.is_regular_file(failed)) {
            fs::remove(entry.path(), failed);
        } else if (parts.kind == "work" && entry.is_directory(failed)) {
            fs::remove_all(entry.path(), failed);
        } else {
            continue;
        }
        if (!failed) ++count;
    }
    return count;
}
