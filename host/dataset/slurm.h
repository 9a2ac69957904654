// SPDX-License-Identifier: GPL-3.0-or-later
// Submission of a dataset run to a SLURM cluster: one job array with a task per
// participant, each running the participant level for its label, and a group job that
// starts when the array has ended, whatever its tasks' outcome (afterany).
#pragma once

#include <string>
#include <vector>

struct SlurmRequest {
    std::string outputFolder;                      // absolute; scripts and logs go to OUTPUT/.slurm
    std::vector<std::string> subjects;             // labels
    std::vector<std::string> participantCommand;   // the task's command; its label and --jobs follow
    std::vector<std::string> groupCommand;
    std::vector<std::string> extraArguments;       // for both sbatch calls, from --slurm-args
    bool jobsGiven = false;                        // else each task runs SLURM_CPUS_PER_TASK items at a time
};

struct SlurmSubmission {
    std::string arrayJob;
    std::string groupJob;
};

// Splits --slurm-args at white space; single and double quotes group words. Throws
// std::runtime_error for an unclosed quote.
std::vector<std::string> splitArguments(const std::string& text);

// "'word'" with single quotes inside escaped, for a POSIX shell.
std::string shellQuoted(const std::string& word);

// Writes the scripts and runs sbatch twice; throws std::runtime_error with sbatch's
// message when a submission fails or sbatch is missing.
SlurmSubmission submitToSlurm(const SlurmRequest& request);
