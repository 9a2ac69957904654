#include "support/runprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

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
                         const std::vector<std::string>& environment)
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t child = 0;
    const int spawned = posix_spawn(&child, arguments[0].c_str(), &actions, nullptr, pointers(arguments).data(),
                                    pointers(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + command[0]);

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
