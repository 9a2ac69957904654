// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/fieldmapcorrection.h"

#include <cmath>
#include <iostream>
#include <sstream>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/progressline.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "nifti/fieldtransfer.h"
#include "nifti/jsonfile.h"
#include "nifti/niftiprojects.h"

namespace {

namespace fs = std::filesystem;

std::string percent(double fraction)
{
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(1);
    text << 100.0 * fraction << " %";
    return text.str();
}

std::string staged(const FieldMapCorrection& correction, const std::string& name)
{
    return ((correction.staging.empty() ? correction.folder : correction.staging) / name).string();
}

// The field map's head widened by the margin, in whole layers of voxels.
VoxelMask coverageSupport(const FieldMap& map)
{
    const auto& voxel = map.grid.voxelSize;
    const double mean = (voxel[0] + voxel[1] + voxel[2]) / 3.0;
    const int layers = std::max(1, static_cast<int>(std::lround(kCoverageMarginMm / mean)));
    return dilateMask(map.estimate.mask, map.grid.extent, layers);
}

std::vector<std::string> sourcesOf(const FieldMapInputs& inputs)
{
    std::vector<std::string> sources{inputs.phase.path};
    if (inputs.phase2) sources.push_back(inputs.phase2->path);
    sources.push_back(inputs.magnitude.path);
    if (inputs.magnitude2) sources.push_back(inputs.magnitude2->path);
    return sources;
}

}  // namespace

CorrectionRun fieldMapRun(const std::string& image, PhaseEncoding direction, const std::string& directionSource,
                          const ReadoutTime& readout)
{
    CorrectionRun run{image, direction, readNiftiInfo(image), readout.seconds, true, {}, {}, directionSource, readout.rule};
    return run;
}

std::string displacementOutput(const CorrectionRun& run)
{
    const std::string corrected = "_corrected.nii.gz";
    return run.output.substr(0, run.output.size() - corrected.size()) + "_displacement_voxels.nii.gz";
}

int correctRunWithField(const FieldMapCorrection& correction, const FieldMap& map, const CorrectionRun& run,
                        CorrectedRun& result)
{
    std::cout << "Correcting " << run.image << " (" << run.direction.text() << ", readout time " << *run.readoutTime
              << " s) with the field ...\n";
    result.before = firstImageVolume(run.image);
    result.covered = coveredFraction(headMask(result.before), run.grid, coverageSupport(map), map.grid);
    if (result.covered < kLeastFieldCoverage)
        throw FieldCoverageError(run.image + ": " + percent(1.0 - result.covered) + " of its head lies outside the field map " +
                                 map.gridImage + " (its grid and the head in its magnitude, widened by " +
                                 std::to_string(static_cast<int>(kCoverageMarginMm)) + " mm); at least " +
                                 percent(kLeastFieldCoverage) + " must lie on it.");
    const NiftiImport imported = importNifti(run.image, run.project, {}, volumeProgress("  importing " + run.image));
    const double scale = run.direction.polarity * *run.readoutTime;
    result.displacement = resampleThroughWorld(map.estimate.hertz, map.grid, run.grid, scale, BeyondGrid::NearestEdge);
    writeVdmMapFile(makeVdmMapFile(mapPath(run.project), result.displacement));

    HostState& state = hostState();
    state.yesNo = YesNoAnswer::No;
    state.stringParameters["vdm"] = mapPath(run.project);
    state.stringParameters["files"] = run.project + "\n";
    state.intParameters["rllr"] = run.direction.axis == 'i';
    state.intParameters["intensity_correction"] = correction.intensityCorrection;
    if (const int status = runPluginTask("apply"); status != 0) return status;
    std::size_t nonFinite = 0;
    for (const VolumeValues& values : imported.values) nonFinite += values.nonFinite;
    if (nonFinite > 0)
        std::cout << "Note: " << run.image << " holds " << nonFinite
                  << " voxels that are not finite numbers (NaN or infinite); the correction keeps them.\n";
    return 0;
}

nlohmann::json fieldDescription(const FieldMap& map)
{
    const FieldMapInputs& inputs = map.inputs;
    nlohmann::json content = {
        {"Units", "Hz"},
        {"FieldMapKind", fieldMapKindKey(inputs.kind)},
        {"Sources", sourcesOf(inputs)},
        {"StoredAs", map.stored},
        {"MaskVoxels", maskCount(map.estimate.mask)},
        {"LargestFieldInMask", map.estimate.largestHertz},
        {"Extension", "carried beyond the head's mask over the whole grid, layer by layer from the mean of the known "
                      "neighbours"},
        {"SmoothingStandardDeviationMm", map.smoothingMm},
        {"SignConvention", "An image acquired with PhaseEncodingDirection j (or i) is displaced by field x "
                           "TotalReadoutTime voxels along +j (+i); one acquired with j- (i-) by the same along -j (-i)."}};
    if (map.echoTimes) {
        content["EchoTime1"] = map.echoTimes->first;
        content["EchoTime2"] = map.echoTimes->second;
        content["EchoTimeSource"] = map.echoTimes->source;
    }
    if (const std::optional<UnwrappedPhase>& u = map.estimate.unwrapping) {
        content["Unwrapping"] = {{"Method", "quality-guided region growing in 3-D (wrapped second differences), pieces "
                                            "of the mask aligned by the field's continuity, median inside the mask "
                                            "nearest zero"},
                                 {"Pieces", u->pieces},
                                 {"NeighbourPairs", u->neighbourPairs},
                                 {"JumpsLeft", u->jumpsLeft},
                                 {"OffsetTurns", u->offsetTurns}};
    }
    return content;
}

void exportField(const FieldMapCorrection& correction, const FieldMap& map, const std::string& name,
                 const nlohmann::json& extra, std::vector<std::string>& written)
{
    const std::string path = staged(correction, name);
    fs::create_directories(fs::path(path).parent_path());
    writeNiftiLike(path, {map.estimate.hertz}, NiftiStorage::Float32, map.inputs.phase.path, "VARNO field map in Hz");
    nlohmann::json content = fieldDescription(map);
    content["Description"] = "Off-resonance field in Hz from the " + fieldMapKindText(map.inputs.kind) + " " +
                             map.inputs.phase.label + " (VARNO).";
    content.update(extra);
    writeJsonFile(sidecarPath(path), content);
    written.push_back((correction.folder / name).string());
}

void exportFieldMapRun(const FieldMapCorrection& correction, const FieldMap& map, const CorrectionRun& run,
                       CorrectedRun& result, const std::string& fieldName, std::vector<std::string>& written)
{
    const std::string axis(1, run.direction.axis);
    const nlohmann::json correctionEntry = {{"FieldMap", fieldName},
                                            {"FieldMapKind", fieldMapKindKey(map.inputs.kind)},
                                            {"DisplacementMap", fs::path(displacementOutput(run)).filename().string()},
                                            {"PhaseEncodingDirection", run.direction.text()},
                                            {"TotalReadoutTime", *run.readoutTime},
                                            {"TotalReadoutTimeSource", run.readoutTimeRule},
                                            {"CoveredFraction", result.covered},
                                            {"IntensityCorrection", correction.intensityCorrection}};

    const std::string output = staged(correction, fs::path(run.output).lexically_relative(correction.folder).string());
    exportProjectToNifti(insertSuffix(run.project, "_undist"), output, run.image, "VARNO distortion-corrected",
                         volumeProgress("  exporting " + run.output));
    result.after = firstImageVolume(output);
    nlohmann::json content = readSidecar(run.image).content;
    content["Description"] = "Distortion-corrected copy of " + run.image + ", every volume resampled along " + axis +
                             " with its displacement: the field of " + fieldName +
                             " carried into its grid, times its TotalReadoutTime and the sign of its phase encoding "
                             "(VARNO)." +
                             (correction.intensityCorrection
                                  ? " Each volume is multiplied by the Jacobian of that correction, 1 + "
                                    "d(displacement)/d" + axis + "."
                                  : "");
    content["Sources"] = nlohmann::json::array({run.image});
    content["DistortionCorrection"] = correctionEntry;
    writeJsonFile(sidecarPath(output), content);
    written.push_back(run.output);

    const std::string displacement = staged(correction, fs::path(displacementOutput(run)).lexically_relative(correction.folder).string());
    writeNiftiLike(displacement, {result.displacement}, NiftiStorage::Float32, run.image,
                   "VARNO displacement in voxels");
    writeJsonFile(sidecarPath(displacement),
                  {{"Description", "Displacement of " + run.image + " along its phase-encoding axis, in voxels: the "
                                   "field carried into its grid x TotalReadoutTime x the sign of its direction."},
                   {"Units", "voxels"},
                   {"PhaseEncodingAxis", axis},
                   {"SignConvention", "d at each voxel p of the undistorted grid: the signal of p appears at p + d along "
                                      "+" + axis + " in the run, so its correction samples it at p + d."},
                   {"ReferenceImage", run.image},
                   {"DistortionCorrection", correctionEntry}});
    written.push_back(displacementOutput(run));
}
