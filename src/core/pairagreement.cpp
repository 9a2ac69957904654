// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/pairagreement.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/bspline.h"
#include "core/mdhslog.h"
#include "core/selection.h"
#include "core/threadpool.h"
#include "core/vdm.h"

double percentile(const Volume& volume, double p)
{
    if (volume.size() == 0) return 0.0;
    const double position = p * static_cast<double>(volume.size() - 1);
    const std::size_t lower = static_cast<std::size_t>(position);
    const auto [low, high] = neighbouringOrderStatistics(volume.data(), volume.size(), lower);
    if (lower + 1 >= volume.size()) return low;
    return low + (position - static_cast<double>(lower)) * (static_cast<double>(high) - low);
}

std::vector<std::size_t> headMask(const Volume& first, const Volume& second)
{
    // The two thresholds side by side; then each block lists its voxels, joined in order.
    const std::array<const Volume*, 2> volumes{&first, &second};
    const std::vector<double> thresholds =
        partialsOfPieces<double>(2, [&](std::size_t k) { return 0.15 * percentile(*volumes[k], 0.99); });
    constexpr std::size_t kVoxelsPerPiece = 16384;
    const std::size_t pieces = (first.size() + kVoxelsPerPiece - 1) / kVoxelsPerPiece;
    const std::vector<std::vector<std::size_t>> lists =
        partialsOfPieces<std::vector<std::size_t>>(pieces, [&](std::size_t piece) {
            std::vector<std::size_t> list;
            const std::size_t begin = piece * kVoxelsPerPiece, end = std::min(first.size(), begin + kVoxelsPerPiece);
            for (std::size_t i = begin; i < end; ++i)
                if (first[i] > thresholds[0] && second[i] > thresholds[1]) list.push_back(i);
            return list;
        });
    std::vector<std::size_t> voxels;
    for (const std::vector<std::size_t>& list : lists) voxels.insert(voxels.end(), list.begin(), list.end());
    return voxels;
}

namespace {

constexpr const char* kModule = "src\\pairagreement";
// Voxels of a list summed per piece of work.
constexpr std::ptrdiff_t kVoxelsPerBlock = 16384;

Dimensions commonExtent(const Volume& first, const Volume& second)
{
    check(first.dimensions() == second.dimensions(), kModule, 60, "first.dimensions() == second.dimensions()");
    return first.dimensions();
}

// Both volumes of a corrected pair multiplied by the Jacobian of the map (the second
// corrected with -map).
void multiplyByJacobians(CorrectedPair& pair, const Volume& map)
{
    multiplyByJacobian(pair.first, map, false);
    multiplyByJacobian(pair.second, map, true);
}

}  // namespace

CorrectablePair::CorrectablePair(const Volume& first, const Volume& second)
    : extent_(commonExtent(first, second)),
      firstCoefficients_(bsplineCoefficients(first.data(), extent_)),
      secondCoefficients_(bsplineCoefficients(second.data(), extent_)),
      head_(headMask(first, second))
{
}

CorrectedPair CorrectablePair::corrected(const Volume& map, bool intensityCorrection) const
{
    check(map.dimensions() == extent_, kModule, 66, "map.dimensions() == extent_");
    // The sampling of applyVdmCubic, with the coefficients kept.
    CorrectedPair pair{Volume(extent_), Volume(extent_)};
    sampleBsplineShiftedY(firstCoefficients_, extent_, map, 1.0f, pair.first.data());
    sampleBsplineShiftedY(secondCoefficients_, extent_, map, -1.0f, pair.second.data());
    if (intensityCorrection) multiplyByJacobians(pair, map);
    return pair;
}

double CorrectablePair::agreement(const Volume& map) const
{
    return agreement(map, corrected(map, false));
}

double CorrectablePair::agreement(const Volume& map, CorrectedPair plain) const
{
    check(map.dimensions() == extent_, kModule, 66, "map.dimensions() == extent_");
    multiplyByJacobians(plain, map);
    return correlationOver(plain.first, plain.second, head_);
}

CorrectedPair correctPair(const Volume& first, const Volume& second, const Volume& map, bool intensityCorrection)
{
    CorrectedPair pair{Volume(first.dimensions()), Volume(second.dimensions())};
    applyVdmCubic(pair.first, first, map, false);
    applyVdmCubic(pair.second, second, map, true);
    if (intensityCorrection) multiplyByJacobians(pair, map);
    return pair;
}

double correlationOver(const Volume& a, const Volume& b, const std::vector<std::size_t>& voxels)
{
    // Each block of the list sums in list order; the blocks' sums add in block order.
    const std::size_t blocks = (voxels.size() + kVoxelsPerBlock - 1) / static_cast<std::size_t>(kVoxelsPerBlock);
    const auto blockVoxels = [&](std::size_t block) {
        const auto first = voxels.begin() + static_cast<std::ptrdiff_t>(block) * kVoxelsPerBlock;
        return std::pair(first, first + std::min(kVoxelsPerBlock, voxels.end() - first));
    };
    const std::vector<std::array<double, 2>> blockSums =
        partialsOfPieces<std::array<double, 2>>(blocks, [&](std::size_t block) {
            std::array<double, 2> sums{0.0, 0.0};
            const auto [first, last] = blockVoxels(block);
            for (auto i = first; i != last; ++i) {
                sums[0] += a[*i];
                sums[1] += b[*i];
            }
            return sums;
        });
    const double n = static_cast<double>(voxels.size());
    double meanA = 0.0, meanB = 0.0;
    for (const std::array<double, 2>& sums : blockSums) {
        meanA += sums[0];
        meanB += sums[1];
    }
    meanA /= n;
    meanB /= n;
    const std::vector<std::array<double, 3>> centredSums =
        partialsOfPieces<std::array<double, 3>>(blocks, [&](std::size_t block) {
            std::array<double, 3> sums{0.0, 0.0, 0.0};
            const auto [first, last] = blockVoxels(block);
            for (auto i = first; i != last; ++i) {
                const double u = a[*i] - meanA;
                const double v = b[*i] - meanB;
                sums[0] += u * v;
                sums[1] += u * u;
                sums[2] += v * v;
            }
            return sums;
        });
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (const std::array<double, 3>& sums : centredSums) {
        ab += sums[0];
        aa += sums[1];
        bb += sums[2];
    }
    return ab / std::sqrt(aa * bb);
}

double pairAgreement(const Volume& first, const Volume& second, const Volume& map,
                     const std::vector<std::size_t>& mask)
{
    const CorrectedPair pair = correctPair(first, second, map, true);
    return correlationOver(pair.first, pair.second, mask);
}
