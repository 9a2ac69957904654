// SPDX-License-Identifier: GPL-3.0-or-later
// "combine": one restored run from a run acquired twice, once with each phase-encoding
// direction ("file0" with +map, "file1" with -map), by least squares.
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/restoration.h"
#include "estimate/estimatelimits.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "plugin/distcor.h"
#include "plugin/parameters.h"
#include "plugin/projects.h"
#include "plugin/tasks.h"

namespace {

std::string extentText(Dimensions e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

Dimensions headerExtent(const ProjectHeader& h)
{
    return {h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value};
}

// Volumes with b-values up to this count as unweighted; their directions do not matter.
constexpr float kLargestUnweightedB = 50.0f;

// b-values equal within the rounding of the files: 1 s/mm^2 or 1 %.
bool sameBValue(float a, float b)
{
    return std::fabs(a - b) <= std::max(1.0f, 0.01f * std::max(std::fabs(a), std::fabs(b)));
}

// Directions equal up to their sign (one diffusion direction either way) within 2 degrees;
// a direction of length 0 (b = 0 volumes) only matches another.
bool sameDirection(Point3 a, Point3 b)
{
    const double na = std::sqrt(double(a.x) * a.x + double(a.y) * a.y + double(a.z) * a.z);
    const double nb = std::sqrt(double(b.x) * b.x + double(b.y) * b.y + double(b.z) * b.z);
    if (na < 1e-6 || nb < 1e-6) return na < 1e-6 && nb < 1e-6;
    const double cosine = (double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z) / (na * nb);
    return std::fabs(cosine) >= std::cos(2.0 * 3.14159265358979 / 180.0);
}

std::string directionText(Point3 p)
{
    std::ostringstream text;
    text << '(' << p.x << ", " << p.y << ", " << p.z << ')';
    return text.str();
}

// Volumes of a diffusion run are paired in order: both copies must hold the same
// measurement at every index. Throws naming the first volume that differs.
void requireSameDiffusionTable(const DmrHeader& plus, const DmrHeader& minus)
{
    if (plus.bValues.size() != minus.bValues.size() || plus.bValues.empty()) return;
    for (std::size_t v = 0; v < plus.bValues.size(); ++v) {
        const std::string where = "Volume " + std::to_string(v) + " of " + plus.fileName + " and of " + minus.fileName;
        if (!sameBValue(plus.bValues[v], minus.bValues[v]))
            throw std::runtime_error(where + " differ: b-value " + number(plus.bValues[v]) + " against " +
                                     number(minus.bValues[v]) +
                                     ". The two runs must hold the same volumes, acquired once in each direction.");
        const bool weighted = plus.bValues[v] > kLargestUnweightedB;
        if (weighted && v < plus.gradientDirections.size() && v < minus.gradientDirections.size() &&
            !sameDirection(plus.gradientDirections[v], minus.gradientDirections[v]))
            throw std::runtime_error(where + " differ: gradient direction " +
                                     directionText(plus.gradientDirections[v]) + " against " +
                                     directionText(minus.gradientDirections[v]) +
                                     ". The two runs must hold the same volumes, acquired once in each direction.");
    }
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
    if (sameFile(plusPath, minusPath))
        throw std::runtime_error(plusPath + " is given for both directions; combine needs the run acquired with each "
                                            "phase-encoding direction.");

    plugin.log("Loading VDM...");
    const Volume storedMap = readVdmMapFile(mapPath, true).map;
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

    const std::string output = insertSuffix(plusPath, "_combined");
    std::vector<StepFile> inputs{{mapPath, "map"}};
    for (const std::string& path : {plusPath, minusPath}) {
        const std::vector<StepFile> read = projectFiles(path, projectHeader(path == plusPath ? plus : minus));
        inputs.insert(inputs.end(), read.begin(), read.end());
    }
    requireOutputsApartFromInputs(inputs, {{output, "combined copy of " + plusPath},
                                           {savedDataFilePath(output), "data file of the combined copy of " + plusPath}});

    plugin.log("Combining " + plusPath + " (+VDM) and " + minusPath + " (-VDM) by least squares...");
    plugin.log("The two acquisitions are assumed aligned: no motion between them is estimated.");
    const Volume workingMap = rllr ? storedMap.transposeXY() : storedMap;
    const RestorationSettings settings;
    const PairBlockCombine combine = [&](std::vector<Volume>& first, std::vector<Volume>& second) {
        if (rllr) {
            for (Volume& volume : first) volume = volume.transposeXY();
            for (Volume& volume : second) volume = volume.transposeXY();
        }
        restorePairs(first, second, workingMap, settings);
        if (rllr)
            for (Volume& volume : first) volume = volume.transposeXY();
    };
    // Two pairs at a time share the factorisation of every line.
    constexpr int kPairsAtATime = 2;
    std::visit(
        [&](auto& header) {
            using Header = std::decay_t<decltype(header)>;
            dropAnatomicalLink(header);
            saveCombinedAs(header, std::get<Header>(minus), output, combine, kPairsAtATime);
        },
        plus);
    plugin.log("Combined data saved as: " + output);
    plugin.log("Done.");
}
