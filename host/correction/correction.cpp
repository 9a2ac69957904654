// SPDX-License-Identifier: GPL-3.0-or-later
// The stages of "mindaro correct", shared with the dataset runs of "mindaro bids".
#include "correction/correction.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <set>

#include <nlohmann/json.hpp>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/numbertext.h"
#include "cli/progressline.h"
#include "estimate/estimatelimits.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "nifti/fieldtransfer.h"
#include "nifti/jsonfile.h"
#include "nifti/niftiprojects.h"
#include "report/qcprojects.h"

namespace {

namespace fs = std::filesystem;

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
                                           {"TotalReadoutTimeSource", run.readoutTimeRule},
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

// The volume the map is estimated from, within what the estimate can work on.
void requireEstimableVolume(const std::string& image, int index, const VolumeValues& values)
{
    const std::string volume = "Volume " + std::to_string(index) + " of " + image;
    if (values.nonFinite > 0)
        throw std::runtime_error(volume + " holds " + std::to_string(values.nonFinite) +
                                 " voxels that are not finite numbers (NaN or infinite); the map cannot be estimated "
                                 "from it. Choose another with --volumes.");
    if (values.largest > kLargestIntensity)
        throw std::runtime_error(volume + " holds intensities up to " + numberText(values.largest) +
                                 "; the estimate works in single precision on intensities of at most " +
                                 numberText(kLargestIntensity) + " in magnitude. Scale the image down.");
}

double parseSeconds(const std::string& option, const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !plausibleReadoutTime(value))
        throw UsageError(option + " expects the total readout time in seconds, from " + numberText(kShortestReadoutTime) +
                         " to " + numberText(kLongestReadoutTime) + ", got \"" + printablePath(text) + "\"");
    return value;
}

}  // namespace

std::optional<double> optionalSeconds(const ParsedCommandLine& command, const std::string& option)
{
    if (!command.has(option)) return std::nullopt;
    return parseSeconds(option, command.value(option));
}

std::string resultPath(const Correction& correction, const std::string& name)
{
    return ((correction.staging.empty() ? correction.folder : correction.staging) / name).string();
}

std::string extentText(const Dimensions& e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

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
    correction.runs = {{correction.ap, metadata.first, apGrid, metadata.totalReadoutTime, false, {}, {},
                        metadata.firstSource, metadata.readoutTimeRule},
                       {correction.pa, metadata.second, paGrid, metadata.totalReadoutTime, false, {}, {},
                        metadata.secondSource, metadata.readoutTimeRule}};
}

void addRun(Correction& correction, const std::string& image, PhaseEncoding direction,
            std::optional<double> readoutTime)
{
    const CorrectionRun& first = correction.runs.front();
    if (direction.axis != first.direction.axis)
        throw MetadataError(image + " has the phase-encoding direction \"" + direction.text() +
                            "\", but the pair was acquired along " + std::string(1, first.direction.axis) +
                            "; a run can be corrected only with a map along its own phase-encoding axis.");
    CorrectionRun run{image, direction, readNiftiInfo(image), readoutTime, false, {}, {}, {}, {}};
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
    nameRuns(correction.runs, correction.folder);
}

void nameRuns(std::vector<CorrectionRun>& runs, const std::filesystem::path& folder)
{
    std::set<std::string> taken;
    for (CorrectionRun& run : runs) {
        std::string stem = imageStem(run.image);
        for (int counter = 2; taken.count(stem) != 0; ++counter) stem = imageStem(run.image) + "_" + std::to_string(counter);
        taken.insert(stem);
        run.project = (folder / "projects" / (stem + ".fmr")).string();
        run.output = (folder / (stem + "_corrected.nii.gz")).string();
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
        const NiftiImport imported = importNifti(run.image, run.project, {}, volumeProgress("  importing " + run.image));
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
        const std::string output = resultPath(correction, fs::path(run.output).filename().string());
        exportProjectToNifti(insertSuffix(run.project, "_undist"), output, run.image, "VARNO distortion-corrected",
                             volumeProgress("  exporting " + run.output));
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
                 {{"TotalReadoutTime", *metadata.totalReadoutTime},
                  {"TotalReadoutTimeSource", metadata.readoutTimeRule}});
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
