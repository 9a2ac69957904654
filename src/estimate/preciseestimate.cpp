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
#include "estimate/transportstart.h"

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

// The images as the objective sees them. The distortion moves signal along y but keeps
// its total in every slice, so a different total is a difference of gain (a receiver
// setting, a volume before the steady state, whose slices recover differently in an
// interleaved acquisition): each slice of the second image is scaled to the first one's
// total there. Both are then divided by the 99.5th percentile of their mean, so that the
// weights of the objective hold whatever the scanner's intensity scale.
struct NormalisedPair {
    Volume first;
    Volume second;
    double secondGain = 1.0;
    std::array<double, 2> sliceGains{1.0, 1.0};
};

NormalisedPair normalisedPair(const Volume& first, const Volume& second)
{
    NormalisedPair pair;
    pair.secondGain = positiveSum(first) / positiveSum(second);
    pair.second = second;
    pair.sliceGains = {pair.secondGain, pair.secondGain};
    for (int z = 0; z < first.nz(); ++z) {
        double sumFirst = 0.0, sumSecond = 0.0;
        const std::size_t begin = first.index(0, 0, z), end = begin + static_cast<std::size_t>(first.nx()) * first.ny();
        for (std::size_t i = begin; i < end; ++i) {
            sumFirst += std::max(0.0f, first[i]);
            sumSecond += std::max(0.0f, second[i]);
        }
        // A slice without signal in either keeps the volume's gain.
        const double gain = sumFirst > 0.0 && sumSecond > 0.0 ? sumFirst / sumSecond : pair.secondGain;
        pair.sliceGains = {std::min(pair.sliceGains[0], gain), std::max(pair.sliceGains[1], gain)};
        for (std::size_t i = begin; i < end; ++i) pair.second[i] = static_cast<float>(second[i] * gain);
    }
    Volume mean(first.dimensions());
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] = 0.5f * (first[i] + pair.second[i]);
    const float scale = static_cast<float>(1.0 / percentile(mean, 0.995));
    pair.first = first * scale;
    pair.second = pair.second * scale;
    return pair;
}

// The noise of the residuals at d: 1.4826 times their median magnitude over the voxels
// with signal (a median absolute deviation, which the few large residuals of signal
// piled up by folds do not move), at least 0.005, below any scanner's noise in these
// units: a noise-free pair still gets a smooth map.
double residualNoise(const PreciseLevel& level, const Volume& d)
{
    constexpr double kLeastNoise = 0.005;
    std::vector<float> magnitudes = residualMagnitudes(level, d);
    if (magnitudes.empty()) return kLeastNoise;
    std::nth_element(magnitudes.begin(), magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2),
                     magnitudes.end());
    return std::max(kLeastNoise, 1.4826 * magnitudes[magnitudes.size() / 2]);
}

// The axes that the next coarser level halves: x and z while they have 8 voxels or more.
HalvedAxes acrossLinesToHalve(Dimensions extent)
{
    return {extent.x >= 8, false, extent.z >= 8};
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
        std::array<double, 3> size = sizes.back();
        for (int k = 0; k < 3; ++k)
            if (axes[k]) size[k] *= 2.0;
        sizes.push_back(size);
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
