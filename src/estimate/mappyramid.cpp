// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/mappyramid.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "estimate/preciseobjective.h"

namespace {

int halved(int n, bool halve)
{
    return halve ? (n + 1) / 2 : n;
}

// Coarse coordinate of a fine index: the fine voxel i lies at (i - 0.5)/2 in coarse
// voxels when the axis was halved.
struct Tap {
    int lower;
    int upper;
    float weight;  // of upper
};

std::vector<Tap> taps(int fine, int coarse, bool halvedAxis)
{
    std::vector<Tap> result(static_cast<std::size_t>(fine));
    for (int i = 0; i < fine; ++i) {
        const float t = halvedAxis ? (static_cast<float>(i) - 0.5f) * 0.5f : static_cast<float>(i);
        const float clamped = std::clamp(t, 0.0f, static_cast<float>(coarse - 1));
        const int lower = std::min(static_cast<int>(clamped), coarse - 1);
        const int upper = std::min(lower + 1, coarse - 1);
        result[i] = {lower, upper, clamped - static_cast<float>(lower)};
    }
    return result;
}

}  // namespace

HalvedAxes axesToHalve(Dimensions extent)
{
    return {extent.x >= 8, extent.y >= 8, extent.z >= 8};
}

Dimensions halvedExtent(Dimensions extent, const HalvedAxes& axes)
{
    return {halved(extent.x, axes[0]), halved(extent.y, axes[1]), halved(extent.z, axes[2])};
}

Volume halveVolume(const Volume& volume, const HalvedAxes& axes)
{
    const Dimensions coarse = halvedExtent(volume.dimensions(), axes);
    Volume sums(coarse, 0.0f);
    Volume counts(coarse, 0.0f);
    const int sx = axes[0] ? 2 : 1, sy = axes[1] ? 2 : 1, sz = axes[2] ? 2 : 1;
    for (int z = 0; z < volume.nz(); ++z)
        for (int y = 0; y < volume.ny(); ++y)
            for (int x = 0; x < volume.nx(); ++x) {
                const std::size_t i = sums.index(x / sx, y / sy, z / sz);
                sums[i] += volume(x, y, z);
                counts[i] += 1.0f;
            }
    for (std::size_t i = 0, n = sums.size(); i < n; ++i) sums[i] /= counts[i];
    return sums;
}

Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes)
{
    const std::vector<Tap> tx = taps(fine.x, coarse.nx(), axes[0]);
    const std::vector<Tap> ty = taps(fine.y, coarse.ny(), axes[1]);
    const std::vector<Tap> tz = taps(fine.z, coarse.nz(), axes[2]);
    const float scale = axes[1] ? 2.0f : 1.0f;
    Volume result(fine);
    for (int z = 0; z < fine.z; ++z)
        for (int y = 0; y < fine.y; ++y)
            for (int x = 0; x < fine.x; ++x) {
                const Tap& a = tx[x];
                const Tap& b = ty[y];
                const Tap& c = tz[z];
                const auto line = [&](int yy, int zz) {
                    return (1.0f - a.weight) * coarse(a.lower, yy, zz) + a.weight * coarse(a.upper, yy, zz);
                };
                const float front = (1.0f - b.weight) * line(b.lower, c.lower) + b.weight * line(b.upper, c.lower);
                const float back = (1.0f - b.weight) * line(b.lower, c.upper) + b.weight * line(b.upper, c.upper);
                result(x, y, z) = scale * ((1.0f - c.weight) * front + c.weight * back);
            }
    return result;
}

void smoothAlongAxis(Volume& volume, int axis)
{
    const Dimensions e = volume.dimensions();
    const int n = axis == 0 ? e.x : axis == 1 ? e.y : e.z;
    if (n < 2) return;
    const std::size_t stride = axis == 0 ? 1 : axis == 1 ? static_cast<std::size_t>(e.x)
                                                         : static_cast<std::size_t>(e.x) * static_cast<std::size_t>(e.y);
    const Volume source = volume;
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                const int i = axis == 0 ? x : axis == 1 ? y : z;
                const std::size_t at = volume.index(x, y, z);
                const float below = i > 0 ? source[at - stride] : source[at];
                const float above = i + 1 < n ? source[at + stride] : source[at];
                volume[at] = 0.25f * below + 0.5f * source[at] + 0.25f * above;
            }
}

int restoreFeasibility(Volume& d, float limit)
{
    for (std::size_t i = 0, n = d.size(); i < n; ++i)
        if (!std::isfinite(d[i])) {
            d = Volume(d.dimensions(), 0.0f);
            return 0;
        }
    int passes = 0;
    while (largestSlope(d) >= limit) {
        if (passes == 200) {
            d = Volume(d.dimensions(), 0.0f);
            break;
        }
        smoothAlongAxis(d, 1);
        ++passes;
    }
    return passes;
}
