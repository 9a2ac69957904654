// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/preciseinputs.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/pairagreement.h"
#include "core/threadpool.h"

namespace {

constexpr std::size_t kVoxelsPerPiece = 16384;

bool allFinite(const Volume& v)
{
    const std::size_t pieces = (v.size() + kVoxelsPerPiece - 1) / kVoxelsPerPiece;
    const std::vector<char> finite = partialsOfPieces<char>(pieces, [&](std::size_t piece) {
        const std::size_t begin = piece * kVoxelsPerPiece, end = std::min(v.size(), begin + kVoxelsPerPiece);
        for (std::size_t i = begin; i < end; ++i)
            if (!std::isfinite(v[i])) return char{0};
        return char{1};
    });
    return std::find(finite.begin(), finite.end(), char{0}) == finite.end();
}

}  // namespace

std::string extentText(Dimensions e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

double positiveSum(const Volume& v)
{
    double sum = 0.0;
    for (std::size_t i = 0, n = v.size(); i < n; ++i) sum += std::max(0.0f, v[i]);
    return sum;
}

Volume sliceMatched(const Volume& first, const Volume& second, std::vector<double>* gains)
{
    const double volumeGain = positiveSum(first) / positiveSum(second);
    Volume matched = second;
    if (gains != nullptr) gains->assign(static_cast<std::size_t>(first.nz()), volumeGain);
    // Slices are independent; each sums its own voxels in storage order.
    forEachPiece(static_cast<std::size_t>(first.nz()), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
        double sumFirst = 0.0, sumSecond = 0.0;
        const std::size_t begin = first.index(0, 0, z), end = begin + static_cast<std::size_t>(first.nx()) * first.ny();
        for (std::size_t i = begin; i < end; ++i) {
            sumFirst += std::max(0.0f, first[i]);
            sumSecond += std::max(0.0f, second[i]);
        }
        // A slice without signal in either keeps the volume's gain.
        const double gain = sumFirst > 0.0 && sumSecond > 0.0 ? sumFirst / sumSecond : volumeGain;
        if (gains != nullptr) (*gains)[static_cast<std::size_t>(z)] = gain;
        for (std::size_t i = begin; i < end; ++i) matched[i] = static_cast<float>(second[i] * gain);
    });
    return matched;
}

NormalisedPair normalisedPair(const Volume& first, const Volume& second)
{
    NormalisedPair pair;
    pair.secondGain = positiveSum(first) / positiveSum(second);
    pair.second = sliceMatched(first, second, &pair.perSlice);
    const auto [smallest, largest] = std::minmax_element(pair.perSlice.begin(), pair.perSlice.end());
    pair.sliceGains = {std::min(pair.secondGain, *smallest), std::max(pair.secondGain, *largest)};
    Volume mean(first.dimensions());
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] = 0.5f * (first[i] + pair.second[i]);
    pair.scale = static_cast<float>(1.0 / percentile(mean, 0.995));
    pair.first = first * pair.scale;
    pair.second = pair.second * pair.scale;
    return pair;
}

double residualNoise(const PreciseLevel& level, const Volume& d)
{
    constexpr double kLeastNoise = 0.005;
    std::vector<float> magnitudes = residualMagnitudes(level, d);
    if (magnitudes.empty()) return kLeastNoise;
    std::nth_element(magnitudes.begin(), magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2),
                     magnitudes.end());
    return std::max(kLeastNoise, 1.4826 * magnitudes[magnitudes.size() / 2]);
}

HalvedAxes acrossLinesToHalve(Dimensions extent)
{
    return {extent.x >= 8, false, extent.z >= 8};
}

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
    forEachBlock(mean.size(), kVoxelsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) mean[i] = 0.5f * (first[i] + second[i]);
    });
    if (!(percentile(mean, 0.995) > 0.0))
        throw std::invalid_argument("The precise estimate found too little signal in " + names[0] + " and " +
                                    names[1] + ": fewer than one voxel in 200 is above 0.");
}

