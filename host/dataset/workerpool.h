// SPDX-License-Identifier: GPL-3.0-or-later
// Separate processes run a few at a time: each job's standard output and error go to its
// log file, a failing job never stops the others.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "dataset/progress.h"

struct Job {
    std::string label;
    std::vector<std::string> command;  // command[0] is a path
    std::string logPath;
};

struct JobOutcome {
    int status = -1;  // exit status; 128 + the signal when one ended it; -1 never started
    double seconds = 0.0;
};

// Starts the program (a path, or a name looked up on PATH) with standard input from
// /dev/null and standard output and error into the file; -1 when it cannot be started.
pid_t startLogged(const std::vector<std::string>& command, const std::string& logPath);

// Runs every job, at most parallel at once, in the order given; calls finished (in this
// process) as each ends. Returns the outcomes in the order of the jobs. A job whose
// program cannot be started ends with status 127. Once a stop is requested no job starts,
// the running ones get SIGTERM and are waited for; the jobs never started keep status -1.
std::vector<JobOutcome> runJobs(const std::vector<Job>& jobs, int parallel, Progress& progress,
                                const std::function<void(std::size_t, const JobOutcome&)>& finished);
