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
#include "estimate/preciseinputs.h"
#include "estimate/transportstart.h"

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
    out.sliceGains = pair.sliceGains;
    // Levels from fine (0) to coarse: images, voxel sizes and the start map, restricted.
    std::vector<Volume> starts{transportMap(pair.first, pair.second)};
    std::vector<Volume> firsts{std::move(pair.first)};
    std::vector<Volume> seconds{std::move(pair.second)};
    std::vector<HalvedAxes> halvings;
    std::vector<std::array<double, 3>> sizes{voxelSize};
    while (static_cast<int>(firsts.size()) < std::max(settings.levels, 1)) {
        const HalvedAxes axes = acrossLinesToHalve(firsts.back().dimensions());
        if (!axes[0] && !axes[2]) break;
        halvings.push_back(axes);
        firsts.push_back(halveVolume(firsts.back(), axes));
        seconds.push_back(halveVolume(seconds.back(), axes));
        starts.push_back(halveVolume(starts.back(), axes));
        sizes.push_back(halvedVoxelSize(sizes.back(), axes));
    }
    const int levels = static_cast<int>(firsts.size());
    log << "Running the precise estimate: intensity-corrected pair matched by Gauss-Newton in " << levels
        << " levels from the per-line transport map (bending weight " << settings.bending
        << " times the residuals' noise variance; gain of the second volume " << out.secondGain << ", per slice "
        << out.sliceGains[0] << " to " << out.sliceGains[1] << ")" << std::flush;

    Volume d = starts.back();
    for (int index = levels - 1; index >= 0; --index) {
        const std::clock_t levelStart = std::clock();
        PreciseLevelReport levelReport;
        levelReport.extent = firsts[index].dimensions();
        if (index < levels - 1) {
            // The level's own start keeps its detail; the coarser level corrects its
            // smooth part.
            Volume correction = d;
            const Volume& coarseStart = starts[static_cast<std::size_t>(index) + 1];
            for (std::size_t i = 0, n = correction.size(); i < n; ++i) correction[i] -= coarseStart[i];
            d = prolongMap(correction, levelReport.extent, halvings[static_cast<std::size_t>(index)]);
            const Volume& fineStart = starts[static_cast<std::size_t>(index)];
            for (std::size_t i = 0, n = d.size(); i < n; ++i) d[i] += fineStart[i];
        }
        const PreciseLevel level = makePreciseLevel(firsts[index], seconds[index], sizes[index]);
        levelReport.noise = residualNoise(level, d);
        const PreciseWeights weights{settings.bending * levelReport.noise * levelReport.noise};
        const std::size_t slot = static_cast<std::size_t>(levels - 1 - index);
        const GaussNewtonLimits& limits = settings.limits[std::min(slot, settings.limits.size() - 1)];
        levelReport.minimisation = minimiseOnLevel(level, weights, d, limits);
        levelReport.largestSlope = largestSlope(d);
        levelReport.seconds = static_cast<double>(std::clock() - levelStart) / CLOCKS_PER_SEC;
        const GaussNewtonReport& m = levelReport.minimisation;
        log << "Level " << slot + 1 << " of " << levels << " (" << extentText(levelReport.extent) << " voxels): "
            << m.steps << " Gauss-Newton steps, " << m.cgIterations << " CG iterations, objective "
            << m.startObjective << " -> " << m.endObjective << ", noise " << levelReport.noise << ", largest slope "
            << levelReport.largestSlope << ", " << levelReport.seconds << " s" << std::flush;
        out.levels.push_back(levelReport);
        firsts.pop_back();
        seconds.pop_back();
    }
    // The objective lets the map fold where the field does, but neighbours along y more
    // than a voxel apart would fold a correction: the standard estimate's repair removes
    // them (it rarely has anything to do).
    out.foldRepairs = repairFolds(d);
    log << "Folds between neighbours along y repaired in " << out.foldRepairs << " steps" << std::flush;
    out.seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    log << "The precise estimate took " << out.seconds << " s" << std::flush;
    return d;
}
