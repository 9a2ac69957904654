#include <array>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "commands/outputtransaction.h"
#include "estimate/estimatelimits.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "nifti/bidsmetadata.h"
#include "nifti/jsonfile.h"
#include "nifti/niftiprojects.h"
#include "report/qcprojects.h"

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
        "for each saying what it holds, and the quality-control picture qc.png. Every output has the\n"
        "geometry of its input. The projects used on the way are kept in DIR/projects. The outputs\n"
        "appear together once all are written; a run that fails leaves DIR as it was.",
    .options =
        {
            {"--ap", "IMAGE", "the first acquisition (.nii or .nii.gz), corrected with +map (required)"},
            {"--pa", "IMAGE", "the second acquisition, opposite direction, corrected with -map (required)"},
            {"--apply-to", "RUN", "a further image to correct, all volumes", true},
            {"--out", "DIR", "output folder (default ./varno-correct)"},
            {"--pe-dir", "i|i-|j|j-", "phase-encoding direction of --ap; --pa takes the opposite"},
            {"--apply-pe-dir", "i|i-|j|j-", "phase-encoding direction of the --apply-to runs"},
            {"--readout-time", "SECONDS", "total readout time (0.001 to 1), for the field map in Hz"},
            {"--volumes", "K0 K1", "volumes of --ap and --pa to estimate from, counted from 0 (default 0 0)", false, 2},
            {"--ssd", "", "compare by mean squared difference instead of normalised cross-correlation"},
            {"--ic", "", "modulate the intensities by the stretch of the current map while estimating"},
            {"--fast", "", "only the column-wise estimate (much faster, less detailed)"},
            {"--order", "0|1|2", "smoothing of the inputs: 0 Gaussian (default), 1 or 2 its derivative"},
        },
};

namespace {

namespace fs = std::filesystem;

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

double parseSeconds(const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !plausibleReadoutTime(value))
        throw UsageError("--readout-time expects the total readout time in seconds, from " +
                         number(kShortestReadoutTime) + " to " + number(kLongestReadoutTime) + ", got \"" +
                         printablePath(text) + "\"");
    return value;
}

std::string extentText(const Dimensions& e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

// One image to correct: its path, direction and the names of its files on the way.
struct Run {
    std::string image;
    PhaseEncoding direction;
    std::string project;  // DIR/projects/STEM.fmr
    std::string output;   // STEM_corrected.nii.gz, in DIR
};

// A project name for every run; equal stems get a counter.
void nameRuns(std::vector<Run>& runs, const fs::path& folder)
{
    std::set<std::string> taken;
    for (Run& run : runs) {
        std::string stem = imageStem(run.image);
        for (int counter = 2; taken.count(stem) != 0; ++counter) stem = imageStem(run.image) + "_" + std::to_string(counter);
        taken.insert(stem);
        run.project = (folder / "projects" / (stem + ".fmr")).string();
        run.output = stem + "_corrected.nii.gz";
    }
}

std::string mapPath(const std::string& project)
{
    return insertSuffix(replaceExtension(project, "map"), "_vdm");
}

nlohmann::json correctedSidecar(const Run& run, const Run& first)
{
    nlohmann::json content = readSidecar(run.image).content;
    const bool plus = run.direction == first.direction;
    content["Description"] = "Distortion-corrected copy of " + run.image + ", every volume resampled along " +
                             std::string(1, run.direction.axis) + " with " + (plus ? "+" : "-") +
                             "displacement_voxels.nii.gz (VARNO).";
    content["Sources"] = nlohmann::json::array({run.image});
    content["DistortionCorrection"] = {{"DisplacementMap", "displacement_voxels.nii.gz"},
                                       {"DisplacementSign", plus ? 1 : -1}};
    return content;
}

// What the command line asks for, checked before anything is written.
struct Correction {
    std::string ap;
    std::string pa;
    fs::path folder;
    EstimateChoices choices;
    PairMetadata metadata;
    NiftiInfo apInfo;
    std::vector<Run> runs;  // --ap, --pa, then every --apply-to run
};

const std::array<const char*, 3> kMapOutputs{"displacement_voxels.nii.gz", "displacement_mm.nii.gz", "field_hz.nii.gz"};

// The projects, maps and copies that the plug-in's steps write into DIR/projects.
std::vector<std::string> projectFilesOf(const Correction& correction)
{
    std::vector<std::string> files;
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const std::string& project = correction.runs[index].project;
        const std::string copy = insertSuffix(project, "_undist");
        files.insert(files.end(), {project, savedDataFilePath(project), copy, savedDataFilePath(copy)});
        if (index < 2) files.push_back(mapPath(project));
    }
    return files;
}

// Every file the command writes, where it ends up, against every file it reads: an output
// that is an input, or a folder where an output goes, stops it before anything is written.
void requireOutputsApart(const Correction& correction)
{
    std::vector<StepFile> inputs;
    for (const Run& run : correction.runs) {
        inputs.push_back({run.image, ""});
        std::error_code error;
        if (fs::exists(sidecarPath(run.image), error)) inputs.push_back({sidecarPath(run.image), "sidecar of " + run.image});
    }
    std::vector<StepFile> outputs;
    for (const std::string& file : projectFilesOf(correction)) outputs.push_back({file, ""});
    const auto addResult = [&](const std::string& name) {
        outputs.push_back({(correction.folder / name).string(), ""});
        outputs.push_back({sidecarPath((correction.folder / name).string()), ""});
    };
    for (const Run& run : correction.runs) addResult(run.output);
    for (std::size_t map = 0; map < (correction.metadata.totalReadoutTime ? 3u : 2u); ++map) addResult(kMapOutputs[map]);
    outputs.push_back({(correction.folder / "qc.png").string(), ""});
    requireOutputsApartFromInputs(inputs, outputs);
    for (const StepFile& output : outputs) {
        std::error_code error;
        if (fs::is_directory(output.path, error))
            throw std::runtime_error("Cannot write " + output.path + ": a folder is in its place; nothing was written.");
    }
}

// The grid of the pair within what the estimate can work on, checked on the image.
void requireEstimableGrid(const Correction& correction)
{
    const char axis = correction.metadata.first.axis;
    const NiftiInfo& info = correction.apInfo;
    const double voxel = axis == 'i' ? info.voxelSize[0] : info.voxelSize[1];
    const int rows = axis == 'i' ? info.extent.x : info.extent.y;
    const std::string along = " along the phase-encoding axis " + std::string(1, axis);
    if (rows < kFewestRowsAlongPhaseEncoding)
        throw std::runtime_error("--ap " + correction.ap + " has " + std::to_string(rows) + " rows" + along +
                                 "; the estimate fits a stretch and a shift to every column and needs at least " +
                                 std::to_string(kFewestRowsAlongPhaseEncoding) + ".");
    if (voxel > kLargestVoxelAlongPhaseEncoding)
        throw std::runtime_error("--ap " + correction.ap + " has voxels of " + number(voxel) + " mm" + along +
                                 "; the estimate smooths 4 mm along that axis, which needs voxels of at most " +
                                 number(kLargestVoxelAlongPhaseEncoding) + " mm there.");
}

Correction resolveCorrection(const ParsedCommandLine& command)
{
    if (!command.has("--ap") || !command.has("--pa"))
        throw UsageError("--ap IMAGE and --pa IMAGE are required");
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
    std::optional<double> readoutTime;
    if (command.has("--readout-time")) readoutTime = parseSeconds(command.value("--readout-time"));
    correction.choices = parseEstimateChoices(command);
    correction.folder = command.has("--out") ? command.value("--out") : "varno-correct";

    correction.metadata = resolvePairMetadata(correction.ap, correction.pa, command.value("--pe-dir"), readoutTime);
    for (const std::string& note : correction.metadata.notes) std::cout << "Note: " << note << '\n';
    correction.apInfo = readNiftiInfo(correction.ap);
    const PairMetadata& metadata = correction.metadata;
    std::vector<Run>& runs = correction.runs;
    runs = {{correction.ap, metadata.first, {}, {}}, {correction.pa, metadata.second, {}, {}}};
    for (const std::string& image : command.values("--apply-to"))
        runs.push_back({image, resolveRunPhaseEncoding(image, command.value("--apply-pe-dir"), metadata.first.axis), {}, {}});
    for (std::size_t index = 0; index < runs.size(); ++index) {
        const Run& run = runs[index];
        const NiftiInfo info = index == 0 ? correction.apInfo : readNiftiInfo(run.image);
        for (const std::string& warning : info.warnings) std::cout << "Note: " << warning << '\n';
        if (info.extent != correction.apInfo.extent)
            throw std::runtime_error(run.image + " (" + extentText(info.extent) + ") does not have the extent of --ap " +
                                     correction.ap + " (" + extentText(correction.apInfo.extent) +
                                     "); all images must share one grid.");
        const int chosen = index == 0 ? correction.choices.volume0 : correction.choices.volume1;
        if (index < 2 && chosen >= info.volumes)
            throw UsageError("--volumes counts from 0: " + std::string(index == 0 ? "--ap " : "--pa ") + run.image +
                             " has " + std::to_string(info.volumes) + (info.volumes == 1 ? " volume" : " volumes") +
                             ", so volume " + std::to_string(chosen) + " does not exist");
    }
    requireEstimableGrid(correction);
    nameRuns(runs, correction.folder);
    requireOutputsApart(correction);
    return correction;
}

// The volume the map is estimated from, within what the estimate can work on.
void requireEstimableVolume(const std::string& image, int index, const VolumeValues& values)
{
    const std::string volume = "Volume " + std::to_string(index) + " of " + image;
    if (values.nonFinite > 0)
        throw std::runtime_error(volume + " holds " + std::to_string(values.nonFinite) +
                                 " voxels that are not finite numbers (NaN or infinite); the map cannot be estimated "
                                 "from it. Choose another with --volumes.");
    if (values.largest > kLargestIntensity)
        throw std::runtime_error(volume + " holds intensities up to " + number(values.largest) +
                                 "; the estimate works in single precision on intensities of at most " +
                                 number(kLargestIntensity) + " in magnitude. Scale the image down.");
}

// The images as projects in DIR/projects. The volumes the map is estimated from must be
// finite; elsewhere values that are not are kept and reported.
void importRuns(const Correction& correction, OutputTransaction& outputs)
{
    outputs.makeFolder(correction.folder / "projects");
    for (const std::string& file : projectFilesOf(correction)) outputs.writesInPlace(file);
    std::cout << "Phase encoding: --ap " << correction.metadata.first.text() << ", --pa "
              << correction.metadata.second.text() << '\n';
    std::cout << "Importing " << correction.runs.size() << " images into "
              << (correction.folder / "projects").string() << " ...\n";
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const Run& run = correction.runs[index];
        const NiftiImport imported = importNifti(run.image, run.project);
        if (index < 2) {
            const int chosen = index == 0 ? correction.choices.volume0 : correction.choices.volume1;
            requireEstimableVolume(run.image, chosen, imported.values[static_cast<std::size_t>(chosen)]);
        }
        std::size_t total = 0;
        for (const VolumeValues& values : imported.values) total += values.nonFinite;
        if (total > 0)
            std::cout << "Note: " << run.image << " holds " << total
                      << " voxels that are not finite numbers (NaN or infinite); the correction keeps them, and "
                         "their neighbours along the phase-encoding axis may take them over.\n";
    }
}

// Estimates the map from the pair and corrects the pair and every further run through
// the plug-in's tasks. Returns the exit status of the first task that failed, else 0.
int estimateAndApply(const Correction& correction)
{
    const std::vector<Run>& runs = correction.runs;
    HostState& state = hostState();
    state.yesNo = YesNoAnswer::No;
    state.stringParameters["file0"] = runs[0].project;
    state.stringParameters["file1"] = runs[1].project;
    storeEstimateChoices(correction.choices, state);
    state.intParameters["rllr"] = correction.metadata.first.axis == 'i';
    state.intParameters["apply_to_input"] = 1;
    state.intParameters["save_derivative"] = 0;
    std::cout << "Estimating the displacement map and correcting --ap and --pa ...\n";
    int status = runPluginTask("estimate");
    if (status != 0) return status;
    // A map left by an earlier run must not pass for this one's when the estimate gives up.
    if (const int gaveUp = requireMapsSaved("correct"); gaveUp != 0) return gaveUp;
    for (std::size_t index = 2; index < runs.size(); ++index) {
        const bool plus = runs[index].direction == correction.metadata.first;
        state.stringParameters["vdm"] = mapPath(runs[plus ? 0 : 1].project);
        state.stringParameters["files"] = runs[index].project + "\n";
        status = runPluginTask("apply");
        if (status != 0) return status;
    }
    return 0;
}

// Every corrected run as NIfTI with the geometry of its input, and its sidecar.
void exportCorrectedRuns(const Correction& correction, OutputTransaction& outputs, std::vector<std::string>& written)
{
    std::cout << "Exporting into " << correction.folder.string() << " ...\n";
    for (const Run& run : correction.runs) {
        NiftiStorage storage = NiftiStorage::Float32;
        const std::vector<Volume> volumes = readProjectOrMapVolumes(insertSuffix(run.project, "_undist"), storage);
        writeNiftiLike(outputs.staged(run.output), volumes, storage, run.image, "VARNO distortion-corrected");
        writeJsonFile(outputs.staged(sidecarPath(run.output)), correctedSidecar(run, correction.runs[0]));
        written.push_back((correction.folder / run.output).string());
    }
}

// The displacement in voxels and mm, and the field in Hz when the readout time is known,
// on the grid of --ap, each with a sidecar giving its units and sign convention.
void exportMaps(const Correction& correction, OutputTransaction& outputs, std::vector<std::string>& written)
{
    const std::string& ap = correction.ap;
    const PairMetadata& metadata = correction.metadata;
    const Volume map = readFiniteVdmMap(mapPath(correction.runs[0].project));
    const char axis = metadata.first.axis;
    const double voxelSize = axis == 'i' ? correction.apInfo.voxelSize[0] : correction.apInfo.voxelSize[1];
    const std::string direction = metadata.first.text();
    const std::string signConvention =
        "d at each voxel p of the undistorted grid: the signal of p appears at p + d along +" + std::string(1, axis) +
        " in --ap " + ap + " (PhaseEncodingDirection " + direction + "), so its correction samples it at p + d; --pa " +
        correction.pa + " is displaced by -d.";
    const auto writeMap = [&](const std::string& name, const Volume& values, const std::string& units,
                              const std::string& description, const std::string& sign, nlohmann::json extra) {
        writeNiftiLike(outputs.staged(name), {values}, NiftiStorage::Float32, ap, "VARNO " + description.substr(0, 60));
        nlohmann::json content = {{"Description", description},
                                  {"Units", units},
                                  {"SignConvention", sign},
                                  {"PhaseEncodingAxis", std::string(1, axis)},
                                  {"ReferenceImage", ap},
                                  {"ReferencePhaseEncodingDirection", direction}};
        content.update(extra);
        writeJsonFile(outputs.staged(sidecarPath(name)), content);
        written.push_back((correction.folder / name).string());
    };
    writeMap(kMapOutputs[0], map, "voxels",
             "Voxel displacement of --ap along the phase-encoding axis, in voxels", signConvention,
             nlohmann::json::object());
    writeMap(kMapOutputs[1], map * static_cast<float>(voxelSize), "mm",
             "Voxel displacement of --ap along the phase-encoding axis, in mm", signConvention,
             {{"VoxelSizeAlongAxis", voxelSize}});
    if (metadata.totalReadoutTime) {
        const double scale = metadata.first.polarity / *metadata.totalReadoutTime;
        writeMap(kMapOutputs[2], map * static_cast<float>(scale), "Hz",
                 "Off-resonance field in Hz: displacement in voxels / TotalReadoutTime",
                 "An image acquired with PhaseEncodingDirection " + std::string(1, axis) +
                     " is displaced by field x TotalReadoutTime voxels along +" + std::string(1, axis) +
                     ", one acquired with " + std::string(1, axis) + "- by the same along -" + std::string(1, axis) +
                     ".",
                 {{"TotalReadoutTime", *metadata.totalReadoutTime}});
    }
}

// The quality-control picture of the pair; returns its caption.
std::vector<std::string> writeQc(const Correction& correction, OutputTransaction& outputs, std::vector<std::string>& written)
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
    const QcPicture qc = writePairQcPicture(pair, outputs.staged("qc.png"));
    written.push_back((correction.folder / "qc.png").string());
    return qc.caption;
}

int correct(const ParsedCommandLine& command)
{
    const Correction correction = resolveCorrection(command);
    // Everything is written through the transaction: a step that fails takes back what
    // the steps before it wrote.
    OutputTransaction outputs(correction.folder);
    importRuns(correction, outputs);
    if (const int status = estimateAndApply(correction); status != 0) return status;

    std::vector<std::string> written;
    exportCorrectedRuns(correction, outputs, written);
    exportMaps(correction, outputs, written);
    const std::vector<std::string> caption = writeQc(correction, outputs, written);
    outputs.commit();

    std::cout << "\n";
    for (const std::string& line : caption) std::cout << line << '\n';
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
