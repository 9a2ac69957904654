// SPDX-License-Identifier: GPL-3.0-or-later
// "combine": one restored run from a run acquired twice, once with each phase-encoding
// direction ("file0" with +map, "file1" with -map), by least squares where the map
// compresses a copy (core/restorationblend.h). With the head's motion in both runs
// ("combine_motion0", "combine_motion1": _motion.tsv files), every volume of the minus run
// is first moved into the frame of the same volume of the plus run.
#include <algorithm>
#include <array>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/movedpair.h"
#include "core/restorationblend.h"
#include "estimate/estimatelimits.h"
#include "files/diffusionpairing.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "plugin/combinemotion.h"
#include "plugin/distcor.h"
#include "plugin/estimateinputs.h"
#include "plugin/parameters.h"
#include "plugin/projects.h"
#include "plugin/tasks.h"

namespace {

// The value with the given number of decimals, as the log gives distances and angles.
std::string fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

std::string extentText(Dimensions e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

Dimensions headerExtent(const ProjectHeader& h)
{
    return {h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value};
}

// Volumes of a diffusion run are paired in order: both copies must hold the same
// measurement at every index. Throws naming the first volume that differs.
void requireSameDiffusionTable(const DmrHeader& plus, const DmrHeader& minus)
{
    const std::optional<MeasurementDifference> difference =
        firstDifferingMeasurement(plus.bValues, plus.gradientDirections, minus.bValues, minus.gradientDirections);
    if (difference)
        throw std::runtime_error("Volume " + std::to_string(difference->volume) + " of " + plus.fileName + " and of " +
                                 minus.fileName + " differ: " + difference->text +
                                 ". The two runs must hold the same volumes, acquired once in each direction.");
}

void requireSamePairing(const Project& plus, const Project& minus, const std::string& plusPath,
                        const std::string& minusPath)
{
    if (plus.index() != minus.index())
        throw std::runtime_error(plusPath + " and " + minusPath +
                                 " are not of one kind (FMR and DMR); combine two runs of the same kind.");
    const ProjectHeader& a = projectHeader(plus);
    const ProjectHeader& b = projectHeader(minus);
    if (headerExtent(a) != headerExtent(b))
        throw std::runtime_error(minusPath + " (" + extentText(headerExtent(b)) + ") does not have the extent of " +
                                 plusPath + " (" + extentText(headerExtent(a)) +
                                 "); the two copies must share one grid.");
    if (a.NrOfVolumes.value != b.NrOfVolumes.value)
        throw std::runtime_error(plusPath + " holds " + std::to_string(a.NrOfVolumes.value) + " volumes and " +
                                 minusPath + " " + std::to_string(b.NrOfVolumes.value) +
                                 "; the two runs must hold the same volumes, acquired once in each direction.");
    if (a.NrOfVolumes.value == 0) throw std::runtime_error(plusPath + " holds no volumes; there is nothing to combine.");
    if (const auto* dmr = std::get_if<DmrHeader>(&plus)) requireSameDiffusionTable(*dmr, std::get<DmrHeader>(minus));
}

}  // namespace

void taskCombine(distcor& plugin)
{
    const bool rllr = readFlagParameter("rllr");
    const std::string mapPath = readStringParameter("vdm");
    const std::string plusPath = readStringParameter("file0");
    const std::string minusPath = readStringParameter("file1");
    const std::array<std::string, 2> motionFiles{readStringParameter("combine_motion0"),
                                                 readStringParameter("combine_motion1")};
    if (motionFiles[0].empty() != motionFiles[1].empty())
        throw std::runtime_error("The head's motion is needed in both runs: give the _motion.tsv files of " + plusPath +
                                 " and of " + minusPath + ", or neither.");
    if (sameFile(plusPath, minusPath))
        throw std::runtime_error(plusPath + " is given for both directions; combine needs the run acquired with each "
                                            "phase-encoding direction.");

    plugin.log("Loading VDM...");
    Volume storedMap = readVdmMapFile(mapPath, true).map;
    if (const std::size_t nonFinite = nonFiniteVoxels(storedMap); nonFinite > 0)
        throw std::runtime_error("The map " + mapPath + " holds " + std::to_string(nonFinite) + " voxels (of " +
                                 std::to_string(storedMap.size()) +
                                 ") that are not finite numbers; it cannot be applied. Estimate it again.");
    Project plus = readProjectHeaderChecked(plusPath);
    const Project minus = readProjectHeaderChecked(minusPath);
    requireSamePairing(plus, minus, plusPath, minusPath);
    const Dimensions extent = headerExtent(projectHeader(plus));
    if (storedMap.dimensions() != extent)
        throw std::runtime_error("The map " + mapPath + " (" + extentText(storedMap.dimensions()) +
                                 ") does not have the extent of " + plusPath + " (" + extentText(extent) +
                                 "); combine needs the map estimated on the runs' grid.");
    const int volumes = projectHeader(plus).NrOfVolumes.value;
    std::optional<RunsMotion> motion;
    std::array<double, 3> voxel{};
    if (!motionFiles[0].empty()) {
        motion = readRunsMotion(motionFiles[0], plusPath, motionFiles[1], minusPath, volumes);
        requireUsableVoxelSize(projectHeader(plus), plusPath);
        voxel = voxelSize(projectHeader(plus), rllr);
    }

    const std::string output = insertSuffix(plusPath, "_combined");
    std::vector<StepFile> inputs{{mapPath, "map"}};
    if (motion) inputs.insert(inputs.end(), {{motionFiles[0], "motion of " + plusPath}, {motionFiles[1], "motion of " + minusPath}});
    for (const std::string& path : {plusPath, minusPath}) {
        const std::vector<StepFile> read = projectFiles(path, projectHeader(path == plusPath ? plus : minus));
        inputs.insert(inputs.end(), read.begin(), read.end());
    }
    requireOutputsApartFromInputs(inputs, {{output, "combined copy of " + plusPath},
                                           {savedDataFilePath(output), "data file of the combined copy of " + plusPath}});

    plugin.log("Combining " + plusPath + " (+VDM) and " + minusPath + " (-VDM): least squares where the map "
               "compresses a copy, the mean of the intensity-corrected copies where it is mild...");
    PairSlabCombine combine;
    int volumesAtATime = 0, slicesAtATime = 1;
    std::vector<Volume> mapSlices;
    Volume workingMap;
    Volume movedMap;
    std::optional<RigidTransform> movedMapPosition;
    if (!motion) {
        plugin.log("The two acquisitions are assumed aligned: no motion between them was given.");
        // Every line along the phase encoding lies within one slice: the runs stream slice
        // by slice, each line factorised once for the volumes of a block. A block of up to
        // two volumes' worth of slices per direction holds, for a run of up to
        // 2 x NrOfSlices volumes, slice z of every volume.
        for (int z = 0; z < extent.z; ++z) {
            Volume slice(extent.x, extent.y, 1);
            std::copy_n(storedMap.data() + storedMap.index(0, 0, z), slice.size(), slice.data());
            mapSlices.push_back(rllr ? slice.transposeXY() : std::move(slice));
        }
        storedMap = Volume();
        volumesAtATime = 2 * std::max(extent.z, 1);
        combine = [&](int z, int, std::vector<Volume>& first, std::vector<Volume>& second) {
            if (rllr) {
                for (Volume& slice : first) slice = slice.transposeXY();
                for (Volume& slice : second) slice = slice.transposeXY();
            }
            combinePairs(first, second, mapSlices[static_cast<std::size_t>(z)]);
            if (rllr)
                for (Volume& slice : first) slice = slice.transposeXY();
        };
    } else {
        const LargestMotion largest = largestMotionBetweenCopies(*motion, volumes);
        plugin.log("The head's motion from " + motionFiles[0] + " and " + motionFiles[1] +
                   ": every volume of " + minusPath + " is moved into the frame of the same volume of " + plusPath +
                   " (at most " + fixed(largest.translation, 2) + " mm and " + fixed(largest.rotation, 2) +
                   " degrees apart); a volume without a row takes the first row of its file.");
        // A resampling in 3-D needs whole volumes: one volume of each run at a time.
        workingMap = rllr ? storedMap.transposeXY() : std::move(storedMap);
        storedMap = Volume();
        volumesAtATime = 1;
        slicesAtATime = extent.z;
        combine = [&](int, int firstVolume, std::vector<Volume>& first, std::vector<Volume>& second) {
            for (std::size_t v = 0; v < first.size(); ++v) {
                const CopyPositions positions = positionsOf(*motion, firstVolume + static_cast<int>(v));
                if (!movedMapPosition || movedMapPosition->rotation != positions.plus.rotation ||
                    movedMapPosition->translation != positions.plus.translation) {
                    movedMap = mapInPlusFrame(workingMap, voxel, positions);
                    movedMapPosition = positions.plus;
                }
                std::vector<Volume> pair{rllr ? first[v].transposeXY() : std::move(first[v])};
                const std::vector<Volume> aligned{
                    minusInPlusFrame(rllr ? second[v].transposeXY() : second[v], voxel, positions)};
                combinePairs(pair, aligned, movedMap);
                first[v] = rllr ? pair.front().transposeXY() : std::move(pair.front());
            }
        };
    }
    std::visit(
        [&](auto& header) {
            using Header = std::decay_t<decltype(header)>;
            dropAnatomicalLink(header);
            saveCombinedAs(header, std::get<Header>(minus), output, combine, volumesAtATime, slicesAtATime);
        },
        plus);
    plugin.log("Combined data saved as: " + output);
    plugin.log("Done.");
}
