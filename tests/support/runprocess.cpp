// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/runprocess.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
const unsigned long long kHostileAddressSpace = 0;
#else
const unsigned long long kHostileAddressSpace = 4ULL << 30;
#endif

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& command, const std::string& folder,
                         const std::vector<std::string>& environment, unsigned long long addressSpace)
{
    const TemporaryFolder capture;
    const std::string outPath = capture.path() + "/out";
    const std::string errPath = capture.path() + "/err";

    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        bool replaced = false;
        for (const std::string& given : environment) replaced = replaced || given.rfind(name + "=", 0) == 0;
        if (!replaced) variables.push_back(variable);
    }
    std::vector<std::string> arguments = command;
    const std::vector<char*> argumentPointers = pointers(arguments);
    const std::vector<char*> variablePointers = pointers(variables);

    // Between fork and exec only async-signal-safe calls.
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("cannot start " + command[0]);
    if (child == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            dup2(err, STDERR_FILENO) < 0 || chdir(folder.c_str()) != 0)
            _exit(127);
        if (addressSpace > 0) {
            const rlimit limit{addressSpace, addressSpace};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        execve(argumentPointers[0], argumentPointers.data(), variablePointers.data());
        _exit(127);
    }

    int wait = 0;
    waitpid(child, &wait, 0);
    ProcessResult result;
    result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
    result.out = readWhole(outPath);
    result.err = readWhole(errPath);
    return result;
}

std::string mindaroPath()
{
    return VARNO_BIN_DIR "/mindaro";
}

ProcessResult mindaroIn(const std::string& folder, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess(command, folder, environment);
}
