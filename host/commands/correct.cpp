// SPDX-License-Identifier: GPL-3.0-or-later
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/numbertext.h"
#include "cli/stopsignals.h"
#include "correction/combination.h"
#include "commands/threadsoption.h"
#include "correction/correction.h"
#include "correction/motionexport.h"
#include "commands/correctfieldmap.h"
#include "commands/outputtransaction.h"
#include "estimate/estimatelimits.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "nifti/fieldtransfer.h"
#include "nifti/jsonfile.h"
#include "nifti/niftiprojects.h"
#include "nifti/readouttime.h"
#include "report/qcprojects.h"
#include "report/qcreport.h"

const CommandSpec correctCommand{
    .name = "correct",
    .arguments = "",
    .minimumArguments = 0,
    .maximumArguments = 0,
    .summary = "the whole correction on NIfTI images with BIDS sidecars: import, estimate, apply, export",
    .description =
        "--ap and --pa are 3-D or 4-D NIfTI images of one object acquired with opposite phase-encoding\n"
        "directions. Each direction comes from the image's BIDS sidecar (IMAGE.json, key\n"
        "\"PhaseEncodingDirection\": j or j- for anterior-posterior, i or i- for left-right encoding)\n"
        "or from --pe-dir; the two must be opposite. The map is estimated from one volume of each,\n"
        "--ap is corrected with +map and --pa with -map, and every --apply-to run with the map of the\n"
        "acquisition whose direction it shares. Writes into DIR: IMAGE_corrected.nii.gz for every\n"
        "input, displacement_voxels.nii.gz and displacement_mm.nii.gz (the displacement of --ap along\n"
        "the phase-encoding axis), field_hz.nii.gz when \"TotalReadoutTime\" is known, a JSON sidecar\n"
        "for each saying what it holds, the quality-control picture qc.png and the report page\n"
        "report.html (what went in, the method and its settings, the agreement of the pair before and\n"
        "after, the map's range and fold check, the time taken, the pictures; one file that opens in\n"
        "any browser). Every output has the geometry of its input. The projects used on the way are\n"
        "kept in DIR/projects. The outputs appear together once all are written; a run that fails\n"
        "leaves DIR as it was.\n"
        "A run on another grid than --ap (other extent, voxel size or position) is corrected with the\n"
        "field in Hz resampled into its grid through the images' world coordinates and turned into\n"
        "its own displacement with its \"TotalReadoutTime\" (or --apply-readout-time); so is a run on\n"
        "the same grid read out in another time than the pair.\n"
        "The map comes from the precise estimate (checked against the standard full estimate, whose\n"
        "map is used instead for pairs that do not follow the spin-echo model of intensities, such as\n"
        "gradient-echo pairs), and every corrected volume is multiplied by the Jacobian of its map,\n"
        "which restores the intensities that the distortion piled up or thinned out. --standard (or\n"
        "--fast) and --plain choose the standard estimate and the plain undistortion instead; the\n"
        "sidecars say which were used.\n"
        "--combine: the --apply-to runs are one or more runs acquired once with each direction; the n-th\n"
        "run of the direction of --ap is paired with the n-th of the other (same volumes; for diffusion\n"
        "runs, with .bval and .bvec beside them, the same b-values and directions) and the pair is also\n"
        "written as one run restored by least squares from both copies, STEM_combined.nii.gz after the\n"
        "run of the direction of --ap, values below 0 clipped to 0 (see \"mindaro combine --help\"). With\n"
        "--motion, runs that are --ap and --pa themselves are combined with the head's motion in both:\n"
        "every volume of the --pa run is moved into the frame of the same volume of the --ap run first.",
    .options =
        {
            {"--ap", "IMAGE", "the first acquisition (.nii or .nii.gz), corrected with +map (required without a field map)"},
            {"--pa", "IMAGE", "the second acquisition, opposite direction, corrected with -map (required without a field map)"},
            {"--apply-to", "RUN", "a further image to correct, all volumes", true},
            {"--out", "DIR", "output folder (default ./varno-correct)"},
            {"--pe-dir", "i|i-|j|j-", "phase-encoding direction of --ap; --pa takes the opposite"},
            {"--apply-pe-dir", "i|i-|j|j-", "phase-encoding direction of the --apply-to runs"},
            {"--readout-time", "SECONDS", "total readout time of the pair (0.001 to 1), for the field map in Hz"},
            {"--apply-readout-time", "SECONDS", "total readout time of the --apply-to runs (0.001 to 1)"},
            {"--volumes", "K0 K1",
             "volumes of --ap and --pa to estimate from, counted from 0 (default 0 0), or lists such as 0,1,2 or "
             "all, each volume with its own gain",
             false, 2},
            {"--motion", "", "estimate the head's motion between the volumes with the field: motion_ap.tsv, "
                             "motion_pa.tsv"},
            {"--realign", "", "with --motion: the corrected --ap and --pa moved back to their first volume"},
            {"--standard", "", "the standard estimate instead of the precise one"},
            {"--plain", "", "plain undistortion, without the intensity correction"},
            {"--ssd", "", "compare by mean squared difference instead of normalised cross-correlation"},
            {"--ic", "", "modulate the intensities by the stretch of the current map while estimating"},
            {"--fast", "", "only the standard column-wise estimate (much faster, less detailed)"},
            {"--order", "0|1|2", "smoothing of the inputs: 0 Gaussian (default), 1 or 2 its derivative"},
            {"--neurological", "", "the patient's left on the left of the pictures (default: right on the left)"},
            {"--combine", "", "combine --apply-to runs acquired in both directions into STEM_combined (least squares)"},
            {"--phasediff", "IMAGE", "a gradient-echo phase difference: corrects the --apply-to runs with its field"},
            {"--phase1", "IMAGE", "the phase of the first echo, with --phase2"},
            {"--phase2", "IMAGE", "the phase of the second echo, with --phase1"},
            {"--fieldmap", "IMAGE", "a field map in Hz, rad/s or T (\"Units\" in its sidecar)"},
            {"--magnitude", "IMAGE", "the magnitude of the field map (of the first echo); its head is the mask"},
            {"--magnitude2", "IMAGE", "the magnitude of the second echo; the mask comes from the mean of both"},
            {"--echo-times", "TE1 TE2", "echo times of the field map in seconds, where its sidecars lack them", false, 2},
            {"--fieldmap-smooth", "MM", "smoothing of the field: Gaussian standard deviation in mm (default 2, 0 for none)"},
            threadsOption(),
        },
};

namespace {

namespace fs = std::filesystem;

// In the stream's default notation, as the sidecars give it: "0.0635 s".
std::string secondsText(double seconds)
{
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

// A run's readout time from its sidecar (readouttime.h), when it gives one.
std::optional<ReadoutTime> sidecarReadoutTime(const std::string& image, PhaseEncoding direction)
{
    try {
        const std::optional<ReadoutTime> time = imageReadoutTime(image, readSidecar(image), direction);
        if (time && time->rule != "TotalReadoutTime")
            std::cout << "Note: the readout time of " << image << " is " << secondsText(time->seconds) << ", from "
                      << time->rule << ".\n";
        return time;
    } catch (const MetadataError& error) {
        throw MetadataError(std::string(error.what()) + " Correct it or pass --apply-readout-time SECONDS.");
    }
}

// The projects, maps and copies that the plug-in's steps (and the carrying of maps) write
// into DIR/projects.
std::vector<std::string> projectFilesOf(const Correction& correction, const std::vector<CombinedRuns>& combined)
{
    std::vector<std::string> files;
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const CorrectionRun& run = correction.runs[index];
        const std::string copy = insertSuffix(run.project, "_undist");
        files.insert(files.end(), {run.project, savedDataFilePath(run.project), copy, savedDataFilePath(copy)});
        if (index < 2 || run.carried) files.push_back(mapPath(run.project));
    }
    for (const CombinedRuns& pair : combined) files.insert(files.end(), {pair.project, savedDataFilePath(pair.project)});
    return files;
}

// Every file the command writes, where it ends up, against every file it reads: an output
// that is an input, or a folder where an output goes, stops it before anything is written.
void requireOutputsApart(const Correction& correction, const std::vector<CombinedRuns>& combined)
{
    std::vector<StepFile> inputs;
    for (const CorrectionRun& run : correction.runs) {
        inputs.push_back({run.image, ""});
        std::error_code error;
        if (fs::exists(sidecarPath(run.image), error)) inputs.push_back({sidecarPath(run.image), "sidecar of " + run.image});
    }
    std::vector<StepFile> outputs;
    for (const std::string& file : projectFilesOf(correction, combined)) outputs.push_back({file, ""});
    const auto addResult = [&](const std::string& path) {
        outputs.push_back({path, ""});
        outputs.push_back({sidecarPath(path), ""});
    };
    for (const CorrectionRun& run : correction.runs) addResult(run.output);
    for (const CombinedRuns& pair : combined) {
        addResult(pair.output);
        if (!pair.gradients.bval.empty())
            for (const char* extension : {".bval", ".bvec"})
                outputs.push_back({withoutNiftiExtension(pair.output) + extension, ""});
    }
    for (const char* map : {"displacement_voxels.nii.gz", "displacement_mm.nii.gz", "field_hz.nii.gz"})
        if (std::string(map) != "field_hz.nii.gz" || correction.metadata.totalReadoutTime)
            addResult((correction.folder / map).string());
    outputs.push_back({(correction.folder / "qc.png").string(), ""});
    requireOutputsApartFromInputs(inputs, outputs);
    for (const StepFile& output : outputs) {
        std::error_code error;
        if (fs::is_directory(output.path, error))
            throw std::runtime_error("Cannot write " + output.path + ": a folder is in its place; nothing was written.");
    }
}

// The pair within what the estimate can work on, checked on the images so that a refusal
// names them: rows and voxel size along the phase encoding, and the chosen volumes.
void requireEstimablePair(const Correction& correction)
{
    const char axis = correction.metadata.first.axis;
    for (int index = 0; index < 2; ++index) {
        const CorrectionRun& run = correction.runs[static_cast<std::size_t>(index)];
        const int chosen = index == 0 ? correction.choices.volume0 : correction.choices.volume1;
        if (chosen >= run.grid.volumes)
            throw UsageError("--volumes counts from 0: " + std::string(index == 0 ? "--ap " : "--pa ") + run.image +
                             " has " + std::to_string(run.grid.volumes) +
                             (run.grid.volumes == 1 ? " volume" : " volumes") + ", so volume " +
                             std::to_string(chosen) + " does not exist");
    }
    const NiftiInfo& grid = correction.runs[0].grid;
    const double voxel = axis == 'i' ? grid.voxelSize[0] : grid.voxelSize[1];
    const int rows = axis == 'i' ? grid.extent.x : grid.extent.y;
    const std::string along = " along the phase-encoding axis " + std::string(1, axis);
    if (rows < kFewestRowsAlongPhaseEncoding)
        throw std::runtime_error("--ap " + correction.ap + " has " + std::to_string(rows) + " rows" + along +
                                 "; the estimate fits a stretch and a shift to every column and needs at least " +
                                 std::to_string(kFewestRowsAlongPhaseEncoding) + ".");
    if (voxel > kLargestVoxelAlongPhaseEncoding)
        throw std::runtime_error("--ap " + correction.ap + " has voxels of " + numberText(voxel) + " mm" + along +
                                 "; the estimate smooths 4 mm along that axis, which needs voxels of at most " +
                                 numberText(kLargestVoxelAlongPhaseEncoding) + " mm there.");
}

// What the command line asks for, checked before anything is written.
Correction resolveCorrection(const ParsedCommandLine& command, std::vector<CombinedRuns>& combined)
{
    if (!command.has("--ap") || !command.has("--pa"))
        throw UsageError("--ap IMAGE and --pa IMAGE are required, or a field map (--phasediff, --phase1 and --phase2, "
                         "or --fieldmap) with its --magnitude");
    for (const char* option : {"--echo-times", "--fieldmap-smooth"})
        if (command.has(option))
            throw UsageError(std::string(option) + " belongs to a field map (--phasediff, --phase1 and --phase2, or "
                                                   "--fieldmap), not to a pair");
    Correction correction;
    correction.ap = command.value("--ap");
    correction.pa = command.value("--pa");
    std::vector<std::string> images{correction.ap, correction.pa};
    for (const std::string& image : command.values("--apply-to")) images.push_back(image);
    for (const std::string& image : images) {
        requirePlainPath(image);
        if (!isNiftiName(image)) throw UsageError("expected a .nii or .nii.gz image, got \"" + image + "\"");
    }
    if (command.has("--out")) requirePlainPath(command.value("--out"));
    const std::optional<double> readoutTime = optionalSeconds(command, "--readout-time");
    const std::optional<double> runReadoutTime = optionalSeconds(command, "--apply-readout-time");
    correction.choices = parseCorrectionChoices(command);
    correction.folder = command.has("--out") ? command.value("--out") : "varno-correct";
    if (command.has("--neurological")) correction.convention = LeftRightConvention::Neurological;

    correction.metadata = resolvePairMetadata(correction.ap, correction.pa, command.value("--pe-dir"), readoutTime);
    for (const std::string& note : correction.metadata.notes) std::cout << "Note: " << note << '\n';
    addPair(correction);
    const std::string applyPeDir = command.value("--apply-pe-dir");
    for (const std::string& image : command.values("--apply-to")) {
        const PhaseEncoding direction = resolveRunPhaseEncoding(image, applyPeDir, correction.metadata.first.axis);
        const std::optional<ReadoutTime> time = runReadoutTime ? ReadoutTime{*runReadoutTime, "--apply-readout-time"}
                                                               : sidecarReadoutTime(image, direction);
        addRun(correction, image, direction, time ? std::optional(time->seconds) : std::nullopt);
        correction.runs.back().readoutTimeRule = time ? time->rule : "";
        correction.runs.back().directionSource = applyPeDir.empty() ? sidecarPath(image) : "--apply-pe-dir";
    }
    for (const CorrectionRun& run : correction.runs)
        for (const std::string& warning : run.grid.warnings) std::cout << "Note: " << warning << '\n';
    requireEstimablePair(correction);
    nameRuns(correction);
    if (command.has("--combine")) combined = pairRunsToCombine(correction);
    requireOutputsApart(correction, combined);
    return correction;
}

}  // namespace

namespace {

struct Timing {
    double estimateSeconds = 0.0;  // the estimate and the correction of every run
    double totalSeconds = 0.0;     // from reading the command line to the last output
};

ReportFact timeFact(const Timing& timing)
{
    return {"time", "Time taken", durationText(timing.totalSeconds),
            "estimate and correction " + durationText(timing.estimateSeconds)};
}

std::string timeLine(const Timing& timing)
{
    const ReportFact fact = timeFact(timing);
    return "Time taken: " + fact.value + " (" + fact.detail + ")";
}

std::string sourceText(const std::string& source)
{
    return source.rfind("--", 0) == 0 ? "option " + source : "sidecar " + source;
}

// The report page: what went in, how it was corrected, the figures and the pictures.
void writeReport(const Correction& correction, const CorrectionMethod& method, const CorrectionQc& qc,
                 const Timing& timing, std::vector<std::string>& written)
{
    const PairMetadata& metadata = correction.metadata;
    const std::string page = (correction.folder / "report.html").string();
    ReportPage report;
    report.title = qc.inputs.title;
    report.subtitle = "mindaro correct, " + reportTimestamp() + "; output folder " + correction.folder.string();
    report.inputs.header = {"", "image", "phase encoding", "from", "readout time", "corrected with"};
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const CorrectionRun& run = correction.runs[index];
        const std::string role = index == 0 ? "--ap" : index == 1 ? "--pa" : "--apply-to";
        const std::string map = run.carried ? "the field, carried to its grid"
                                : run.direction == metadata.first ? "+map"
                                                                  : "\u2212map";
        report.inputs.rows.push_back({role, run.image, run.direction.text(), sourceText(run.directionSource),
                                      run.readoutTime ? secondsText(*run.readoutTime) : "", map});
    }
    const NiftiInfo& grid = correction.runs[0].grid;
    char voxel[96];
    std::snprintf(voxel, sizeof voxel, "%.4g x %.4g x %.4g mm", grid.voxelSize[0], grid.voxelSize[1], grid.voxelSize[2]);
    report.acquisition = {
        {"readout-time", "Total readout time of the pair",
         metadata.totalReadoutTime ? secondsText(*metadata.totalReadoutTime) : std::string("not known"),
         metadata.totalReadoutTime ? "from " + sourceText(metadata.readoutTimeSource)
                                   : "no field in Hz; give it in the sidecars or with --readout-time"},
        {"grid", "Grid of the pair", extentText(grid.extent) + " voxels of " + voxel, ""}};

    const EstimateDescription description = describeEstimateChoices(correction.choices);
    ReportRun run;
    run.method = description.method;
    if (!method.note.empty()) run.method = method.estimate + " (in place of the " + description.method + ")";
    run.settings = description.settings;
    run.results = qcResultFacts(qc.inputs, qc.result.analysis);
    run.results.push_back(timeFact(timing));
    run.figures = qcReportFigures(qc.inputs, qc.result.analysis);
    report.runs.push_back(std::move(run));
    for (const std::string& path : written)
        report.outputs.push_back(fs::path(path).lexically_relative(correction.folder).string());
    report.notes = {orientationNote(qc.inputs, qc.result.analysis),
                    "The object: the voxels where the mean of the four images reaches a tenth of its 99th percentile; "
                    "the figures are measured there. The imported projects are in " +
                        (correction.folder / "projects").string() + "."};
    if (!method.note.empty()) report.notes.push_back(method.note);
    for (const std::string& note : metadata.notes) report.notes.push_back(note);
    writeReportPage(resultPath(correction, "report.html"), report);
    written.push_back(page);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int correct(const ParsedCommandLine& command)
{
    const CommandThreads threads(requestedThreads(command));
    if (usesFieldMap(command)) {
        if (command.has("--combine"))
            throw UsageError("--combine pairs the --apply-to runs with a pair's map (--ap and --pa), not with a field map");
        return correctWithFieldMap(command);
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<CombinedRuns> combined;
    Correction correction = resolveCorrection(command, combined);
    // Everything is written through the transaction: a step that fails takes back what
    // the steps before it wrote.
    OutputTransaction outputs(correction.folder);
    describeUndone([folder = correction.folder.string()] {
        return "Nothing of this run was kept: " + folder + " is as it was before.";
    });
    outputs.makeFolder(correction.folder / "projects");
    for (const std::string& file : projectFilesOf(correction, combined)) outputs.writesInPlace(file);
    correction.staging = outputs.workFolder();
    importRuns(correction);
    const auto estimateStart = std::chrono::steady_clock::now();
    CorrectionMethod method;
    if (const int status = estimateAndApply(correction, method); status != 0) return status;
    std::vector<std::string> combinedOutputs;
    if (!combined.empty()) {
        std::cout << "Combining " << combined.size() << (combined.size() == 1 ? " run" : " runs")
                  << " acquired in both directions ...\n";
        useEstimatedMotion(correction, combined);
        if (const int status = combineCorrectedRuns(correction, combined, combinedOutputs); status != 0) return status;
    }
    Timing timing;
    timing.estimateSeconds = secondsSince(estimateStart);

    std::vector<std::string> written;
    exportCorrectedRuns(correction, method, written);
    written.insert(written.end(), combinedOutputs.begin(), combinedOutputs.end());
    exportMaps(correction, method, written);
    exportMotion(correction, written);
    const CorrectionQc qc = writeQc(correction, written);
    timing.totalSeconds = secondsSince(start);
    writeReport(correction, method, qc, timing, written);
    outputs.commit();

    std::cout << "\n";
    for (const std::string& line : qc.result.summary) std::cout << line << '\n';
    std::cout << timeLine(timing) << '\n';
    std::cout << "\nWritten:\n";
    for (const std::string& path : written) std::cout << "  " << path << '\n';
    return 0;
}

}  // namespace

int commandCorrect(const std::vector<std::string>& arguments)
{
    return runCommand(correctCommand, arguments, [](const ParsedCommandLine& command) {
        try {
            return correct(command);
        } catch (const UsageError&) {
            throw;
        } catch (const std::exception& error) {
            return reportFailure("correct", error);
        }
    });
}
