// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/combination.h"

#include <filesystem>
#include <iostream>

#include <nlohmann/json.hpp>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "cli/progressline.h"
#include "cli/stopsignals.h"
#include "commands/fileproblems.h"
#include "commands/outputtransaction.h"
#include "correction/correction.h"
#include "estimate/estimatelimits.h"
#include "files/diffusionpairing.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "nifti/fieldtransfer.h"
#include "nifti/jsonfile.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTakenAsAligned = "not estimated: the copies are taken as aligned";

// What the sidecar says of copies moved by the head's motion from source.
std::string movedCopiesText(const std::string& source)
{
    return "every volume of the minus run moved into the frame of the same volume of the plus run before the "
           "combination, by the head's motion " +
           source;
}

constexpr const char* kCombinationMethod =
    "least-squares restoration of both phase-encoding directions where the map compresses a copy, blended into the "
    "mean of the intensity-corrected copies where it is mild";

std::vector<float> bValues(const GradientTable& table)
{
    std::vector<float> values;
    for (const auto& entry : table) values.push_back(entry[3]);
    return values;
}

std::vector<Point3> directions(const GradientTable& table)
{
    std::vector<Point3> values;
    for (const auto& entry : table) values.push_back({entry[0], entry[1], entry[2]});
    return values;
}

bool exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// The displacement of --plus in its own voxels: --map as it is (on the runs' grid only),
// or --field times the readout time and the direction's polarity, carried into the runs'
// grid when it lies on another.
Volume plusDisplacement(const ParsedCommandLine& command, const NiftiInfo& grid, const PairMetadata& metadata,
                        std::string& source)
{
    const bool field = command.has("--field");
    source = command.value(field ? "--field" : "--map");
    const NiftiImage image = readNifti(source);
    if (image.volumes.size() != 1)
        throw std::runtime_error(source + " holds " + std::to_string(image.volumes.size()) +
                                 " volumes; a displacement map or field is one volume.");
    if (const std::size_t nonFinite = nonFiniteVoxels(image.volumes.front()); nonFinite > 0)
        throw std::runtime_error(source + " holds " + std::to_string(nonFinite) +
                                 " voxels that are not finite numbers; it cannot be applied.");
    const bool onGrid = sameGrid(image.info, grid);
    if (!field) {
        if (!onGrid)
            throw std::runtime_error("--map " + source + " (" + extentText(image.info.extent) +
                                     ") is not on the grid of --plus " + command.value("--plus") + " (" +
                                     extentText(grid.extent) +
                                     "); a displacement in voxels belongs to its grid. Give the field in Hz with --field "
                                     "to carry it into the runs' grid.");
        return image.volumes.front();
    }
    if (!metadata.totalReadoutTime)
        throw std::runtime_error("--field needs the total readout time of the runs to turn Hz into voxels: give "
                                 "\"TotalReadoutTime\" in their sidecars or --readout-time SECONDS.");
    const double readout = *metadata.totalReadoutTime;
    if (onGrid) return image.volumes.front() * static_cast<float>(readout * metadata.first.polarity);
    std::cout << "Note: the field " << source << " is not on the grid of the runs; it is carried into it.\n";
    const EncodedGrid fieldGrid{image.info, PhaseEncoding{metadata.first.axis, 1}, 1.0};
    return transferDisplacement(image.volumes.front(), fieldGrid, {grid, metadata.first, readout});
}

std::string bvalOf(const std::string& image)
{
    return withoutNiftiExtension(image) + ".bval";
}

std::string bvecOf(const std::string& image)
{
    return withoutNiftiExtension(image) + ".bvec";
}

// The run's project name in folder: STEM.fmr, or STEM.dmr for a diffusion run.
std::string runProject(const std::string& folder, const std::string& stem, bool diffusion)
{
    return (fs::path(folder) / (stem + (diffusion ? ".dmr" : ".fmr"))).string();
}

// Runs the plug-in's "combine" on two projects with the map of the first (a .map file in
// the stored orientation); returns the step's exit status. The result is
// insertSuffix(plus, "_combined").
int combineProjectsThroughPlugin(const std::string& plus, const std::string& minus, const std::string& map,
                                 bool leftRight, const std::array<std::string, 2>& motion)
{
    HostState& state = hostState();
    state.stringParameters["file0"] = plus;
    state.stringParameters["file1"] = minus;
    state.stringParameters["vdm"] = map;
    state.stringParameters["combine_motion0"] = motion[0];
    state.stringParameters["combine_motion1"] = motion[1];
    state.intParameters["rllr"] = leftRight;
    return runPluginTask("combine");
}

// The sidecar of a combined run: the plus run's, without its single phase-encoding
// direction, saying from which runs and with which map it was combined.
nlohmann::json combinedSidecar(const std::string& plus, const std::string& minus, const std::string& plusDirection,
                               const std::string& minusDirection, const std::string& mapKey, const std::string& map,
                               const std::string& motion)
{
    nlohmann::json content = readSidecar(plus).content;
    content.erase("PhaseEncodingDirection");
    content["Description"] = "Combination of " + plus + " (PhaseEncodingDirection " + plusDirection + ") and " +
                             minus + " (" + minusDirection +
                             "), the same run acquired once in each direction: every pair of volumes combined into "
                             "one undistorted volume, the one that explains both copies where the map compresses a "
                             "copy, the mean of the intensity-corrected copies where it is mild; values below 0 "
                             "clipped to 0 (VARNO).";
    content["Sources"] = nlohmann::json::array({plus, minus});
    content["DistortionCorrection"] = {{"Method", kCombinationMethod},
                                       {"Combined", true},
                                       {"CombinedFrom", nlohmann::json::array({plus, minus})},
                                       {"PhaseEncodingDirections", nlohmann::json::array({plusDirection, minusDirection})},
                                       {mapKey, map},
                                       {"MotionBetweenCopies", motion}};
    return content;
}

}  // namespace

PairedGradients requirePairedRuns(const std::string& plus, const std::string& minus, int volumes)
{
    PairedGradients gradients;
    const bool plusTable = exists(bvalOf(plus)), minusTable = exists(bvalOf(minus));
    if (!plusTable && !minusTable) return gradients;
    if (plusTable != minusTable)
        throw std::runtime_error((plusTable ? bvalOf(plus) : bvalOf(minus)) + " gives b-values, but " +
                                 (plusTable ? minus : plus) + " has no " + bvalOf(plusTable ? minus : plus) +
                                 "; both copies of a diffusion run need their gradient tables.");
    gradients.plus = readGradientTable(bvalOf(plus), bvecOf(plus), volumes);
    gradients.minus = readGradientTable(bvalOf(minus), bvecOf(minus), volumes);
    gradients.bval = bvalOf(plus);
    gradients.bvec = bvecOf(plus);
    const std::optional<MeasurementDifference> difference = firstDifferingMeasurement(
        bValues(gradients.plus), directions(gradients.plus), bValues(gradients.minus), directions(gradients.minus));
    if (difference)
        throw std::runtime_error("Volume " + std::to_string(difference->volume) + " of " + plus + " and of " + minus +
                                 " differ (" + bvalOf(plus) + ", " + bvecOf(plus) + " against " + bvalOf(minus) + ", " +
                                 bvecOf(minus) + "): " + difference->text +
                                 ". The two runs must hold the same volumes, acquired once in each direction.");
    return gradients;
}

int combineNiftiRuns(const ParsedCommandLine& command, const std::array<std::string, 2>& motion)
{
    for (const char* option : {"--plus", "--minus", "--out"})
        if (!command.has(option)) throw UsageError(std::string(option) + " is required (or give two projects)");
    if (command.has("--map") == command.has("--field")) throw UsageError("give either --map or --field");
    const std::string plus = command.value("--plus"), minus = command.value("--minus"), out = command.value("--out");
    for (const std::string& image : {plus, minus, out, command.value(command.has("--map") ? "--map" : "--field")}) {
        requirePlainPath(image);
        if (!isNiftiName(image)) throw UsageError("expected a .nii or .nii.gz image, got \"" + image + "\"");
    }
    try {
        if (sameFile(plus, minus))
            throw std::runtime_error(plus + " is given as both --plus and --minus; combine needs the run acquired with "
                                            "each phase-encoding direction.");
        const PairMetadata metadata = resolvePairMetadata(plus, minus, command.value("--pe-dir"),
                                                          optionalSeconds(command, "--readout-time"),
                                                          {"--plus", "--minus"});
        // Without --field the readout time is not needed, nor a note that it is missing.
        for (const std::string& note : metadata.notes)
            if (command.has("--field") || note.find("TotalReadoutTime") == std::string::npos)
                std::cout << "Note: " << note << '\n';
        const NiftiInfo grid = readNiftiInfo(plus);
        const NiftiInfo minusGrid = readNiftiInfo(minus);
        if (minusGrid.extent != grid.extent || minusGrid.volumes != grid.volumes)
            throw std::runtime_error("--minus " + minus + " (" + extentText(minusGrid.extent) + ", " +
                                     std::to_string(minusGrid.volumes) + " volumes) does not match --plus " + plus +
                                     " (" + extentText(grid.extent) + ", " + std::to_string(grid.volumes) +
                                     " volumes); the two runs must hold the same volumes on one grid.");
        const PairedGradients gradients = requirePairedRuns(plus, minus, grid.volumes);
        std::string mapSource;
        const Volume map = plusDisplacement(command, grid, metadata, mapSource);

        const fs::path folder = fs::path(out).has_parent_path() ? fs::path(out).parent_path() : fs::path(".");
        const std::string outBval = withoutNiftiExtension(out) + ".bval", outBvec = withoutNiftiExtension(out) + ".bvec";
        std::vector<StepFile> inputs{{plus, ""}, {minus, ""}, {mapSource, ""}};
        for (const std::string& file : motion)
            if (!file.empty()) inputs.push_back({file, ""});
        for (const std::string& image : {plus, minus})
            if (exists(sidecarPath(image))) inputs.push_back({sidecarPath(image), "sidecar of " + image});
        if (!gradients.bval.empty())
            for (const std::string& image : {plus, minus}) {
                inputs.push_back({bvalOf(image), ""});
                inputs.push_back({bvecOf(image), ""});
            }
        std::vector<StepFile> outputs{{out, ""}, {sidecarPath(out), ""}};
        if (!gradients.bval.empty()) outputs.insert(outputs.end(), {{outBval, ""}, {outBvec, ""}});
        requireOutputsApartFromInputs(inputs, outputs);

        OutputTransaction transaction(folder, out);
        describeUndone([out] { return out + " was not written (what was there before is as it was)."; });
        const std::string projects = (transaction.workFolder() / "projects").string();
        fs::create_directories(projects);
        const bool diffusion = !gradients.bval.empty();
        std::string minusStem = imageStem(minus);
        if (minusStem == imageStem(plus)) minusStem += "_minus";
        const std::string plusProject = runProject(projects, imageStem(plus), diffusion);
        const std::string minusProject = runProject(projects, minusStem, diffusion);
        std::cout << "Importing " << plus << " and " << minus << " ...\n";
        importNifti(plus, plusProject, gradients.plus, volumeProgress("  importing " + plus));
        importNifti(minus, minusProject, gradients.minus, volumeProgress("  importing " + minus));
        const std::string mapFile = insertSuffix(replaceExtension(plusProject, "map"), "_vdm");
        writeVdmMapFile(makeVdmMapFile(mapFile, map));
        const int status =
            combineProjectsThroughPlugin(plusProject, minusProject, mapFile, metadata.first.axis == 'i', motion);
        if (status != 0) {
            if (status == 1) explainFailedTask("combine", {mapFile}, {plusProject, minusProject});
            return status;
        }

        const fs::path staged = transaction.workFolder() / fs::path(out).filename();
        exportProjectToNifti(insertSuffix(plusProject, "_combined"), staged.string(), plus,
                             "VARNO combined both directions", volumeProgress("  exporting " + out));
        writeJsonFile(sidecarPath(staged.string()),
                      combinedSidecar(plus, minus, metadata.first.text(), metadata.second.text(),
                                      command.has("--field") ? "FieldMap" : "DisplacementMap", mapSource,
                                      motion[0].empty() ? kTakenAsAligned
                                                        : movedCopiesText("in " + motion[0] + " and " + motion[1])));
        std::vector<std::string> written{out, sidecarPath(out)};
        if (diffusion) {
            fs::copy_file(gradients.bval, transaction.workFolder() / fs::path(outBval).filename());
            fs::copy_file(gradients.bvec, transaction.workFolder() / fs::path(outBvec).filename());
            written.insert(written.end(), {outBval, outBvec});
        }
        transaction.commit();
        std::cout << "\nWritten:\n";
        for (const std::string& path : written) std::cout << "  " << path << '\n';
        return 0;
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& error) {
        return reportFailure("combine", error);
    }
}

std::vector<CombinedRuns> pairRunsToCombine(const Correction& correction)
{
    std::vector<std::size_t> plus, minus;
    for (std::size_t index = 2; index < correction.runs.size(); ++index) {
        const CorrectionRun& run = correction.runs[index];
        if (run.carried)
            throw std::runtime_error("--combine pairs runs on the grid of --ap, read out in the pair's time: " +
                                     run.image + " is not.");
        (run.direction == correction.metadata.first ? plus : minus).push_back(index);
    }
    if (plus.size() != minus.size() || plus.empty())
        throw std::runtime_error("--combine pairs the --apply-to runs of the two directions in the order given, but " +
                                 std::to_string(plus.size()) + " runs have the direction of --ap (" +
                                 correction.metadata.first.text() + ") and " + std::to_string(minus.size()) +
                                 " the other (" + correction.metadata.second.text() + ").");
    std::vector<CombinedRuns> pairs;
    for (std::size_t n = 0; n < plus.size(); ++n) {
        const CorrectionRun& a = correction.runs[plus[n]];
        const CorrectionRun& b = correction.runs[minus[n]];
        if (a.grid.volumes != b.grid.volumes)
            throw std::runtime_error("--combine pairs " + a.image + " (" + std::to_string(a.grid.volumes) +
                                     " volumes) with " + b.image + " (" + std::to_string(b.grid.volumes) +
                                     " volumes); the two runs must hold the same volumes, acquired once in each "
                                     "direction.");
        CombinedRuns pair;
        pair.plus = plus[n];
        pair.minus = minus[n];
        pair.gradients = requirePairedRuns(a.image, b.image, a.grid.volumes);
        const std::string stem = fs::path(a.output).filename().string();
        const std::string combined = stem.substr(0, stem.size() - std::string("_corrected.nii.gz").size()) + "_combined";
        pair.output = (correction.folder / (combined + ".nii.gz")).string();
        pair.project = insertSuffix(a.project, "_combined");
        pairs.push_back(std::move(pair));
    }
    return pairs;
}

void useEstimatedMotion(const Correction& correction, std::vector<CombinedRuns>& pairs)
{
    if (!correction.choices.motion) return;
    const HostState& state = hostState();
    const auto file = [&](const char* name) {
        const auto found = state.stringParameters.find(name);
        return found == state.stringParameters.end() ? std::string() : found->second;
    };
    for (CombinedRuns& pair : pairs) {
        const std::string& plus = correction.runs[pair.plus].image;
        const std::string& minus = correction.runs[pair.minus].image;
        if (sameFile(plus, correction.ap) && sameFile(minus, correction.pa) && !file("motion_file0").empty() &&
            !file("motion_file1").empty()) {
            pair.motion = {file("motion_file0"), file("motion_file1")};
            pair.motionText = movedCopiesText("that the estimate found in --ap and --pa (motion_ap.tsv, motion_pa.tsv)");
        } else {
            std::cout << "Note: the head's motion is known in the volumes of --ap and --pa only; " << plus << " and "
                      << minus << " are combined as aligned.\n";
        }
    }
}

std::string motionBetweenCopiesText(const CombinedRuns& pair)
{
    return pair.motion[0].empty() ? kTakenAsAligned : pair.motionText;
}

int combineCorrectedRuns(const Correction& correction, const std::vector<CombinedRuns>& pairs,
                         std::vector<std::string>& written)
{
    const std::string map = mapPath(correction.runs[0].project);
    for (const CombinedRuns& pair : pairs) {
        const CorrectionRun& plus = correction.runs[pair.plus];
        const CorrectionRun& minus = correction.runs[pair.minus];
        const int status = combineProjectsThroughPlugin(plus.project, minus.project, map,
                                                        correction.metadata.first.axis == 'i', pair.motion);
        if (status != 0) return status;
        const std::string name = fs::path(pair.output).filename().string();
        const std::string output = resultPath(correction, name);
        exportProjectToNifti(pair.project, output, plus.image, "VARNO combined both directions",
                             volumeProgress("  exporting " + pair.output));
        writeJsonFile(sidecarPath(output), combinedSidecar(plus.image, minus.image, plus.direction.text(),
                                                           minus.direction.text(), "DisplacementMap",
                                                           "displacement_voxels.nii.gz", motionBetweenCopiesText(pair)));
        written.push_back(pair.output);
        if (!pair.gradients.bval.empty()) {
            const std::string stem = withoutNiftiExtension(name);
            fs::copy_file(pair.gradients.bval, resultPath(correction, stem + ".bval"));
            fs::copy_file(pair.gradients.bvec, resultPath(correction, stem + ".bvec"));
            written.push_back((correction.folder / (stem + ".bval")).string());
            written.push_back((correction.folder / (stem + ".bvec")).string());
        }
    }
    return 0;
}
