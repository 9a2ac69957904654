// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/restorationblend.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/vdm.h"

namespace {

// The mean of the finite values of the two corrected copies; NaN where neither is finite.
Volume finiteMean(const Volume& a, const Volume& b)
{
    Volume mean(a.dimensions());
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) {
        const bool useA = std::isfinite(a[i]), useB = std::isfinite(b[i]);
        mean[i] = useA && useB ? 0.5f * (a[i] + b[i])
                  : useA       ? a[i]
                  : useB       ? b[i]
                               : std::numeric_limits<float>::quiet_NaN();
    }
    return mean;
}

}  // namespace

Volume restorationWeights(const Volume& vdm)
{
    const Volume slope = vdmDerivativeY(vdm);
    Volume weights(vdm.dimensions(), 0.0f);
    const int nx = vdm.nx(), ny = vdm.ny(), nz = vdm.nz();
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                float steepest = 0.0f;
                for (int d = -kRestorationReach; d <= kRestorationReach; ++d) {
                    const int row = y + d;
                    if (row < 0 || row >= ny) continue;
                    const float nearness = 1.0f - static_cast<float>(std::abs(d)) / (kRestorationReach + 1);
                    steepest = std::max(steepest, std::fabs(slope(x, row, z)) * nearness);
                }
                const float t = std::clamp((steepest - kMildSlope) / (kSteepSlope - kMildSlope), 0.0f, 1.0f);
                weights(x, y, z) = t * t * (3.0f - 2.0f * t);
            }
    return weights;
}

void combinePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings)
{
    const Volume weights = restorationWeights(vdm);
    const Volume reversed = vdm * -1.0f;
    std::vector<Volume> means;
    means.reserve(plus.size());
    for (std::size_t i = 0; i < plus.size() && i < minus.size(); ++i)
        means.push_back(finiteMean(undistort(plus[i], vdm, false, true), undistort(minus[i], reversed, false, true)));
    restorePairs(plus, minus, vdm, settings);
    for (std::size_t i = 0; i < plus.size(); ++i) {
        Volume& out = plus[i];
        const Volume& mean = means[i];
        for (std::size_t k = 0, n = out.size(); k < n; ++k) {
            const float w = std::isfinite(mean[k]) ? weights[k] : 1.0f;
            const float blended = w == 1.0f ? out[k] : w * out[k] + (1.0f - w) * mean[k];
            out[k] = std::max(blended, 0.0f);
        }
    }
}
