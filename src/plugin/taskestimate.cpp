// SPDX-License-Identifier: GPL-3.0-or-later
#include <array>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/pairagreement.h"
#include "core/vdm.h"
#include "core/volumegauss.h"
#include "estimate/estimatelimits.h"
#include "estimate/preciseinputs.h"
#include "estimate/simplevdmestimate.h"
#include "estimate/standardcheck.h"
#include "estimate/vdmestimate.h"
#include "files/filenames.h"
#include "plugin/distcor.h"
#include "plugin/estimateinputs.h"
#include "plugin/parameters.h"
#include "plugin/precisecheck.h"
#include "plugin/projects.h"
#include "plugin/tasks.h"
#include "plugin/vdmmaps.h"

namespace {

struct EstimateSettings {
    std::array<std::string, 2> paths;
    std::array<int, 2> volumeIndex{};
    bool rllr = false;
    bool useIc = false;
    bool useSsd = false;
    bool applyToInput = false;
    bool saveDerivative = false;
    bool fastAlgorithm = false;
    int order = 0;
    bool precise = false;
    bool intensityCorrection = false;
};

EstimateSettings readEstimateSettings()
{
    EstimateSettings settings;
    settings.paths[0] = readStringParameter("file0");
    settings.paths[1] = readStringParameter("file1");
    settings.volumeIndex[0] = readIntParameter("volume0");
    settings.volumeIndex[1] = readIntParameter("volume1");
    settings.rllr = readFlagParameter("rllr");
    settings.useIc = readFlagParameter("use_ic");
    settings.useSsd = readFlagParameter("use_ssd");
    settings.applyToInput = readFlagParameter("apply_to_input");
    settings.saveDerivative = readFlagParameter("save_derivative");
    settings.fastAlgorithm = readFlagParameter("fast_algorithm");
    settings.order = readIntParameter("order");
    settings.precise = readFlagParameter("precise");
    settings.intensityCorrection = readFlagParameter("intensity_correction");
    return settings;
}

// The precise estimate, checked against the standard estimate with the user's settings.
PreciseOutcome preciseVdm(distcor& plugin, const Volume& a, const Volume& b, const std::array<double, 3>& voxel,
                          const EstimateSettings& settings)
{
    checkPreciseInputs(a, b, {"volume " + std::to_string(static_cast<std::uint32_t>(settings.volumeIndex[0])) +
                                  " of " + settings.paths[0],
                              "volume " + std::to_string(static_cast<std::uint32_t>(settings.volumeIndex[1])) +
                                  " of " + settings.paths[1]});
    return preciseMapChecked(plugin, a, b, voxel, {settings.useSsd, settings.useIc, settings.order});
}

std::vector<StepFile> inputFiles(const EstimateSettings& settings, const std::array<Project, 2>& projects)
{
    std::vector<StepFile> files;
    for (int j = 0; j < 2; ++j) {
        const std::vector<StepFile> project = projectFiles(settings.paths[j], projectHeader(projects[j]));
        files.insert(files.end(), project.begin(), project.end());
    }
    return files;
}

// The maps, the derivative maps and the copies that the settings ask for, in the order
// in which they are written.
std::vector<StepFile> outputFiles(const EstimateSettings& settings)
{
    std::vector<StepFile> files;
    for (const std::string& path : settings.paths) files.push_back({vdmMapName(path), "map of " + path});
    if (settings.saveDerivative)
        for (const std::string& path : settings.paths) files.push_back({derivativeMapName(path), "derivative map of " + path});
    if (settings.applyToInput)
        for (const std::string& path : settings.paths) {
            const std::vector<StepFile> copy = copyFiles(path);
            files.insert(files.end(), copy.begin(), copy.end());
        }
    return files;
}

}  // namespace

void taskEstimate(distcor& plugin)
{
    if (asksForSeveralVolumes()) {
        taskEstimateVolumes(plugin);
        return;
    }
    const EstimateSettings settings = readEstimateSettings();

    std::array<Project, 2> projects{readProject(settings.paths[0]), readProject(settings.paths[1])};

    // A project without any volume has no extent to compare: report it as an index
    // beyond its volumes.
    for (int j = 0; j < 2; ++j)
        if (projectVolumes(projects[j]).empty())
            throwVolumeOutOfRange(static_cast<std::uint32_t>(settings.volumeIndex[j]), settings.paths[j], 0);

    if (projectVolumes(projects[1]).front().dimensions() != projectVolumes(projects[0]).front().dimensions())
        throw std::runtime_error("All datasets must have the same dimensions!");

    for (int j = 0; j < 2; ++j) {
        const auto index = static_cast<std::uint32_t>(settings.volumeIndex[j]);
        const std::size_t count = projectVolumes(projects[j]).size();
        if (index >= count) throwVolumeOutOfRange(index, settings.paths[j], count);
    }

    Volume a = projectVolumes(projects[0])[static_cast<std::uint32_t>(settings.volumeIndex[0])];
    Volume b = projectVolumes(projects[1])[static_cast<std::uint32_t>(settings.volumeIndex[1])];
    if (settings.rllr) {
        a = a.transposeXY();
        b = b.transposeXY();
    }

    requireUsableVoxelSize(projectHeader(projects[0]), settings.paths[0]);
    const std::array<double, 3> voxel = voxelSize(projectHeader(projects[0]), settings.rllr);
    const Sigma3 sigma{0.5, 4.0 / voxel[1], 0.5};
    requireOutputsApartFromInputs(inputFiles(settings, projects), outputFiles(settings));
    const EstimateVolume first{a, settings.paths[0], static_cast<std::uint32_t>(settings.volumeIndex[0])};
    const EstimateVolume second{b, settings.paths[1], static_cast<std::uint32_t>(settings.volumeIndex[1])};
    requireEstimableInput(first, second, voxel[1], settings.rllr ? "InplaneResolutionX" : "InplaneResolutionY");

    plugin.log("Estimating voxel displacement maps...");

    Volume vdm;
    bool preciseMapKept = false;
    if (settings.precise) {
        PreciseOutcome outcome = preciseVdm(plugin, a, b, voxel, settings);
        vdm = std::move(outcome.map);
        preciseMapKept = outcome.precise;
    } else if (settings.fastAlgorithm) {
        vdm = smoothedColumnwiseVdm(a, b, sigma, settings.order, *plugin.logStream);
    } else {
        const EstimationSchedule schedule = standardEstimationSchedule(voxel);
        vdm = estimateVdm(a, b, sigma, settings.useSsd, schedule.localbox, schedule.s_values, schedule.vdm_smoothing,
                          settings.useIc, *plugin.logStream, settings.order);
        if (std::round(vdm(0, 0, 0)) == -99.0f) {
            plugin.log("Done.");
            return;
        }
    }
    requireFiniteMap(vdm, first, second, voxel[1]);

    const std::array<Volume, 2> maps{vdm, vdm * -1.0f};

    plugin.log("Saving voxel displacement maps to .map files...");
    savePairMaps(vdm, settings.paths, settings.rllr, settings.saveDerivative);

    if (settings.applyToInput) {
        plugin.log(settings.intensityCorrection ? "Applying voxel displacement maps with intensity correction..."
                                                : "Applying voxel displacement maps...");
        for (int j = 0; j < 2; ++j)
            undistortProject(maps[j], settings.paths[j], projects[j], settings.rllr, settings.intensityCorrection);
    }

    writeStringParameter("vdm", vdmMapName(settings.paths[0]));
    // Which map the precise run saved; the dialog and the host's sidecars report it.
    if (settings.precise) writeStringParameter("estimate_method", preciseMapKept ? "precise" : "standard");
    plugin.log("Done.");
}
