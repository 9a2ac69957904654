// SPDX-License-Identifier: GPL-3.0-or-later
#include <stdexcept>
#include <string>
#include <variant>

#include "core/volumetransform.h"
#include "estimate/estimatelimits.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "plugin/distcor.h"
#include "plugin/hostapi.h"
#include "plugin/parameters.h"
#include "plugin/projects.h"
#include "plugin/tasks.h"

namespace {

// The extent of a project as stored: that of its first volume, or of its header when it
// holds none.
Dimensions storedExtent(Project& project)
{
    const auto& volumes = projectVolumes(project);
    if (!volumes.empty()) return volumes.front().dimensions();
    const ProjectHeader& header = projectHeader(project);
    return {header.ResolutionX.value, header.ResolutionY.value, header.NrOfSlices.value};
}

bool isProjectName(const std::string& file)
{
    return hasExtension(file, "fmr") || hasExtension(file, "dmr");
}

// No copy of the list may overwrite the map or a project of the list, which are read
// after it, so all are compared before the first copy is written. A project whose
// header cannot be read is compared by its header alone; it fails at its turn.
void requireCopiesApartFromInputs(const std::string& mapPath, const std::vector<std::string>& files)
{
    std::vector<StepFile> inputs{{mapPath, "map"}};
    std::vector<StepFile> outputs;
    for (const std::string& file : files) {
        if (!isProjectName(file)) continue;
        try {
            const Project project = hasExtension(file, "fmr") ? Project(readFmrHeader(file, false))
                                                               : Project(readDmrHeader(file, false));
            const std::vector<StepFile> read = projectFiles(file, projectHeader(project));
            inputs.insert(inputs.end(), read.begin(), read.end());
        } catch (const IOError&) {
            inputs.push_back({file, ""});
        }
        const std::vector<StepFile> copy = copyFiles(file);
        outputs.insert(outputs.end(), copy.begin(), copy.end());
    }
    requireOutputsApartFromInputs(inputs, outputs, RepeatedOutputs::Allowed);
}

}  // namespace

void taskApply(distcor& plugin)
{
    const bool rllr = readFlagParameter("rllr");
    const std::string mapPath = readStringParameter("vdm");
    const std::vector<std::string> files = splitLines(readStringParameter("files"));
    // Multiply every undistorted volume by the Jacobian of the map applied to it.
    const bool intensityCorrection = readFlagParameter("intensity_correction");

    plugin.log("Loading VDM...");
    // The map as stored; the working map has y along the phase encoding.
    const Volume storedMap = readVdmMapFile(mapPath, true).map;
    // A map without voxels would be resized into a map of zeros and "applied".
    if (storedMap.size() == 0) {
        const Dimensions e = storedMap.dimensions();
        throw std::runtime_error("The map " + mapPath + " holds no voxels (extent " + std::to_string(e.x) + " x " +
                                 std::to_string(e.y) + " x " + std::to_string(e.z) + ").");
    }
    if (const std::size_t nonFinite = nonFiniteVoxels(storedMap); nonFinite > 0)
        throw std::runtime_error("The map " + mapPath + " holds " + std::to_string(nonFinite) + " voxels (of " +
                                 std::to_string(storedMap.size()) +
                                 ") that are not finite numbers; it cannot be applied. Estimate it again.");
    const Volume workingMap = rllr ? storedMap.transposeXY() : storedMap;

    plugin.log(intensityCorrection ? "Applying VDM with intensity correction..." : "Applying VDM...");
    requireCopiesApartFromInputs(mapPath, files);
    for (const std::string& file : files) {
        if (!isProjectName(file)) continue;
        const bool fmr = hasExtension(file, "fmr");

        // The volumes pass through a few at a time; the whole run is never held.
        Project project = readProjectHeaderChecked(file);
        const Dimensions extent = storedExtent(project);
        // Map and project are compared, and the map resized, in the stored orientation,
        // so that a left-right map fits the project it was estimated from.
        if (extent == storedMap.dimensions()) {
            if (fmr && file == files.front()) hostApi.hsLoadMAPsToCurrentFMR(mapPath.c_str());
            undistortProjectStreamed(workingMap, file, project, rllr, intensityCorrection);
        } else {
            const std::string question = std::string("Dimensions of the datasets don't match!\nDo you want to resize the VDM to the ") +
                                         (fmr ? "FMR" : "DMR") +
                                         " dimensions?\n\n(they need to have the same field of view)";
            if (hostApi.hsYesNoMessageBox(question.c_str()) == 0)
                throw std::runtime_error("All datasets must have the same dimensions!");
            Volume resized(extent);
            resizeVolume(resized, storedMap);
            undistortProjectStreamed(rllr ? resized.transposeXY() : resized, file, project, rllr, intensityCorrection);
        }
        plugin.log("Undistorted data saved as: " + insertSuffix(file, "_undist"));
    }
    plugin.log("Done.");
}
