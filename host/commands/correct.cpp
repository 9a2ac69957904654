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
#include "commands/correction.h"
#include "commands/outputtransaction.h"
#include "estimate/estimatelimits.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "nifti/fieldtransfer.h"
#include "nifti/jsonfile.h"
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
        "sidecars say which were used.",
    .options =
        {
            {"--ap", "IMAGE", "the first acquisition (.nii or .nii.gz), corrected with +map (required)"},
            {"--pa", "IMAGE", "the second acquisition, opposite direction, corrected with -map (required)"},
            {"--apply-to", "RUN", "a further image to correct, all volumes", true},
            {"--out", "DIR", "output folder (default ./varno-correct)"},
            {"--pe-dir", "i|i-|j|j-", "phase-encoding direction of --ap; --pa takes the opposite"},
            {"--apply-pe-dir", "i|i-|j|j-", "phase-encoding direction of the --apply-to runs"},
            {"--readout-time", "SECONDS", "total readout time of the pair (0.001 to 1), for the field map in Hz"},
            {"--apply-readout-time", "SECONDS", "total readout time of the --apply-to runs (0.001 to 1)"},
            {"--volumes", "K0 K1", "volumes of --ap and --pa to estimate from, counted from 0 (default 0 0)", false, 2},
            {"--standard", "", "the standard estimate instead of the precise one"},
            {"--plain", "", "plain undistortion, without the intensity correction"},
            {"--ssd", "", "compare by mean squared difference instead of normalised cross-correlation"},
            {"--ic", "", "modulate the intensities by the stretch of the current map while estimating"},
            {"--fast", "", "only the standard column-wise estimate (much faster, less detailed)"},
            {"--order", "0|1|2", "smoothing of the inputs: 0 Gaussian (default), 1 or 2 its derivative"},
            {"--neurological", "", "the patient's left on the left of the pictures (default: right on the left)"},
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

double parseSeconds(const std::string& option, const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !plausibleReadoutTime(value))
        throw UsageError(option + " expects the total readout time in seconds, from " + number(kShortestReadoutTime) +
                         " to " + number(kLongestReadoutTime) + ", got \"" + printablePath(text) + "\"");
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

nlohmann::json methodJson(const CorrectionMethod& method)
{
    nlohmann::json content = {{"EstimationMethod", method.estimate}};
    if (!method.note.empty()) content["EstimationNote"] = method.note;
    return content;
}

nlohmann::json correctedSidecar(const CorrectionRun& run, const CorrectionRun& first, const CorrectionMethod& method)
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
    content["DistortionCorrection"]["IntensityCorrection"] = method.intensityCorrection;
    content["DistortionCorrection"].update(methodJson(method));
    if (method.intensityCorrection)
        content["Description"] = content["Description"].get<std::string>() +
                                 " Each volume is multiplied by the Jacobian of that correction, 1 + d(displacement)/d" +
                                 std::string(1, run.direction.axis) + " with the displacement it was resampled with, "
                                 "which restores the intensities that the distortion piled up or thinned out.";
    return content;
}

// Where a result named name is written: the staging folder, or the output folder itself.
std::string resultPath(const Correction& correction, const std::string& name)
{
    return ((correction.staging.empty() ? correction.folder : correction.staging) / name).string();
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

std::optional<double> optionalSeconds(const ParsedCommandLine& command, const std::string& option)
{
    if (!command.has(option)) return std::nullopt;
    return parseSeconds(option, command.value(option));
}

// A readout time from the sidecar, when it gives a usable one; one out of the physical
// range would carry the map as values that are not finite.
std::optional<double> sidecarReadoutTime(const std::string& image)
{
    const Sidecar sidecar = readSidecar(image);
    const auto entry = sidecar.content.find("TotalReadoutTime");
    if (entry == sidecar.content.end() || !entry->is_number() || !(entry->get<double>() > 0.0)) return std::nullopt;
    if (!plausibleReadoutTime(entry->get<double>()))
        throw MetadataError("\"TotalReadoutTime\" of " + sidecar.path + " is " + number(entry->get<double>()) +
                            "; it must be a number of seconds from " + number(kShortestReadoutTime) + " s to " +
                            number(kLongestReadoutTime) + " s. Correct it or pass --apply-readout-time SECONDS.");
    return entry->get<double>();
}

// The projects, maps and copies that the plug-in's steps (and the carrying of maps) write
// into DIR/projects.
std::vector<std::string> projectFilesOf(const Correction& correction)
{
    std::vector<std::string> files;
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const CorrectionRun& run = correction.runs[index];
        const std::string copy = insertSuffix(run.project, "_undist");
        files.insert(files.end(), {run.project, savedDataFilePath(run.project), copy, savedDataFilePath(copy)});
        if (index < 2 || run.carried) files.push_back(mapPath(run.project));
    }
    return files;
}

// Every file the command writes, where it ends up, against every file it reads: an output
// that is an input, or a folder where an output goes, stops it before anything is written.
void requireOutputsApart(const Correction& correction)
{
    std::vector<StepFile> inputs;
    for (const CorrectionRun& run : correction.runs) {
        inputs.push_back({run.image, ""});
        std::error_code error;
        if (fs::exists(sidecarPath(run.image), error)) inputs.push_back({sidecarPath(run.image), "sidecar of " + run.image});
    }
    std::vector<StepFile> outputs;
    for (const std::string& file : projectFilesOf(correction)) outputs.push_back({file, ""});
    const auto addResult = [&](const std::string& path) {
        outputs.push_back({path, ""});
        outputs.push_back({sidecarPath(path), ""});
    };
    for (const CorrectionRun& run : correction.runs) addResult(run.output);
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
        throw std::runtime_error("--ap " + correction.ap + " has voxels of " + number(voxel) + " mm" + along +
                                 "; the estimate smooths 4 mm along that axis, which needs voxels of at most " +
                                 number(kLargestVoxelAlongPhaseEncoding) + " mm there.");
}

// What the command line asks for, checked before anything is written.
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
        addRun(correction, image, resolveRunPhaseEncoding(image, applyPeDir, correction.metadata.first.axis),
               runReadoutTime ? runReadoutTime : sidecarReadoutTime(image));
        correction.runs.back().directionSource = applyPeDir.empty() ? sidecarPath(image) : "--apply-pe-dir";
    }
    for (const CorrectionRun& run : correction.runs)
        for (const std::string& warning : run.grid.warnings) std::cout << "Note: " << warning << '\n';
    requireEstimablePair(correction);
    nameRuns(correction);
    requireOutputsApart(correction);
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
    for (std::size_t index = 0; index < correction.runs.size(); ++index) {
        const CorrectionRun& run = correction.runs[index];
        const NiftiImport imported = importNifti(run.image, run.project);
        if (index < 2) {
            const int chosen = index == 0 ? correction.choices.volume0 : correction.choices.volume1;
            requireEstimableVolume(run.image, chosen, imported.values.at(static_cast<std::size_t>(chosen)));
        }
        std::size_t total = 0;
        for (const VolumeValues& values : imported.values) total += values.nonFinite;
        if (total > 0)
            std::cout << "Note: " << run.image << " holds " << total
                      << " voxels that are not finite numbers (NaN or infinite); the correction keeps them, and "
                         "their neighbours along the phase-encoding axis may take them over.\n";
    }
}

int estimateAndApply(const Correction& correction, CorrectionMethod& method)
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
    std::cout << "Estimating the displacement map (" << (correction.choices.precise ? "precise" : "standard")
              << " estimate) and correcting --ap and --pa ("
              << (correction.choices.intensityCorrection ? "with intensity correction" : "plain undistortion")
              << ") ...\n";
    state.stringParameters.erase("estimate_method");
    int status = runPluginTask("estimate");
    if (status != 0) return status;
    // A map left by an earlier run must not pass for this one's when the estimate gives up.
    if (const int gaveUp = requireMapsSaved("correct"); gaveUp != 0) return gaveUp;
    method.intensityCorrection = correction.choices.intensityCorrection;
    method.estimate = correction.choices.fast ? "standard column-wise estimate" : "standard full estimate";
    if (correction.choices.precise) {
        if (state.stringParameters["estimate_method"] == "precise")
            method.estimate = "precise";
        else
            method.note = "The precise estimate's map was checked against the standard full estimate and replaced by "
                          "it: the pair does not follow the spin-echo model of intensities (as gradient-echo pairs do "
                          "not).";
    }
    const Volume pairMap = readFiniteVdmMap(mapPath(runs[0].project));
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

void exportCorrectedRuns(const Correction& correction, const CorrectionMethod& method,
                         std::vector<std::string>& written)
{
    std::cout << "Exporting into " << correction.folder.string() << " ...\n";
    for (const CorrectionRun& run : correction.runs) {
        NiftiStorage storage = NiftiStorage::Float32;
        const std::vector<Volume> volumes = readProjectOrMapVolumes(insertSuffix(run.project, "_undist"), storage);
        const std::string output = resultPath(correction, fs::path(run.output).filename().string());
        writeNiftiLike(output, volumes, storage, run.image, "VARNO distortion-corrected");
        writeJsonFile(sidecarPath(output), correctedSidecar(run, correction.runs[0], method));
        written.push_back(run.output);
    }
}

void exportMaps(const Correction& correction, const CorrectionMethod& method, std::vector<std::string>& written)
{
    const std::string& ap = correction.ap;
    const PairMetadata& metadata = correction.metadata;
    const Volume map = readFiniteVdmMap(mapPath(correction.runs[0].project));
    const char axis = metadata.first.axis;
    const double voxelSize = axis == 'i' ? correction.runs[0].grid.voxelSize[0] : correction.runs[0].grid.voxelSize[1];
    const std::string direction = metadata.first.text();
    const std::string signConvention =
        "d at each voxel p of the undistorted grid: the signal of p appears at p + d along +" + std::string(1, axis) +
        " in --ap " + ap + " (PhaseEncodingDirection " + direction + "), so its correction samples it at p + d; --pa " +
        correction.pa + " is displaced by -d.";
    const auto writeMap = [&](const std::string& name, const Volume& values, const std::string& units,
                              const std::string& description, const std::string& sign, nlohmann::json extra) {
        const std::string path = resultPath(correction, name);
        writeNiftiLike(path, {values}, NiftiStorage::Float32, ap, "VARNO " + description.substr(0, 60));
        nlohmann::json content = {{"Description", description},
                                  {"Units", units},
                                  {"SignConvention", sign},
                                  {"PhaseEncodingAxis", std::string(1, axis)},
                                  {"ReferenceImage", ap},
                                  {"ReferencePhaseEncodingDirection", direction}};
        content.update(extra);
        content.update(methodJson(method));
        writeJsonFile(sidecarPath(path), content);
        written.push_back((correction.folder / name).string());
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
    qc.result = writeQcPicture(resultPath(correction, "qc.png"), qc.inputs);
    written.push_back((correction.folder / "qc.png").string());
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
    const auto start = std::chrono::steady_clock::now();
    Correction correction = resolveCorrection(command);
    // Everything is written through the transaction: a step that fails takes back what
    // the steps before it wrote.
    OutputTransaction outputs(correction.folder);
    outputs.makeFolder(correction.folder / "projects");
    for (const std::string& file : projectFilesOf(correction)) outputs.writesInPlace(file);
    correction.staging = outputs.workFolder();
    importRuns(correction);
    const auto estimateStart = std::chrono::steady_clock::now();
    CorrectionMethod method;
    if (const int status = estimateAndApply(correction, method); status != 0) return status;
    Timing timing;
    timing.estimateSeconds = secondsSince(estimateStart);

    std::vector<std::string> written;
    exportCorrectedRuns(correction, method, written);
    exportMaps(correction, method, written);
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
