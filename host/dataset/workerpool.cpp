// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/workerpool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/stoprequest.h"

extern char** environ;

namespace {

struct Running {
    std::size_t job;
    pid_t pid;
    std::chrono::steady_clock::time_point start;
};

}  // namespace

pid_t startLogged(const std::vector<std::string>& command, const std::string& logPath)
{
    std::vector<std::string> words = command;
    std::vector<char*> arguments;
    for (std::string& word : words) arguments.push_back(word.data());
    arguments.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

std::vector<JobOutcome> runJobs(const std::vector<Job>& jobs, int parallel, Progress& progress,
                                const std::function<void(std::size_t, const JobOutcome&)>& finished)
{
    std::vector<JobOutcome> outcomes(jobs.size());
    std::vector<Running> running;
    std::size_t next = 0;
    const auto finish = [&](std::size_t job, int status, std::chrono::steady_clock::time_point start) {
        outcomes[job].status = status;
        outcomes[job].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        finished(job, outcomes[job]);
    };
    bool stopping = false;
    while ((next < jobs.size() && !stopping) || !running.empty()) {
        if (!stopping && stopSignal() != 0) {
            // No job starts any more; those running are asked to stop as this process was,
            // and are waited for, so that none is left behind.
            stopping = true;
            for (const Running& entry : running) kill(entry.pid, SIGTERM);
        }
        while (!stopping && next < jobs.size() && static_cast<int>(running.size()) < std::max(parallel, 1)) {
            const auto start = std::chrono::steady_clock::now();
            progress.started(jobs[next].label);
            const pid_t pid = startLogged(jobs[next].command, jobs[next].logPath);
            if (pid < 0)
                finish(next, 127, start);
            else
                running.push_back({next, pid, start});
            ++next;
        }
        bool reaped = false;
        for (auto entry = running.begin(); entry != running.end();) {
            int wait = 0;
            if (waitpid(entry->pid, &wait, WNOHANG) == entry->pid) {
                finish(entry->job, WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait), entry->start);
                entry = running.erase(entry);
                reaped = true;
            } else {
                ++entry;
            }
        }
        if (!reaped && !running.empty()) {
            progress.tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return outcomes;
}
