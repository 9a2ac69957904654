// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/standardcheck.h"

#include <cmath>
#include <vector>

#include "core/pairagreement.h"

namespace {

constexpr float kDifferenceVoxels = 0.25f;
constexpr double kLeastRegion = 0.01;  // of the head
constexpr double kMargin = 0.03;

// |gradient| by central differences in voxel units; 0 on the border.
Volume gradientMagnitude(const Volume& v)
{
    const int nx = v.nx(), ny = v.ny(), nz = v.nz();
    Volume out(v.dimensions(), 0.0f);
    const std::size_t row = static_cast<std::size_t>(nx);
    const std::size_t slice = row * static_cast<std::size_t>(ny);
    for (int z = 1; z + 1 < nz; ++z)
        for (int y = 1; y + 1 < ny; ++y) {
            const std::size_t base = v.index(0, y, z);
            for (int x = 1; x + 1 < nx; ++x) {
                const std::size_t i = base + static_cast<std::size_t>(x);
                const float gx = 0.5f * (v[i + 1] - v[i - 1]);
                const float gy = 0.5f * (v[i + row] - v[i - row]);
                const float gz = 0.5f * (v[i + slice] - v[i - slice]);
                out[i] = std::sqrt(gx * gx + gy * gy + gz * gz);
            }
        }
    return out;
}

double edgeCorrelation(const CorrectablePair& pair, const Volume& map, const std::vector<std::size_t>& voxels)
{
    const CorrectedPair corrected = pair.corrected(map, false);
    return correlationOver(gradientMagnitude(corrected.first), gradientMagnitude(corrected.second), voxels);
}

}  // namespace

StandardComparison compareWithStandardMap(const CorrectablePair& pair, const Volume& precise, const Volume& standard)
{
    StandardComparison result;
    const std::vector<std::size_t>& head = pair.head();
    std::vector<std::size_t> differing;
    for (std::size_t i : head)
        if (std::fabs(precise[i] - standard[i]) > kDifferenceVoxels) differing.push_back(i);
    result.headVoxels = head.size();
    result.differingVoxels = differing.size();
    if (static_cast<double>(differing.size()) < kLeastRegion * static_cast<double>(head.size()) || differing.size() < 2)
        return result;
    result.compared = true;
    result.preciseEdges = edgeCorrelation(pair, precise, differing);
    result.standardEdges = edgeCorrelation(pair, standard, differing);
    // A NaN correlation (no variation) gives no reason to drop the precise map.
    result.keepPrecise = !(result.standardEdges - result.preciseEdges > kMargin);
    return result;
}
