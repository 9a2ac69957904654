// SPDX-License-Identifier: GPL-3.0-or-later
// The estimate task from several volumes of each project, and with the head's motion
// between them: the dialog parameters "volumes0" and "volumes1" (lists such as "0,1,2" or
// "all"), "motion" and "realign".
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/movedpair.h"
#include "core/rigidmotion.h"
#include "core/vdm.h"
#include "estimate/precisevolumes.h"
#include "files/filenames.h"
#include "files/motionfile.h"
#include "plugin/distcor.h"
#include "plugin/estimateinputs.h"
#include "plugin/parameters.h"
#include "plugin/precisecheck.h"
#include "plugin/projects.h"
#include "plugin/tasks.h"
#include "plugin/vdmmaps.h"
#include "plugin/volumelists.h"

namespace {

constexpr double kDegrees = 180.0 / 3.14159265358979323846;

struct VolumesSettings {
    std::array<std::string, 2> paths;
    std::array<std::string, 2> lists;
    bool rllr = false;
    bool useIc = false;
    bool useSsd = false;
    bool applyToInput = false;
    bool saveDerivative = false;
    int order = 0;
    bool precise = false;
    bool intensityCorrection = false;
    bool motion = false;
    bool realign = false;
};

VolumesSettings readVolumesSettings()
{
    VolumesSettings settings;
    for (int j = 0; j < 2; ++j) {
        settings.paths[j] = readStringParameter("file" + std::to_string(j));
        settings.lists[j] = readStringParameter("volumes" + std::to_string(j));
        // Without a list, the single volume of "volume0" or "volume1".
        if (settings.lists[j].empty())
            settings.lists[j] = std::to_string(static_cast<std::uint32_t>(readIntParameter("volume" + std::to_string(j))));
    }
    settings.rllr = readFlagParameter("rllr");
    settings.useIc = readFlagParameter("use_ic");
    settings.useSsd = readFlagParameter("use_ssd");
    settings.applyToInput = readFlagParameter("apply_to_input");
    settings.saveDerivative = readFlagParameter("save_derivative");
    settings.order = readIntParameter("order");
    settings.precise = readFlagParameter("precise");
    settings.intensityCorrection = readFlagParameter("intensity_correction");
    settings.motion = readFlagParameter("motion");
    settings.realign = readFlagParameter("realign");
    return settings;
}

// v(R p + t) on v's grid: the volume moved back to the reference position.
Volume movedBackToReference(const Volume& volume, const std::array<double, 3>& voxel, const RigidTransform& t)
{
    return isIdentity(t) ? volume : resampledRigidly(splineVolume(volume), voxel, t);
}

// The same for the estimate's check, which compares maps: beyond the slab a moved head
// sees the edge slices' signal, as in the estimate itself.
Volume movedBackWithinSlices(const Volume& volume, const std::array<double, 3>& voxel, const RigidTransform& t)
{
    return isIdentity(t) ? volume : resampledRigidlyWithinSlices(splineVolume(volume), voxel, t);
}

Volume meanOf(const std::vector<Volume>& volumes)
{
    Volume mean(volumes.front().dimensions(), 0.0f);
    for (const Volume& v : volumes)
        for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] += v[i];
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] /= static_cast<float>(volumes.size());
    return mean;
}

std::string listText(const std::vector<unsigned>& volumes)
{
    std::string text;
    for (const unsigned v : volumes) text += (text.empty() ? "" : ", ") + std::to_string(v);
    return text;
}

}  // namespace

bool asksForSeveralVolumes()
{
    return !readStringParameter("volumes0").empty() || !readStringParameter("volumes1").empty() ||
           readFlagParameter("motion");
}

void taskEstimateVolumes(distcor& plugin)
{
    const VolumesSettings settings = readVolumesSettings();
    if (!settings.precise)
        throw std::runtime_error("Several volumes of a project, and the head's motion between them, are estimated by "
                                 "the precise estimate only: set \"precise\" (mindaro estimate --precise).");
    if (settings.realign && !(settings.motion && settings.applyToInput))
        throw std::runtime_error("Realigned copies need the head's motion (\"motion\") and the undistorted copies "
                                 "(\"apply_to_input\").");
    std::array<Project, 2> projects{readProject(settings.paths[0]), readProject(settings.paths[1])};
    for (int j = 0; j < 2; ++j)
        if (projectVolumes(projects[j]).empty()) throwVolumeOutOfRange(0, settings.paths[j], 0);
    if (projectVolumes(projects[1]).front().dimensions() != projectVolumes(projects[0]).front().dimensions())
        throw std::runtime_error("All datasets must have the same dimensions!");

    // The listed volumes in the working orientation, each checked against the first.
    std::array<std::vector<unsigned>, 2> listed;
    std::array<std::vector<Volume>, 2> volumes;
    std::array<std::vector<std::string>, 2> names;
    const Dimensions extent = projectVolumes(projects[0]).front().dimensions();
    for (int j = 0; j < 2; ++j) {
        const std::vector<Volume>& all = projectVolumes(projects[j]);
        listed[j] = listedVolumes(settings.lists[j], all.size(), settings.paths[j]);
        for (const unsigned v : listed[j]) {
            const Volume& volume = all[v];
            const std::string name = "volume " + std::to_string(v) + " of " + settings.paths[j];
            if (volume.dimensions() != extent)
                throw std::runtime_error("Cannot use " + name + ": it has " + std::to_string(volume.nx()) + " x " +
                                         std::to_string(volume.ny()) + " x " + std::to_string(volume.nz()) +
                                         " voxels, the first volume of " + settings.paths[0] + " " +
                                         std::to_string(extent.x) + " x " + std::to_string(extent.y) + " x " +
                                         std::to_string(extent.z) + ".");
            volumes[j].push_back(settings.rllr ? volume.transposeXY() : volume);
            names[j].push_back(name);
        }
    }
    requireUsableVoxelSize(projectHeader(projects[0]), settings.paths[0]);
    const std::array<double, 3> voxel = voxelSize(projectHeader(projects[0]), settings.rllr);

    std::vector<StepFile> inputs, outputs;
    for (int j = 0; j < 2; ++j) {
        const std::vector<StepFile> files = projectFiles(settings.paths[j], projectHeader(projects[j]));
        inputs.insert(inputs.end(), files.begin(), files.end());
    }
    for (const std::string& path : settings.paths) outputs.push_back({vdmMapName(path), "map of " + path});
    if (settings.saveDerivative)
        for (const std::string& path : settings.paths) outputs.push_back({derivativeMapName(path), "derivative map of " + path});
    if (settings.motion)
        for (const std::string& path : settings.paths) outputs.push_back({motionFileName(path), "motion of " + path});
    if (settings.applyToInput)
        for (const std::string& path : settings.paths) {
            const std::vector<StepFile> copy = copyFiles(path);
            outputs.insert(outputs.end(), copy.begin(), copy.end());
        }
    requireOutputsApartFromInputs(inputs, outputs);

    plugin.log("Estimating voxel displacement maps...");
    plugin.log("Volumes used: " + listText(listed[0]) + " of " + settings.paths[0] + "; " + listText(listed[1]) +
               " of " + settings.paths[1] + (settings.motion ? "; with the head's motion" : ""));
    PreciseVolumesSettings estimateSettings;
    estimateSettings.motion = settings.motion;
    const PreciseVolumesResult result =
        estimatePreciseVdmOfVolumes(volumes[0], volumes[1], names[0], names[1], voxel, *plugin.logStream, estimateSettings);

    // The check on the two directions' means, moved back to the reference position.
    std::array<Volume, 2> means;
    for (int j = 0; j < 2; ++j) {
        std::vector<Volume> moved;
        const std::vector<VolumeMotion>& motions = j == 0 ? result.first : result.second;
        for (std::size_t v = 0; v < volumes[j].size(); ++v)
            moved.push_back(movedBackWithinSlices(volumes[j][v], voxel, motions[v].transform));
        means[j] = meanOf(moved);
    }
    PreciseOutcome outcome = checkedAgainstStandard(plugin, means[0], means[1], voxel,
                                                    {settings.useSsd, settings.useIc, settings.order}, result.map);
    const Volume& vdm = outcome.map;
    if (settings.motion && !outcome.precise)
        plugin.log("The motion between the two directions was found with the precise estimate, whose model this pair "
                   "does not follow: it may be off by a few tenths of a millimetre or degree (on simulated "
                   "gradient-echo pairs, by up to 0.6 mm and 0.5 degrees).");

    const std::array<Volume, 2> maps{vdm, vdm * -1.0f};
    plugin.log("Saving voxel displacement maps to .map files...");
    savePairMaps(vdm, settings.paths, settings.rllr, settings.saveDerivative);
    if (settings.motion) {
        plugin.log("Saving the head's motion to _motion.tsv files...");
        for (int j = 0; j < 2; ++j) {
            const std::vector<VolumeMotion>& motions = j == 0 ? result.first : result.second;
            std::vector<VolumeMotionRow> rows;
            for (std::size_t v = 0; v < motions.size(); ++v) {
                const RigidMotion m = motionOf(motions[v].transform);
                rows.push_back({listed[j][v], m.translation,
                                {m.rotation[0] * kDegrees, m.rotation[1] * kDegrees, m.rotation[2] * kDegrees}});
            }
            writeMotionFile(motionFileName(settings.paths[j]), rows);
            writeStringParameter("motion_file" + std::to_string(j), motionFileName(settings.paths[j]));
        }
    }

    if (settings.applyToInput) {
        plugin.log(std::string(settings.intensityCorrection ? "Applying voxel displacement maps with intensity correction"
                                                            : "Applying voxel displacement maps") +
                   (settings.motion ? ", each volume's map moved with its head" : "") +
                   (settings.realign ? ", copies realigned to the first volume" : "") + "...");
        for (int j = 0; j < 2; ++j) {
            const std::vector<VolumeMotion>& motions = j == 0 ? result.first : result.second;
            // A volume left out of the estimate takes the motion of the first one listed.
            const auto motionOfVolume = [&](std::size_t index) {
                for (std::size_t v = 0; v < listed[j].size(); ++v)
                    if (listed[j][v] == index) return motions[v].transform;
                return motions.front().transform;
            };
            saveCorrectedCopy(settings.paths[j], projects[j], [&](std::size_t index, const Volume& volume) {
                const RigidTransform t = settings.motion ? motionOfVolume(index) : RigidTransform{};
                const Volume map = mapAtHeadPosition(maps[j], voxel, t);
                Volume working = settings.rllr ? volume.transposeXY() : volume;
                Volume corrected = undistort(working, map, false, settings.intensityCorrection);
                if (settings.realign) corrected = movedBackToReference(corrected, voxel, t);
                return settings.rllr ? corrected.transposeXY() : corrected;
            });
        }
    }

    writeStringParameter("vdm", vdmMapName(settings.paths[0]));
    writeStringParameter("estimate_method", outcome.precise ? "precise" : "standard");
    plugin.log("Done.");
}
