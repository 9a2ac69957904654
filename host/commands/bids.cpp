// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/correctfieldmap.h"
#include "commands/estimatechoices.h"
#include "commands/threadsoption.h"
#include "core/threadcount.h"
#include "dataset/bidsname.h"
#include "dataset/grouplevel.h"
#include "dataset/participant.h"
#include "dataset/slurm.h"

namespace fs = std::filesystem;

namespace {

// Options of "correct" that name its inputs, outputs or their metadata, and its threads;
// the rest are the estimate settings, which "bids" takes too and hands on to every work item.
bool isEstimateOption(const OptionSpec& option)
{
    for (const char* name : {"--ap", "--pa", "--apply-to", "--out", "--pe-dir", "--apply-pe-dir", "--readout-time",
                             "--apply-readout-time", "--volumes", "--phasediff", "--phase1", "--phase2", "--fieldmap",
                             "--magnitude", "--magnitude2", "--echo-times", "--combine", "--threads"})
        if (option.name == name) return false;
    return true;
}

CommandSpec makeBidsCommand()
{
    CommandSpec declaration{
        .name = "bids",
        .arguments = "BIDS_DIR OUTPUT_DIR participant|group",
        .minimumArguments = 3,
        .maximumArguments = 3,
        .summary = "correct a whole BIDS dataset (participant level) and write its report (group level)",
        .description =
            "participant: finds in every sub-*/[ses-*/] the field maps: pairs fmap/*_epi.nii[.gz] of opposite\n"
            "\"PhaseEncodingDirection\", and gradient-echo field maps (_phasediff with _magnitude1 [and\n"
            "_magnitude2], _phase1 and _phase2 with their magnitudes, or _fieldmap with _magnitude, joined by\n"
            "their other entities); and the runs each is meant for (\"IntendedFor\", relative to the subject\n"
            "folder or as bids:: URI, or \"B0FieldIdentifier\" matched with the runs' \"B0FieldSource\"). A run\n"
            "named by several field maps takes the one its \"B0FieldSource\" names, else the pair; the others\n"
            "are listed as not used. Diffusion runs of opposite directions without a field map are paired\n"
            "through their b <= 50 volumes.\n"
            "Sidecars are inherited as BIDS defines it. Each pair with its runs is one work item, run as a\n"
            "separate process, --jobs at a time. Runs on another grid than their pair are corrected with the\n"
            "field in Hz carried into their grid; a gradient-echo field map's field always is, with each run's\n"
            "own readout time. OUTPUT_DIR becomes a BIDS Derivatives dataset: per subject\n"
            "the field sub-X[_ses-Y]_fmapid-N_desc-varno_fieldmap.nii.gz (Hz) with its sidecar, every\n"
            "corrected run as ..._desc-sdc_<suffix>.nii.gz (diffusion .bval/.bvec beside it), the pictures in\n"
            "sub-X/figures, the logs in sub-X/log and the page sub-X.html. Whatever cannot be paired or\n"
            "corrected is reported with its file and reason; the rest goes on. Exit status 1 when an item\n"
            "failed or something named could not be corrected.\n"
            "group: writes OUTPUT_DIR/index.html from what the participant runs left, linking every subject\n"
            "and flagging pairs whose agreement after correction lies far below the dataset's median.\n"
            "With --slurm the participant level is submitted as a SLURM job array, one task per participant,\n"
            "followed by a group job (dependency afterany); the job ids are printed.",
        .options =
            {
                {"--participant-label", "LABEL", "a subject to process, with or without \"sub-\" (default: all)", true},
                {"--session-label", "LABEL", "a session to process, with or without \"ses-\" (default: all)", true},
                {"--jobs", "N", "work items run at the same time (default: the number of cores)"},
                {"--threads", "N",
                 "threads of each work item (default: VARNO_THREADS, else the cores shared out between the jobs)"},
                {"--skip-existing", "", "keep the work items already done, do only the missing ones"},
                {"--force", "", "redo every work item, replacing earlier results"},
                {"--combine", "", "runs that differ only in dir- also become one run combined from both (least squares)"},
                {"--slurm", "", "submit to SLURM instead: a job array of participants and a group job"},
                {"--slurm-args", "\"ARGS\"", "further sbatch options for both jobs, e.g. \"--partition=short --time=1:00:00\""},
            },
    };
    const std::vector<OptionSpec> estimate = estimateOptionsOfCorrect();
    declaration.options.insert(declaration.options.end(), estimate.begin(), estimate.end());
    return declaration;
}

// The estimate options as given, to be handed on word by word.
std::vector<std::string> estimateWords(const ParsedCommandLine& command)
{
    std::vector<std::string> words;
    for (const auto& [name, value] : command.options)
        for (const OptionSpec& option : correctCommand.options)
            if (option.name == name && isEstimateOption(option))
                words.push_back(option.argument.empty() ? name : name + "=" + value);
    return words;
}

// --threads or VARNO_THREADS when given; else the cores shared out between the items that
// run at once, so that jobs x threads = cores.
int itemThreads(const ParsedCommandLine& command, int jobs)
{
    const char* variable = std::getenv("VARNO_THREADS");
    if (command.has("--threads") || (variable != nullptr && *variable != '\0')) return requestedThreads(command);
    return std::max(1, availableCores() / jobs);
}

std::string absolute(const std::string& path)
{
    return fs::absolute(path).lexically_normal().string();
}

std::vector<std::string> selfCommand()
{
    return {fs::read_symlink("/proc/self/exe").string(), "--plugin", absolute(hostState().pluginPath)};
}

int submit(const ParsedCommandLine& command, DatasetRun& run)
{
    checkFolders(run);
    SlurmRequest request;
    request.outputFolder = run.outputFolder;
    request.subjects = selectSubjects(run);
    request.extraArguments = splitArguments(command.value("--slurm-args"));
    request.jobsGiven = command.has("--jobs");
    request.participantCommand = run.self;
    request.participantCommand.insert(request.participantCommand.end(), {"bids", run.datasetFolder, run.outputFolder, "participant"});
    for (const std::string& session : run.sessions) request.participantCommand.insert(request.participantCommand.end(), {"--session-label", session});
    if (request.jobsGiven) request.participantCommand.insert(request.participantCommand.end(), {"--jobs", std::to_string(run.jobs)});
    if (command.has("--threads"))
        request.participantCommand.insert(request.participantCommand.end(), {"--threads", std::to_string(run.threads)});
    if (run.skipExisting) request.participantCommand.push_back("--skip-existing");
    if (run.force) request.participantCommand.push_back("--force");
    if (run.combine) request.participantCommand.push_back("--combine");
    request.participantCommand.insert(request.participantCommand.end(), run.estimateOptions.begin(), run.estimateOptions.end());
    request.groupCommand = run.self;
    request.groupCommand.insert(request.groupCommand.end(), {"bids", run.datasetFolder, run.outputFolder, "group"});
    fs::create_directories(run.outputFolder);
    const SlurmSubmission submission = submitToSlurm(request);
    std::cout << "Submitted job array " << submission.arrayJob << " (" << request.subjects.size()
              << " participants) and group job " << submission.groupJob << " (after the array).\n"
              << "Logs: " << (fs::path(run.outputFolder) / ".slurm").string() << "\n";
    std::cout << "SLURM_ARRAY_JOB=" << submission.arrayJob << "\nSLURM_GROUP_JOB=" << submission.groupJob << "\n";
    return 0;
}

int bids(const ParsedCommandLine& command)
{
    const std::string level = command.arguments[2];
    if (level != "participant" && level != "group")
        throw UsageError("the analysis level must be participant or group, got \"" + level + "\"");
    if (command.has("--skip-existing") && command.has("--force"))
        throw UsageError("--skip-existing and --force exclude each other");
    if (command.has("--slurm-args") && !command.has("--slurm")) throw UsageError("--slurm-args needs --slurm");
    if (command.has("--slurm") && level != "participant")
        throw UsageError("--slurm submits the participant level (the group job follows it by itself)");

    DatasetRun run;
    run.datasetFolder = absolute(command.arguments[0]);
    run.outputFolder = absolute(command.arguments[1]);
    if (level == "group") return runGroupLevel(run.outputFolder);

    for (const std::string& label : command.values("--participant-label")) run.subjects.push_back(withoutPrefix(label, "sub"));
    for (const std::string& label : command.values("--session-label")) run.sessions.push_back(withoutPrefix(label, "ses"));
    run.jobs = availableCores();
    if (command.has("--jobs")) {
        run.jobs = parseInteger("--jobs", command.value("--jobs"));
        if (run.jobs < 1) throw UsageError("--jobs expects at least 1, got " + std::to_string(run.jobs));
    }
    run.threads = itemThreads(command, run.jobs);
    run.skipExisting = command.has("--skip-existing");
    run.force = command.has("--force");
    run.combine = command.has("--combine");
    run.estimateOptions = estimateWords(command);
    // The estimate options are checked here, before anything runs.
    parseCorrectionChoices(command);
    parseFieldSmoothing(command);
    run.self = selfCommand();
    if (command.has("--slurm")) return submit(command, run);

    try {
        const LoadedPlugin plugin(hostState().pluginPath);
        run.pluginVersion = plugin.info().version;
    } catch (const PluginLoadError& error) {
        std::cerr << "mindaro: " << error.what() << '\n';
        return 3;
    }
    return runParticipantLevel(run);
}

}  // namespace

std::vector<OptionSpec> estimateOptionsOfCorrect()
{
    std::vector<OptionSpec> options;
    for (const OptionSpec& option : correctCommand.options)
        if (isEstimateOption(option)) options.push_back(option);
    return options;
}

const CommandSpec& bidsCommand()
{
    static const CommandSpec declaration = makeBidsCommand();
    return declaration;
}

int commandBids(const std::vector<std::string>& arguments)
{
    return runCommand(bidsCommand(), arguments, [](const ParsedCommandLine& command) {
        try {
            return bids(command);
        } catch (const UsageError&) {
            throw;
        } catch (const std::exception& error) {
            std::cerr << "mindaro bids: " << error.what() << '\n';
            return 1;
        }
    });
}
