// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/slurm.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "dataset/outputfiles.h"
#include "dataset/workerpool.h"

namespace fs = std::filesystem;

namespace {

struct Captured {
    int status = -1;
    std::string out;
};

// Runs a program found on PATH and returns its exit status and its output (standard
// output and error together).
Captured capture(const std::vector<std::string>& command, const std::string& scratch)
{
    const pid_t pid = startLogged(command, scratch);
    if (pid < 0)
        throw std::runtime_error(command[0] + " cannot be started; --slurm needs the SLURM client commands on the PATH.");
    int wait = 0;
    waitpid(pid, &wait, 0);
    Captured result;
    result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
    std::ifstream file(scratch);
    result.out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    fs::remove(scratch);
    return result;
}

std::string submit(std::vector<std::string> command, const std::string& scratch)
{
    const Captured result = capture(command, scratch);
    // --parsable prints "JOBID" or "JOBID;CLUSTER".
    std::string id = result.out.substr(0, result.out.find_first_of(";\n"));
    if (result.status != 0 || id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
        std::string line;
        for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
        throw std::runtime_error(std::string("sbatch failed (exit status ")
                                     .append(std::to_string(result.status))
                                     .append("): ")
                                     .append(line)
                                     .append("\n")
                                     .append(result.out));
    }
    return id;
}

std::string commandLine(const std::vector<std::string>& command)
{
    std::string line;
    for (const std::string& word : command) {
        if (!line.empty()) line += ' ';
        line += shellQuoted(word);
    }
    return line;
}

}  // namespace

std::vector<std::string> splitArguments(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (const char c : text) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) throw std::runtime_error("--slurm-args has an unclosed quote: " + text);
    if (inWord) words.push_back(word);
    return words;
}

std::string shellQuoted(const std::string& word)
{
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

SlurmSubmission submitToSlurm(const SlurmRequest& request)
{
    if (request.subjects.empty()) throw std::runtime_error("No participant to submit.");
    const fs::path folder = fs::path(request.outputFolder) / ".slurm";
    std::string list;
    for (const std::string& subject : request.subjects) list += subject + "\n";
    const std::string subjects = (folder / "participants.txt").string();
    writeFileAtomically(subjects, list);
    const std::string jobs = request.jobsGiven ? "" : " --jobs \"${SLURM_CPUS_PER_TASK:-1}\"";
    const std::string participantScript = (folder / "participant.sh").string();
    writeFileAtomically(participantScript,
                        "#!/bin/sh\n# One participant of the dataset run per task of the array.\nset -e\n"
                        "label=$(sed -n \"$((SLURM_ARRAY_TASK_ID + 1))p\" " + shellQuoted(subjects) + ")\n"
                        "exec " + commandLine(request.participantCommand) + " --participant-label \"$label\"" + jobs + "\n");
    const std::string groupScript = (folder / "group.sh").string();
    writeFileAtomically(groupScript, "#!/bin/sh\n# The group level, once the array has ended.\nexec " +
                                         commandLine(request.groupCommand) + "\n");
    fs::permissions(participantScript, fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add);
    fs::permissions(groupScript, fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add);

    const std::string scratch = (folder / ("sbatch" + processTag() + ".out")).string();
    std::vector<std::string> array{"sbatch", "--parsable", "--job-name=varno-participant",
                                   std::string("--array=0-").append(std::to_string(request.subjects.size() - 1)),
                                   "--output=" + (folder / "participant-%A_%a.out").string()};
    array.insert(array.end(), request.extraArguments.begin(), request.extraArguments.end());
    array.push_back(participantScript);
    SlurmSubmission submission;
    submission.arrayJob = submit(array, scratch);
    std::vector<std::string> group{"sbatch", "--parsable", "--job-name=varno-group",
                                   "--dependency=afterany:" + submission.arrayJob,
                                   "--output=" + (folder / "group-%j.out").string()};
    group.insert(group.end(), request.extraArguments.begin(), request.extraArguments.end());
    group.push_back(groupScript);
    submission.groupJob = submit(group, scratch);
    return submission;
}
