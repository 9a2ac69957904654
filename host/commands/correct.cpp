#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/correction.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "nifti/fieldtransfer.h"
#include "nifti/niftiprojects.h"
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
        "kept in DIR/projects.\n"
        "A run on another grid than --ap (other extent, voxel size or position) is corrected with the\n"
        "field in Hz resampled into its grid through the images' world coordinates and turned into\n"
        "its own displacement with its \"TotalReadoutTime\" (or --apply-readout-time); so is a run on\n"
        "the same grid read out in another time than the pair.",
    .options =
        {
            {"--ap", "IMAGE", "the first acquisition (.nii or .nii.gz), corrected with +map (required)"},
            {"--pa", "IMAGE", "the second acquisition, opposite direction, corrected with -map (required)"},
            {"--apply-to", "RUN", "a further image to correct, all volumes", true},
            {"--out", "DIR", "output folder (default ./varno-correct)"},
            {"--pe-dir", "i|i-|j|j-", "phase-encoding direction of --ap; --pa takes the opposite"},
            {"--apply-pe-dir", "i|i-|j|j-", "phase-encoding direction of the --apply-to runs"},
            {"--readout-time", "SECONDS", "total readout time of the pair, for the field map in Hz"},
            {"--apply-readout-time", "SECONDS", "total readout time of the --apply-to runs"},
            {"--volumes", "K0 K1", "volumes of --ap and --pa to estimate from, counted from 0 (default 0 0)", false, 2},
            {"--ssd", "", "compare by mean squared difference instead of normalised cross-correlation"},
            {"--ic", "", "modulate the intensities by the stretch of the current map while estimating"},
            {"--fast", "", "only the column-wise estimate (much faster, less detailed)"},
            {"--order", "0|1|2", "smoothing of the inputs: 0 Gaussian (default), 1 or 2 its derivative"},
            {"--neurological", "", "the patient's left on the left of the pictures (default: right on the left)"},
        },
};

namespace {

namespace fs = std::filesystem;

double parseSeconds(const std::string& option, const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !(value > 0.0) || !std::isfinite(value))
        throw UsageError(option + " expects a positive number of seconds, got \"" + text + "\"");
    return value;
}

// In the stream's default notation, as the sidecars give it: "0.0635 s".
std::string secondsText(double seconds)
{
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

std::string extentText(const Dimensions& e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

void writeJson(const std::string& path, const nlohmann::json& content)
{
    std::ofstream file(path, std::ios::trunc);
    file << content.dump(2) << '\n';
    if (!file) throw std::runtime_error("Cannot write " + path);
}

nlohmann::json correctedSidecar(const CorrectionRun& run, const CorrectionRun& first)
{
    nlohmann::json content = readSidecar(run.image).content;
    const bool plus = run.direction == first.direction;
    content["Description"] = "Distortion-corrected copy of " + run.image + ", every volume resampled along " +
                             std::string(1, run.direction.axis) + " with " + (plus ? "+" : "-") +
                             "displacement_voxels.nii.gz (VARNO).";
    content["Sources"] = nlohmann::json::array({run.image});
    content["DistortionCorrection"] = {{"DisplacementMap", "displacement_voxels.nii.gz"},
                                       {"DisplacementSign", plus ? 1 : -1}};
    if (run.carried) {
        content["Description"] = "Distortion-corrected copy of " + run.image + ", every volume resampled along " +
                                 std::string(1, run.direction.axis) +
                                 " with its own displacement: the field of field_hz.nii.gz carried into its grid "
                                 "and times its TotalReadoutTime (VARNO).";
        content["DistortionCorrection"] = {{"FieldMap", "field_hz.nii.gz"},
                                           {"TotalReadoutTime", *run.readoutTime},
                                           {"PhaseEncodingDirection", run.direction.text()}};
    }
    return content;
}

std::optional<double> optionalSeconds(const ParsedCommandLine& command, const std::string& option)
{
    if (!command.has(option)) return std::nullopt;
    return parseSeconds(option, command.value(option));
}

// A readout time from the sidecar, when it gives a usable one.
std::optional<double> sidecarReadoutTime(const std::string& image)
{
    const auto& content = readSidecar(image).content;
    const auto entry = content.find("TotalReadoutTime");
    if (entry == content.end() || !entry->is_number() || !(entry->get<double>() > 0.0)) return std::nullopt;
    return entry->get<double>();
}

// What the command line asks for, checked before anything is written.
Correction resolveCorrection(const ParsedCommandLine& command)
{
    if (!command.has("--ap") || !command.has("--pa"))
        throw UsageError("--ap IMAGE and --pa IMAGE are required");
    Correction correction;
    correction.ap = command.value("--ap");
    correction.pa = command.value("--pa");
    for (const std::string& image : std::vector<std::string>{correction.ap, correction.pa})
        if (!isNiftiName(image)) throw UsageError("expected a .nii or .nii.gz image, got \"" + image + "\"");
    for (const std::string& image : command.values("--apply-to"))
        if (!isNiftiName(image)) throw UsageError("expected a .nii or .nii.gz image, got \"" + image + "\"");
    const std::optional<double> readoutTime = optionalSeconds(command, "--readout-time");
    const std::optional<double> runReadoutTime = optionalSeconds(command, "--apply-readout-time");
    correction.choices = parseEstimateChoices(command);
    correction.folder = command.has("--out") ? command.value("--out") : "varno-correct";
    if (command.has("--neurological")) correction.convention = LeftRightConvention::Neurological;

    correction.metadata = resolvePairMetadata(correction.ap, correction.pa, command.value("--pe-dir"), readoutTime);
    for (const std::string& note : correction.metadata.notes) std::cout << "Note: " << note << '\n';
    addPair(correction);
    const std::string applyPeDir = command.value("--apply-pe-dir");
    for (const std::string& image : command.values("--apply-to")) {
        addRun(correction, image, resolveRunPhaseEncoding(image, applyPeDir, correction.metadata.first.axis),
               runReadoutTime ? runReadoutTime : sidecarReadoutTime(image));
        correction.runs.back().directionSource = applyPeDir.empty() ? sidecarPath(image) : "--apply-pe-dir";
    }
    nameRuns(correction);
    return correction;
}

}  // namespace

std::string mapPath(const std::string& project)
{
    return insertSuffix(replaceExtension(project, "map"), "_vdm");
}

void addPair(Correction& correction)
{
    const PairMetadata& metadata = correction.metadata;
    const NiftiInfo apGrid = readNiftiInfo(correction.ap);
    const NiftiInfo paGrid = readNiftiInfo(correction.pa);
    if (paGrid.extent != apGrid.extent)
        throw std::runtime_error(correction.pa + " (" + extentText(paGrid.extent) + ") does not have the extent of --ap " +
                                 correction.ap + " (" + extentText(apGrid.extent) +
                                 "); the two acquisitions of the pair must share one grid.");
    correction.runs = {{correction.ap, metadata.first, apGrid, metadata.totalReadoutTime, false, {}, {}, metadata.firstSource},
                       {correction.pa, metadata.second, paGrid, metadata.totalReadoutTime, false, {}, {},
                        metadata.secondSource}};
}

void addRun(Correction& correction, const std::string& image, PhaseEncoding direction,
            std::optional<double> readoutTime)
{
    const CorrectionRun& first = correction.runs.front();
    if (direction.axis != first.direction.axis)
        throw MetadataError(image + " has the phase-encoding direction \"" + direction.text() +
                            "\", but the pair was acquired along " + std::string(1, first.direction.axis) +
                            "; a run can be corrected only with a map along its own phase-encoding axis.");
    CorrectionRun run{image, direction, readNiftiInfo(image), readoutTime, false, {}, {}, {}};
    const std::optional<double> pairTime = correction.metadata.totalReadoutTime;
    const bool onGrid = sameGrid(run.grid, first.grid);
    const bool sameReadout = !readoutTime || !pairTime || std::abs(*readoutTime - *pairTime) <= 1e-6 * *pairTime;
    run.carried = !onGrid || !sameReadout;
    if (run.carried) {
        const std::string why = onGrid ? "is read out in another time than the pair"
                                       : "(" + extentText(run.grid.extent) + ") is not on the grid of --ap " +
                                             correction.ap + " (" + extentText(first.grid.extent) + ")";
        if (!pairTime || !readoutTime)
            throw MetadataError(image + " " + why +
                                ": its map is carried over through the field in Hz, which needs the total readout time "
                                "of the pair (\"TotalReadoutTime\" in their sidecars, or --readout-time) and of the run "
                                "(\"TotalReadoutTime\" in its sidecar, or --apply-readout-time).");
        const std::optional<std::string> mismatch =
            phaseAxisMismatch({first.grid, first.direction, *pairTime}, {run.grid, direction, *readoutTime});
        if (mismatch)
            throw MetadataError(image + " cannot be corrected with the map of the pair: " + *mismatch + ".");
    }
    correction.runs.push_back(std::move(run));
}

void nameRuns(Correction& correction)
{
    std::set<std::string> taken;
    for (CorrectionRun& run : correction.runs) {
        std::string stem = imageStem(run.image);
        for (int counter = 2; taken.count(stem) != 0; ++counter) stem = imageStem(run.image) + "_" + std::to_string(counter);
        taken.insert(stem);
        run.project = (correction.folder / "projects" / (stem + ".fmr")).string();
        run.output = (correction.folder / (stem + "_corrected.nii.gz")).string();
    }
}

void importRuns(const Correction& correction)
{
    fs::create_directories(correction.folder / "projects");
    std::cout << "Phase encoding: --ap " << correction.metadata.first.text() << ", --pa "
              << correction.metadata.second.text() << '\n';
    std::cout << "Importing " << correction.runs.size() << " images into "
              << (correction.folder / "projects").string() << " ...\n";
    for (const CorrectionRun& run : correction.runs) importNifti(run.image, run.project);
}

int estimateAndApply(const Correction& correction)
{
    const std::vector<CorrectionRun>& runs = correction.runs;
    HostState& state = hostState();
    state.yesNo = YesNoAnswer::No;
    state.stringParameters["file0"] = runs[0].project;
    state.stringParameters["file1"] = runs[1].project;
    storeEstimateChoices(correction.choices, state);
    state.intParameters["rllr"] = correction.metadata.first.axis == 'i';
    state.intParameters["apply_to_input"] = 1;
    state.intParameters["save_derivative"] = 0;
    std::cout << "Estimating the displacement map and correcting --ap and --pa ...\n";
    // A map left by an earlier run must not pass for this one's when the estimate gives up.
    fs::remove(mapPath(runs[0].project));
    fs::remove(mapPath(runs[1].project));
    int status = runPluginTask("estimate");
    if (status != 0) return status;
    if (!fs::exists(mapPath(runs[0].project))) {
        std::cerr << "mindaro correct: the estimate gave no map (see the log above)\n";
        return 1;
    }
    const Volume pairMap = readVdmMapFile(mapPath(runs[0].project), true).map;
    for (std::size_t index = 2; index < runs.size(); ++index) {
        const CorrectionRun& run = runs[index];
        if (run.carried) {
            // The run's own map, in its grid and along its axis, applied with +map.
            const EncodedGrid pair{runs[0].grid, runs[0].direction, *correction.metadata.totalReadoutTime};
            const Volume map = transferDisplacement(pairMap, pair, {run.grid, run.direction, *run.readoutTime});
            writeVdmMapFile(makeVdmMapFile(mapPath(run.project), map));
            state.stringParameters["vdm"] = mapPath(run.project);
        } else {
            const bool plus = run.direction == correction.metadata.first;
            state.stringParameters["vdm"] = mapPath(runs[plus ? 0 : 1].project);
        }
        state.stringParameters["files"] = run.project + "\n";
        status = runPluginTask("apply");
        if (status != 0) return status;
    }
    return 0;
}

void exportCorrectedRuns(const Correction& correction, std::vector<std::string>& written)
{
    std::cout << "Exporting into " << correction.folder.string() << " ...\n";
    for (const CorrectionRun& run : correction.runs) {
        NiftiStorage storage = NiftiStorage::Float32;
        const std::vector<Volume> volumes = readProjectOrMapVolumes(insertSuffix(run.project, "_undist"), storage);
        writeNiftiLike(run.output, volumes, storage, run.image, "VARNO distortion-corrected");
        writeJson(sidecarPath(run.output), correctedSidecar(run, correction.runs[0]));
        written.push_back(run.output);
    }
}

void exportMaps(const Correction& correction, std::vector<std::string>& written)
{
    const std::string& ap = correction.ap;
    const PairMetadata& metadata = correction.metadata;
    const Volume map = readVdmMapFile(mapPath(correction.runs[0].project), true).map;
    const char axis = metadata.first.axis;
    const double voxelSize = axis == 'i' ? correction.runs[0].grid.voxelSize[0] : correction.runs[0].grid.voxelSize[1];
    const std::string direction = metadata.first.text();
    const std::string signConvention =
        "d at each voxel p of the undistorted grid: the signal of p appears at p + d along +" + std::string(1, axis) +
        " in --ap " + ap + " (PhaseEncodingDirection " + direction + "), so its correction samples it at p + d; --pa " +
        correction.pa + " is displaced by -d.";
    const auto writeMap = [&](const std::string& name, const Volume& values, const std::string& units,
                              const std::string& description, const std::string& sign, nlohmann::json extra) {
        const std::string path = (correction.folder / name).string();
        writeNiftiLike(path, {values}, NiftiStorage::Float32, ap, "VARNO " + description.substr(0, 60));
        nlohmann::json content = {{"Description", description},
                                  {"Units", units},
                                  {"SignConvention", sign},
                                  {"PhaseEncodingAxis", std::string(1, axis)},
                                  {"ReferenceImage", ap},
                                  {"ReferencePhaseEncodingDirection", direction}};
        content.update(extra);
        writeJson(sidecarPath(path), content);
        written.push_back(path);
    };
    writeMap("displacement_voxels.nii.gz", map, "voxels",
             "Voxel displacement of --ap along the phase-encoding axis, in voxels", signConvention,
             nlohmann::json::object());
    writeMap("displacement_mm.nii.gz", map * static_cast<float>(voxelSize), "mm",
             "Voxel displacement of --ap along the phase-encoding axis, in mm", signConvention,
             {{"VoxelSizeAlongAxis", voxelSize}});
    if (metadata.totalReadoutTime) {
        const double scale = metadata.first.polarity / *metadata.totalReadoutTime;
        writeMap("field_hz.nii.gz", map * static_cast<float>(scale), "Hz",
                 "Off-resonance field in Hz: displacement in voxels / TotalReadoutTime",
                 "An image acquired with PhaseEncodingDirection " + std::string(1, axis) +
                     " is displaced by field x TotalReadoutTime voxels along +" + std::string(1, axis) +
                     ", one acquired with " + std::string(1, axis) + "- by the same along -" + std::string(1, axis) +
                     ".",
                 {{"TotalReadoutTime", *metadata.totalReadoutTime}});
    }
}

// The orientation of the pictures: the sform or qform of --ap, else its voxel order.
Orientation apOrientation(const Correction& correction)
{
    const NiftiInfo& grid = correction.runs[0].grid;
    const std::string name = fileNamePart(correction.ap);
    if (grid.geometrySource.empty())
        return voxelOrder(grid.voxelSize, "the voxel order: " + name + " has neither sform nor qform");
    return orientationFromMatrix(grid.voxelToWorld, "the " + grid.geometrySource + " of " + name);
}

CorrectionQc writeQc(const Correction& correction, std::vector<std::string>& written)
{
    const bool leftRight = correction.metadata.first.axis == 'i';
    QcPair pair;
    pair.first = correction.runs[0].project;
    pair.second = correction.runs[1].project;
    pair.firstVolume = correction.choices.volume0;
    pair.secondVolume = correction.choices.volume1;
    pair.leftRight = leftRight;
    pair.firstName = leftRight ? "LR" : "AP";
    pair.secondName = leftRight ? "RL" : "PA";
    pair.title = "VARNO correction of " + fileNamePart(correction.ap) + " and " + fileNamePart(correction.pa);
    pair.orientation = apOrientation(correction);
    pair.convention = correction.convention;
    if (correction.metadata.totalReadoutTime)
        pair.hertzPerVoxel = correction.metadata.first.polarity / *correction.metadata.totalReadoutTime;
    CorrectionQc qc;
    qc.inputs = readQcPair(pair);
    const std::string picture = (correction.folder / "qc.png").string();
    qc.result = writeQcPicture(picture, qc.inputs);
    written.push_back(picture);
    return qc;
}

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
void writeReport(const Correction& correction, const CorrectionQc& qc, const Timing& timing,
                 std::vector<std::string>& written)
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
    for (const std::string& note : metadata.notes) report.notes.push_back(note);
    writeReportPage(page, report);
    written.push_back(page);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int correct(const ParsedCommandLine& command)
{
    const auto start = std::chrono::steady_clock::now();
    const Correction correction = resolveCorrection(command);
    importRuns(correction);
    const auto estimateStart = std::chrono::steady_clock::now();
    if (const int status = estimateAndApply(correction); status != 0) return status;
    Timing timing;
    timing.estimateSeconds = secondsSince(estimateStart);

    std::vector<std::string> written;
    exportCorrectedRuns(correction, written);
    exportMaps(correction, written);
    const CorrectionQc qc = writeQc(correction, written);
    timing.totalSeconds = secondsSince(start);
    writeReport(correction, qc, timing, written);

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
            std::cerr << "mindaro correct: " << error.what() << '\n';
            return 1;
        }
    });
}
