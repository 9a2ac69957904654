// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/correctfieldmap.h"

#include <charconv>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli/commands.h"
#include "cli/numbertext.h"
#include "cli/stopsignals.h"
#include "commands/outputtransaction.h"
#include "correction/fieldmapcorrection.h"
#include "correction/fieldmapreport.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "report/qcreport.h"

namespace {

namespace fs = std::filesystem;

const char* const kFieldName = "fieldmap_hz.nii.gz";

double parseNumber(const std::string& option, const std::string& text, double lowest, double highest,
                   const std::string& what)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !(value >= lowest && value <= highest))
        throw UsageError(option + " expects " + what + " from " + numberText(lowest) + " to " + numberText(highest) + ", got \"" +
                         printablePath(text) + "\"");
    return value;
}

// Which field-map images the options give, checked against each other.
FieldMapInputs fieldMapInputs(const ParsedCommandLine& command)
{
    for (const char* option : {"--ap", "--pa", "--pe-dir", "--readout-time", "--volumes", "--standard", "--fast",
                               "--ssd", "--ic", "--order"})
        if (command.has(option))
            throw UsageError(std::string(option) + " belongs to a correction from --ap and --pa; a field map needs no "
                                                   "estimate");
    const bool difference = command.has("--phasediff");
    const bool phases = command.has("--phase1") || command.has("--phase2");
    const bool field = command.has("--fieldmap");
    if (difference + phases + field != 1)
        throw UsageError("give one field map: --phasediff, --phase1 with --phase2, or --fieldmap");
    if (phases && !(command.has("--phase1") && command.has("--phase2")))
        throw UsageError("--phase1 and --phase2 go together: the phases of the two echoes");
    if (!command.has("--magnitude")) throw UsageError("a field map needs its --magnitude IMAGE");
    if (field && command.has("--echo-times"))
        throw UsageError("--echo-times belongs to a phase difference or two phases, not to --fieldmap");
    if (command.values("--apply-to").empty())
        throw UsageError("a field map corrects the --apply-to runs; give at least one");

    FieldMapInputs inputs;
    inputs.kind = difference ? FieldMapKind::PhaseDifference : phases ? FieldMapKind::TwoPhases : FieldMapKind::FieldInHertz;
    const auto image = [&](const char* option) {
        const std::string path = command.value(option);
        requirePlainPath(path);
        if (!isNiftiName(path)) throw UsageError(std::string(option) + " expects a .nii or .nii.gz image, got \"" + path + "\"");
        FieldMapImage read = fieldMapImageWithSidecar(path);
        read.label = std::string(option) + " " + path;
        return read;
    };
    inputs.phase = image(difference ? "--phasediff" : phases ? "--phase1" : "--fieldmap");
    if (phases) inputs.phase2 = image("--phase2");
    inputs.magnitude = image("--magnitude");
    if (command.has("--magnitude2")) inputs.magnitude2 = image("--magnitude2");
    return inputs;
}

FieldMapSettings fieldMapSettings(const ParsedCommandLine& command)
{
    FieldMapSettings settings;
    settings.echoTimesAdvice = "pass --echo-times TE1 TE2 (seconds).";
    settings.smoothingMm = parseFieldSmoothing(command);
    if (command.has("--echo-times")) {
        std::istringstream words(command.value("--echo-times"));
        std::string first, second;
        words >> first >> second;
        const std::string what = "two echo times in seconds, each";
        settings.echoTimes = EchoTimes{parseNumber("--echo-times", first, kShortestEchoTime, kLongestEchoTime, what),
                                       parseNumber("--echo-times", second, kShortestEchoTime, kLongestEchoTime, what),
                                       "--echo-times"};
    }
    return settings;
}

// What the import, the map and the plug-in's apply step write into FOLDER/projects for a run.
std::vector<std::string> projectFilesOf(const CorrectionRun& run)
{
    const std::string copy = insertSuffix(run.project, "_undist");
    return {run.project, savedDataFilePath(run.project), copy, savedDataFilePath(copy), mapPath(run.project)};
}

std::string secondsText(double seconds)
{
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

// Every file the command writes against every file it reads.
void requireOutputsApart(const FieldMapCorrection& correction)
{
    std::vector<StepFile> inputs;
    const auto read = [&](const std::string& image) {
        inputs.push_back({image, ""});
        std::error_code error;
        if (fs::exists(sidecarPath(image), error)) inputs.push_back({sidecarPath(image), "sidecar of " + image});
    };
    const FieldMapInputs& images = correction.inputs;
    for (const FieldMapImage* image : {&images.phase, &images.magnitude}) read(image->path);
    if (images.phase2) read(images.phase2->path);
    if (images.magnitude2) read(images.magnitude2->path);
    for (const CorrectionRun& run : correction.runs) read(run.image);
    std::vector<StepFile> outputs;
    const auto result = [&](const std::string& path) {
        outputs.push_back({path, ""});
        outputs.push_back({sidecarPath(path), ""});
    };
    result((correction.folder / kFieldName).string());
    for (const CorrectionRun& run : correction.runs) {
        result(run.output);
        result(displacementOutput(run));
        for (const std::string& file : projectFilesOf(run)) outputs.push_back({file, ""});
    }
    outputs.push_back({(correction.folder / "report.html").string(), ""});
    requireOutputsApartFromInputs(inputs, outputs);
    for (const StepFile& output : outputs) {
        std::error_code error;
        if (fs::is_directory(output.path, error))
            throw std::runtime_error("Cannot write " + output.path + ": a folder is in its place; nothing was written.");
    }
}

FieldMapCorrection resolveFieldMapCorrection(const ParsedCommandLine& command)
{
    FieldMapCorrection correction;
    correction.inputs = fieldMapInputs(command);
    correction.settings = fieldMapSettings(command);
    if (command.has("--out")) requirePlainPath(command.value("--out"));
    correction.folder = command.has("--out") ? command.value("--out") : "varno-correct";
    correction.intensityCorrection = !command.has("--plain");
    if (command.has("--neurological")) correction.convention = LeftRightConvention::Neurological;
    std::optional<double> readoutOption;
    if (command.has("--apply-readout-time"))
        readoutOption = parseNumber("--apply-readout-time", command.value("--apply-readout-time"), kShortestReadoutTime,
                                    kLongestReadoutTime, "the total readout time in seconds,");
    const std::string peDir = command.value("--apply-pe-dir");
    for (const std::string& image : command.values("--apply-to")) {
        requirePlainPath(image);
        if (!isNiftiName(image)) throw UsageError("expected a .nii or .nii.gz image, got \"" + image + "\"");
        std::string directionSource;
        const PhaseEncoding direction = resolveImagePhaseEncoding(image, peDir, directionSource);
        std::optional<ReadoutTime> readout;
        if (readoutOption) {
            readout = ReadoutTime{*readoutOption, "--apply-readout-time"};
        } else {
            try {
                readout = imageReadoutTime(image, readSidecar(image), direction);
            } catch (const MetadataError& error) {
                throw MetadataError(std::string(error.what()) + " Correct it or pass --apply-readout-time SECONDS.");
            }
            if (!readout)
                throw MetadataError("The readout time of " + image + " is not known: " + sidecarPath(image) +
                                    " gives neither \"TotalReadoutTime\" nor \"EffectiveEchoSpacing\". Add one or pass "
                                    "--apply-readout-time SECONDS.");
        }
        correction.runs.push_back(fieldMapRun(image, direction, directionSource, *readout));
    }
    for (const CorrectionRun& run : correction.runs)
        for (const std::string& warning : run.grid.warnings) std::cout << "Note: " << warning << '\n';
    nameRuns(correction.runs, correction.folder);
    requireOutputsApart(correction);
    return correction;
}

std::string sourceText(const std::string& source)
{
    return source.rfind("--", 0) == 0 ? "option " + source : "sidecar " + source;
}

void writeReport(const FieldMapCorrection& correction, const FieldMap& map, const std::vector<CorrectedRun>& results,
                 const std::vector<ReportFact>& runFacts, double seconds, std::vector<std::string>& written)
{
    const FieldMapInputs& inputs = correction.inputs;
    ReportPage report;
    report.title = "VARNO correction with the " + fieldMapKindText(inputs.kind) + " " + fileNamePart(inputs.phase.path);
    report.subtitle = "mindaro correct, " + reportTimestamp() + "; output folder " + correction.folder.string();
    report.inputs.header = {"", "image", "phase encoding", "from", "readout time", "corrected with"};
    for (const FieldMapImage* image : {&inputs.phase, inputs.phase2 ? &*inputs.phase2 : nullptr, &inputs.magnitude,
                                       inputs.magnitude2 ? &*inputs.magnitude2 : nullptr})
        if (image != nullptr)
            report.inputs.rows.push_back({image->label.substr(0, image->label.find(' ')), image->path, "", "", "", ""});
    for (const CorrectionRun& run : correction.runs)
        report.inputs.rows.push_back({"--apply-to", run.image, run.direction.text(), sourceText(run.directionSource),
                                      secondsText(*run.readoutTime) + " (" + run.readoutTimeRule + ")",
                                      "the field, carried to its grid"});
    report.acquisition.push_back({"kind", "Field map", fieldMapKindText(inputs.kind), map.stored});
    if (map.echoTimes)
        report.acquisition.push_back({"echo-times", "Echo times",
                                      secondsText(map.echoTimes->first) + " and " + secondsText(map.echoTimes->second),
                                      "from " + map.echoTimes->source});
    report.acquisition.push_back({"grid", "Grid of the field", extentText(map.grid.extent), map.gridImage});

    ReportRun run;
    run.method = "field map (" + fieldMapKindText(inputs.kind) + ")";
    run.settings = {
        {"smoothing", "Smoothing of the field", map.smoothingMm > 0.0 ? numberText(map.smoothingMm) + " mm" : "none",
         "Gaussian standard deviation"},
        {"coverage", "Least share of a run's head on the field map", "90 %",
         "within " + numberText(kCoverageMarginMm) + " mm of the head in the magnitude"},
        {"intensity-correction", "Intensity correction of the corrected images",
         correction.intensityCorrection ? "on: multiplied by the Jacobian of the map" : "off (--plain)", ""}};
    run.results = fieldFacts(map);
    run.results.insert(run.results.end(), runFacts.begin(), runFacts.end());
    run.results.push_back({"time", "Time taken", durationText(seconds), ""});
    run.figures.push_back(fieldReportFigure(map, correction.convention));
    for (std::size_t index = 0; index < correction.runs.size(); ++index)
        run.figures.push_back(runReportFigure(correction.runs[index], results[index], correction.convention));
    report.runs.push_back(std::move(run));
    const std::string page = (correction.folder / "report.html").string();
    for (const std::string& path : written)
        report.outputs.push_back(fs::path(path).lexically_relative(correction.folder).string());
    report.notes = map.notes;
    report.notes.push_back("The imported projects are in " + (correction.folder / "projects").string() + ".");
    writeReportPage(((correction.staging.empty() ? correction.folder : correction.staging) / "report.html").string(), report);
    written.push_back(page);
}

}  // namespace

double parseFieldSmoothing(const ParsedCommandLine& command)
{
    if (!command.has("--fieldmap-smooth")) return kDefaultFieldSmoothingMm;
    return parseNumber("--fieldmap-smooth", command.value("--fieldmap-smooth"), 0.0, 20.0, "a standard deviation in mm");
}

bool usesFieldMap(const ParsedCommandLine& command)
{
    for (const char* option : {"--phasediff", "--phase1", "--phase2", "--fieldmap", "--magnitude", "--magnitude2"})
        if (command.has(option)) return true;
    return false;
}

int correctWithFieldMap(const ParsedCommandLine& command)
{
    const auto start = std::chrono::steady_clock::now();
    FieldMapCorrection correction = resolveFieldMapCorrection(command);
    OutputTransaction outputs(correction.folder);
    describeUndone([folder = correction.folder.string()] {
        return "Nothing of this run was kept: " + folder + " is as it was before.";
    });
    outputs.makeFolder(correction.folder / "projects");
    for (const CorrectionRun& run : correction.runs)
        for (const std::string& file : projectFilesOf(run)) outputs.writesInPlace(file);
    correction.staging = outputs.workFolder();

    std::cout << "Field map: " << fieldMapKindText(correction.inputs.kind) << " " << correction.inputs.phase.path << '\n';
    const FieldMap map = buildFieldMap(correction.inputs, correction.settings);
    for (const std::string& note : map.notes) std::cout << "Note: " << note << '\n';
    if (map.estimate.unwrapping) std::cout << "Unwrapping: " << unwrappingCheckText(*map.estimate.unwrapping) << '\n';

    std::vector<std::string> written;
    exportField(correction, map, kFieldName, nlohmann::json::object(), written);
    std::vector<CorrectedRun> results(correction.runs.size());
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        if (const int status = correctRunWithField(correction, map, correction.runs[index], results[index]); status != 0)
            return status;
        exportFieldMapRun(correction, map, correction.runs[index], results[index], kFieldName, written);
    }
    std::vector<ReportFact> runFacts;
    for (std::size_t index = 0; index < correction.runs.size(); ++index)
        runFacts.push_back(runFact(correction.runs[index], results[index]));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writeReport(correction, map, results, runFacts, seconds, written);
    outputs.commit();

    std::cout << "\n";
    for (const ReportFact& fact : fieldFacts(map)) std::cout << fact.label << ": " << fact.value << '\n';
    for (const ReportFact& fact : runFacts) std::cout << fact.label << ": " << fact.value << " (" << fact.detail << ")\n";
    std::cout << "Time taken: " << durationText(seconds) << "\n\nWritten:\n";
    for (const std::string& path : written) std::cout << "  " << path << '\n';
    return 0;
}
