// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/participant.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "cli/stopsignals.h"
#include "commands/outputlock.h"
#include "core/stoprequest.h"
#include "dataset/discovery.h"
#include "dataset/outputfiles.h"
#include "dataset/progress.h"
#include "dataset/subjectpage.h"
#include "dataset/subjectsummary.h"
#include "dataset/workerpool.h"
#include "files/temporaryfiles.h"

namespace fs = std::filesystem;

namespace {

// The work folder goes at the end of a run unless another run still uses it.
struct FolderRemovedWhenEmpty {
    fs::path folder;
    ~FolderRemovedWhenEmpty()
    {
        std::error_code ignored;
        fs::remove(folder, ignored);
    }
};

// An item is done when its record and every output it lists are there.
bool itemDone(const std::string& outputFolder, const WorkItem& item)
{
    const std::vector<std::string> outputs = item.outputs();
    return std::all_of(outputs.begin(), outputs.end(),
                       [&](const std::string& output) { return fs::is_regular_file(fs::path(outputFolder) / output); });
}

bool anyOutputThere(const std::string& outputFolder, const WorkItem& item)
{
    const std::vector<std::string> outputs = item.outputs();
    return std::any_of(outputs.begin(), outputs.end(),
                       [&](const std::string& output) { return fs::exists(fs::path(outputFolder) / output); });
}

void removeStaleWork(const std::string& outputFolder, const WorkItem& item)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(outputFolder) / ".work", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(item.name + ".", 0) == 0) fs::remove_all(entry.path(), error);
    }
}

std::string subjectLog(const DatasetRun& run, const std::string& subject, const std::vector<SessionSummary>& sessions)
{
    std::ostringstream log;
    for (const SessionSummary& session : sessions) {
        log << sessionPrefix(subject, session.plan.session) << ": " << session.plan.inputs.size() << " images, "
            << session.plan.items.size() << " work items\n";
        for (const WorkItem& item : session.plan.items) {
            log << "  " << item.name << ": " << item.method << " " << item.first.relative << " ("
                << item.first.phaseEncodingDirection << ") with " << item.second.relative << " ("
                << item.second.phaseEncodingDirection << ")\n";
            for (const ItemTarget& target : item.targets)
                log << "    corrects " << target.image.relative << " (" << target.why << ")\n";
        }
        for (const DatasetFinding& problem : session.plan.problems) log << "  PROBLEM " << problem.file << ": " << problem.reason << '\n';
        for (const DatasetFinding& note : session.plan.notes) log << "  note " << note.file << ": " << note.reason << '\n';
        for (const ItemStatus& item : session.items) {
            log << "\n===== " << item.name << " (" << item.state << ") =====\n";
            std::ifstream file(fs::path(run.outputFolder) / item.log);
            log << file.rdbuf();
        }
    }
    return log.str();
}

}  // namespace

void checkFolders(const DatasetRun& run)
{
    if (!fs::is_directory(run.datasetFolder)) throw std::runtime_error("The dataset folder " + run.datasetFolder + " does not exist.");
    if (!fs::is_regular_file(fs::path(run.datasetFolder) / "dataset_description.json"))
        throw std::runtime_error(run.datasetFolder + " is not a BIDS dataset: it has no dataset_description.json.");
    const fs::path dataset = fs::weakly_canonical(run.datasetFolder);
    const fs::path output = fs::weakly_canonical(run.outputFolder);
    if (output == dataset)
        throw std::runtime_error("The output folder must not be the dataset's folder " + run.datasetFolder +
                                 "; the inputs are never modified (use e.g. " + run.datasetFolder + "/derivatives/varno).");
    const fs::path inside = output.lexically_relative(dataset);
    if (!inside.empty() && *inside.begin() != ".." && *inside.begin() != "derivatives")
        throw std::runtime_error("The output folder " + run.outputFolder + " lies inside the dataset " + run.datasetFolder +
                                 " but not in its derivatives folder; the inputs are never modified.");
}

std::vector<std::string> selectSubjects(const DatasetRun& run)
{
    const std::vector<std::string> all = datasetSubjects(run.datasetFolder);
    if (run.subjects.empty()) {
        if (all.empty()) throw std::runtime_error("The dataset " + run.datasetFolder + " has no sub-* folder.");
        return all;
    }
    std::vector<std::string> missing;
    for (const std::string& label : run.subjects)
        if (std::find(all.begin(), all.end(), label) == all.end()) missing.push_back("sub-" + label);
    if (!missing.empty()) {
        std::string text;
        for (const std::string& name : missing) text += (text.empty() ? "" : ", ") + name;
        throw std::runtime_error("The dataset " + run.datasetFolder + " has no " + text + ".");
    }
    return run.subjects;
}

void writeDatasetDescription(const DatasetRun& run)
{
    const std::string source = "file://" + fs::weakly_canonical(run.datasetFolder).string();
    const nlohmann::json description = {
        {"Name", "VARNO distortion correction"},
        {"BIDSVersion", "1.9.0"},
        {"DatasetType", "derivative"},
        {"GeneratedBy",
         {{{"Name", "VARNO"},
           {"Version", run.pluginVersion},
           {"Description", "Susceptibility distortion correction from pairs of opposite phase-encoding acquisitions"}}}},
        {"SourceDatasets", {{{"URL", source}}}},
        {"DatasetLinks", {{"raw", source}}}};
    writeFileAtomically((fs::path(run.outputFolder) / "dataset_description.json").string(), description.dump(2) + "\n");
}

namespace {

std::vector<std::vector<SessionSummary>> discoverSubjects(const DatasetRun& run, const std::vector<std::string>& subjects)
{
    const DiscoverySettings settings{run.datasetFolder, run.outputFolder, run.estimateOptions, run.combine};
    std::vector<std::vector<SessionSummary>> summaries;
    for (const std::string& subject : subjects) {
        std::vector<SessionSummary> sessions;
        for (const std::string& session : subjectSessions(run.datasetFolder, subject)) {
            if (!run.sessions.empty() && std::find(run.sessions.begin(), run.sessions.end(), session) == run.sessions.end())
                continue;
            sessions.push_back({discoverSession(settings, subject, session), {}});
        }
        summaries.push_back(std::move(sessions));
    }
    return summaries;
}

// The items to run. Those done before are kept with --skip-existing and redone with
// --force; without either, results already there are refused before anything is written.
std::vector<const WorkItem*> itemsToRun(const DatasetRun& run, std::vector<std::vector<SessionSummary>>& summaries)
{
    std::vector<const WorkItem*> toRun;
    std::vector<std::string> present;
    for (auto& sessions : summaries)
        for (SessionSummary& session : sessions)
            for (const WorkItem& item : session.plan.items) {
                removeStaleWork(run.outputFolder, item);
                if (!run.force && !run.skipExisting && anyOutputThere(run.outputFolder, item)) present.push_back(item.record);
                if (run.skipExisting && itemDone(run.outputFolder, item))
                    session.items.push_back({item.name, "skipped", item.log, item.record});
                else
                    toRun.push_back(&item);
            }
    if (!present.empty())
        throw std::runtime_error(run.outputFolder + " already holds the results of " + std::to_string(present.size()) +
                                 " work items (the first: " + present.front() +
                                 "). Pass --skip-existing to do only the missing work, or --force to redo it all.");
    return toRun;
}

// Runs the items as "mindaro bids-item" processes; returns the failures, each with its log.
std::vector<std::string> runItems(const DatasetRun& run, const std::vector<const WorkItem*>& toRun,
                                  std::set<std::string>& failed)
{
    std::vector<Job> jobs;
    std::vector<std::string> itemFiles;
    for (const WorkItem* item : toRun) {
        const std::string base = (fs::path(run.outputFolder) / ".work" / item->name).string() + processTag();
        itemFiles.push_back(base + ".item.json");
        writeFileAtomically(itemFiles.back(), toJson(*item).dump(2) + "\n");
        std::vector<std::string> command = run.self;
        command.insert(command.end(), {"bids-item", itemFiles.back(), "--threads", std::to_string(run.threads)});
        jobs.push_back({item->name, command, base + ".log"});
    }
    std::cout << jobs.size() << " work items to run (" << run.jobs << " at a time, " << run.threads
              << (run.threads == 1 ? " thread" : " threads") << " each), results in " << run.outputFolder << std::endl;
    Progress progress(std::cout, isatty(STDOUT_FILENO) != 0, static_cast<int>(jobs.size()));
    std::vector<std::string> failures;
    std::vector<std::string> undone;
    const std::vector<JobOutcome> outcomes = runJobs(jobs, run.jobs, progress, [&](std::size_t index, const JobOutcome& outcome) {
        const WorkItem& item = *toRun[index];
        if (stopSignal() != 0 && outcome.status > 128) {
            // Stopped with this process: nothing of the item stays, not even its log.
            std::error_code ignored;
            fs::remove(jobs[index].logPath, ignored);
            fs::remove(itemFiles[index], ignored);
            undone.push_back(item.name);
            return;
        }
        const std::string log = (fs::path(run.outputFolder) / item.log).string();
        try {
            moveIntoPlace(jobs[index].logPath, log);
        } catch (const std::exception& error) {
            std::cout << "Note: " << error.what() << '\n';
        }
        std::error_code ignored;
        fs::remove(itemFiles[index], ignored);
        if (outcome.status != 0) {
            failed.insert(item.name);
            failures.push_back(item.name + " (exit status " + std::to_string(outcome.status) + "), log: " + log);
        }
        progress.finished(item.name, outcome.status != 0, outcome.seconds, log);
    });
    progress.close();
    if (const int signal = stopSignal(); signal != 0) {
        for (std::size_t index = 0; index < outcomes.size(); ++index) {
            std::error_code ignored;
            if (outcomes[index].status == -1) {
                fs::remove(itemFiles[index], ignored);
                undone.push_back(toRun[index]->name);
            }
        }
        const std::size_t done = toRun.size() - undone.size() - failures.size();
        describeUndone([done, undone, failures = failures.size()] {
            std::string names;
            for (const std::string& name : undone) names += (names.empty() ? "" : ", ") + name;
            return std::to_string(done) + " work items were done and are kept" +
                   (failures > 0 ? ", " + std::to_string(failures) + " failed" : "") + "; " +
                   std::to_string(undone.size()) + " left undone (" + names +
                   "); the subject pages were not updated. Run again with --skip-existing to finish.";
        });
        throw StopRequested(signal);
    }
    return failures;
}

// The summary, the log and the page of a subject; returns the runs its items refused
// ("RUN: reason"), which their records keep.
std::vector<std::string> writeSubjectReports(const DatasetRun& run, const std::string& subject,
                                             std::vector<SessionSummary>& sessions, const std::set<std::string>& failed)
{
    for (SessionSummary& session : sessions)
        for (const WorkItem& item : session.plan.items) {
            const bool kept = std::any_of(session.items.begin(), session.items.end(),
                                          [&](const ItemStatus& status) { return status.name == item.name; });
            if (!kept) session.items.push_back({item.name, failed.count(item.name) ? "failed" : "done", item.log, item.record});
        }
    const nlohmann::json summary = summaryJson(subject, sessions);
    const fs::path out = run.outputFolder;
    writeFileAtomically((out / summaryPath(subject)).string(), summary.dump(2) + "\n");
    writeFileAtomically((out / ("sub-" + subject) / "log" / ("sub-" + subject + "_varno.log")).string(),
                        subjectLog(run, subject, sessions));
    const std::vector<nlohmann::json> records = readRecords(run.outputFolder, summary);
    writeFileAtomically((out / ("sub-" + subject + ".html")).string(), subjectPageHtml(summary, records));
    std::vector<std::string> refused;
    for (const nlohmann::json& record : records)
        for (const nlohmann::json& target : record.value("refused", nlohmann::json::array()))
            refused.push_back(target.value("source", "") + ": " + target.value("reason", ""));
    return refused;
}

}  // namespace

int runParticipantLevel(const DatasetRun& run)
{
    checkFolders(run);
    const std::vector<std::string> subjects = selectSubjects(run);
    // One run at a time per subject: runs of other subjects (the tasks of a job array)
    // share the output folder, two runs of one subject never do.
    const fs::path work = fs::path(run.outputFolder) / ".work";
    fs::create_directories(work);
    const FolderRemovedWhenEmpty workFolder{work};
    std::vector<std::unique_ptr<OutputLock>> locks;
    for (const std::string& subject : subjects)
        locks.push_back(std::make_unique<OutputLock>((work / (".sub-" + subject + ".varno-lock")).string(),
                                                     "sub-" + subject + " of " + run.outputFolder));
    removeStaleTemporaries(work.string());
    std::vector<std::vector<SessionSummary>> summaries = discoverSubjects(run, subjects);
    const std::vector<const WorkItem*> toRun = itemsToRun(run, summaries);

    writeDatasetDescription(run);
    std::cout << "Dataset " << run.datasetFolder << ": " << subjects.size() << " subjects, ";
    std::set<std::string> failed;
    const std::vector<std::string> failures = runItems(run, toRun, failed);
    std::vector<std::string> problems;
    for (std::size_t s = 0; s < subjects.size(); ++s) {
        const std::vector<std::string> refused = writeSubjectReports(run, subjects[s], summaries[s], failed);
        problems.insert(problems.end(), refused.begin(), refused.end());
    }

    int kept = 0;
    for (const auto& sessions : summaries)
        for (const SessionSummary& session : sessions) {
            for (const ItemStatus& item : session.items) kept += item.state == "skipped";
            for (const DatasetFinding& problem : session.plan.problems) problems.push_back(problem.file + ": " + problem.reason);
        }
    std::cout << "\n" << toRun.size() - failures.size() << " work items done";
    if (kept > 0) std::cout << ", " << kept << " kept from before";
    std::cout << ", " << failures.size() << " failed.\n";
    if (!failures.empty()) {
        std::cout << "Failed:\n";
        for (const std::string& failure : failures) std::cout << "  " << failure << '\n';
    }
    if (!problems.empty()) {
        std::cout << "Not corrected:\n";
        for (const std::string& problem : problems) std::cout << "  " << problem << '\n';
    }
    return failures.empty() && problems.empty() ? 0 : 1;
}
