// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/preciseestimate.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>

#include "core/pairagreement.h"
#include "core/vdm.h"
#include "estimate/mappyramid.h"

namespace {

std::string extentText(Dimensions e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

bool allFinite(const Volume& v)
{
    for (std::size_t i = 0, n = v.size(); i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

double positiveSum(const Volume& v)
{
    double sum = 0.0;
    for (std::size_t i = 0, n = v.size(); i < n; ++i) sum += std::max(0.0f, v[i]);
    return sum;
}

// The images as the objective sees them. The distortion moves signal but keeps its total,
// so a different total is a difference of gain (a receiver setting, a volume before the
// steady state): the second image is scaled to the first one's total. Both are then
// divided by the 99.5th percentile of their mean, so that the weights of the objective
// hold whatever the scanner's intensity scale.
struct NormalisedPair {
    Volume first;
    Volume second;
    double secondGain = 1.0;
};

NormalisedPair normalisedPair(const Volume& first, const Volume& second)
{
    NormalisedPair pair;
    pair.secondGain = positiveSum(first) / positiveSum(second);
    pair.second = second * static_cast<float>(pair.secondGain);
    Volume mean(first.dimensions());
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] = 0.5f * (first[i] + pair.second[i]);
    const float scale = static_cast<float>(1.0 / percentile(mean, 0.995));
    pair.first = first * scale;
    pair.second = pair.second * scale;
    return pair;
}

}  // namespace

void checkPreciseInputs(const Volume& first, const Volume& second, const std::array<std::string, 2>& names)
{
    const Dimensions e = first.dimensions();
    if (second.dimensions() != e)
        throw std::invalid_argument("The precise estimate needs two volumes of the same extent, not " + extentText(e) +
                                    " (" + names[0] + ") and " + extentText(second.dimensions()) + " (" + names[1] +
                                    ").");
    if (e.z < 2 || e.y < 8 || e.x < 1)
        throw std::invalid_argument("The precise estimate needs volumes of at least 2 slices and 8 rows along the "
                                    "phase encoding; " +
                                    names[0] + " has " + extentText(e) + " voxels.");
    const std::array<const Volume*, 2> volumes{&first, &second};
    for (int i = 0; i < 2; ++i)
        if (!allFinite(*volumes[i]))
            throw std::invalid_argument("The precise estimate cannot use " + names[i] +
                                        ": it holds voxels that are not finite numbers (NaN or infinite).");
    for (int i = 0; i < 2; ++i)
        if (!(positiveSum(*volumes[i]) > 0.0))
            throw std::invalid_argument("The precise estimate found no signal in " + names[i] +
                                        ": no voxel is above 0.");
    Volume mean(e);
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] = 0.5f * (first[i] + second[i]);
    if (!(percentile(mean, 0.995) > 0.0))
        throw std::invalid_argument("The precise estimate found too little signal in " + names[0] + " and " +
                                    names[1] + ": fewer than one voxel in 200 is above 0.");
}

Volume estimatePreciseVdm(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                          std::ostream& log, const PreciseSettings& settings, PreciseReport* report)
{
    checkPreciseInputs(first, second);
    const std::clock_t start = std::clock();
    PreciseReport local;
    PreciseReport& out = report != nullptr ? *report : local;
    out = PreciseReport{};

    NormalisedPair pair = normalisedPair(first, second);
    out.secondGain = pair.secondGain;
    // Levels from fine (0) to coarse.
    std::vector<Volume> firsts{std::move(pair.first)};
    std::vector<Volume> seconds{std::move(pair.second)};
    std::vector<HalvedAxes> halvings;
    std::vector<std::array<double, 3>> sizes{voxelSize};
    while (static_cast<int>(firsts.size()) < std::max(settings.levels, 1)) {
        const HalvedAxes axes = axesToHalve(firsts.back().dimensions());
        if (!axes[0] && !axes[1] && !axes[2]) break;
        halvings.push_back(axes);
        firsts.push_back(halveVolume(firsts.back(), axes));
        seconds.push_back(halveVolume(seconds.back(), axes));
        std::array<double, 3> size = sizes.back();
        for (int k = 0; k < 3; ++k)
            if (axes[k]) size[k] *= 2.0;
        sizes.push_back(size);
    }
    const int levels = static_cast<int>(firsts.size());
    log << "Running the precise estimate: intensity-corrected pair matched by Gauss-Newton in " << levels
        << " levels (smoothness " << settings.weights.smoothness << ", barrier " << settings.weights.barrier
        << "; gain of the second volume " << out.secondGain << ")" << std::flush;

    Volume d(firsts.back().dimensions(), 0.0f);
    for (int index = levels - 1; index >= 0; --index) {
        const std::clock_t levelStart = std::clock();
        PreciseLevelReport levelReport;
        levelReport.extent = firsts[index].dimensions();
        if (index < levels - 1) d = prolongMap(d, levelReport.extent, halvings[index]);
        levelReport.feasibilityPasses = restoreFeasibility(d, 0.95f);
        const PreciseLevel level = makePreciseLevel(firsts[index], seconds[index], sizes[index]);
        const std::size_t slot = static_cast<std::size_t>(levels - 1 - index);
        const GaussNewtonLimits& limits = settings.limits[std::min(slot, settings.limits.size() - 1)];
        levelReport.minimisation = minimiseOnLevel(level, settings.weights, d, limits);
        levelReport.largestSlope = largestSlope(d);
        levelReport.seconds = static_cast<double>(std::clock() - levelStart) / CLOCKS_PER_SEC;
        const GaussNewtonReport& m = levelReport.minimisation;
        log << "Level " << slot + 1 << " of " << levels << " (" << extentText(levelReport.extent) << " voxels): "
            << m.steps << " Gauss-Newton steps, " << m.cgIterations << " CG iterations, objective "
            << m.startObjective << " -> " << m.endObjective << ", largest slope " << levelReport.largestSlope << ", "
            << levelReport.seconds << " s" << std::flush;
        out.levels.push_back(levelReport);
        firsts.pop_back();
        seconds.pop_back();
    }
    // The change of intensity sees central differences only, so neighbours along y can
    // still lie more than a voxel apart (an odd-even pattern the barrier does not see),
    // which folds one of the two corrections; the standard estimate's repair removes them.
    out.foldRepairs = repairFolds(d);
    log << "Folds between neighbours along y repaired in " << out.foldRepairs << " steps" << std::flush;
    out.seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    log << "The precise estimate took " << out.seconds << " s" << std::flush;
    return d;
}
