// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/mappyramid.h"

#include <algorithm>
#include <vector>

namespace {

int halved(int n, bool halve)
{
    return halve ? (n + 1) / 2 : n;
}

// The two coarse neighbours of a fine index and the weight of the upper one.
struct Tap {
    int lower;
    int upper;
    float weight;
};

std::vector<Tap> taps(int fine, int coarse, bool halvedAxis)
{
    std::vector<Tap> result(static_cast<std::size_t>(fine));
    for (int i = 0; i < fine; ++i) {
        const float t = halvedAxis ? (static_cast<float>(i) - 0.5f) * 0.5f : static_cast<float>(i);
        const float clamped = std::clamp(t, 0.0f, static_cast<float>(coarse - 1));
        const int lower = std::min(static_cast<int>(clamped), coarse - 1);
        const int upper = std::min(lower + 1, coarse - 1);
        result[static_cast<std::size_t>(i)] = {lower, upper, clamped - static_cast<float>(lower)};
    }
    return result;
}

// The weights of the four coarse rows that a fine row (y, z) interpolates.
struct RowWeights {
    float w00, w10, w01, w11;
};

RowWeights rowWeights(const Tap& b, const Tap& c)
{
    return {(1.0f - b.weight) * (1.0f - c.weight), b.weight * (1.0f - c.weight), (1.0f - b.weight) * c.weight,
            b.weight * c.weight};
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

void interpolateToFiner(const Volume& coarse, const HalvedAxes& axes, Volume& out)
{
    const Dimensions f = out.dimensions();
    const std::vector<Tap> tx = taps(f.x, coarse.nx(), axes[0]);
    const std::vector<Tap> ty = taps(f.y, coarse.ny(), axes[1]);
    const std::vector<Tap> tz = taps(f.z, coarse.nz(), axes[2]);
    // Every coarse row interpolated along x first, then four of them per fine row.
    Volume rows(Dimensions{f.x, coarse.ny(), coarse.nz()});
    for (int z = 0; z < coarse.nz(); ++z)
        for (int y = 0; y < coarse.ny(); ++y) {
            const float* r = coarse.data() + coarse.index(0, y, z);
            float* o = rows.data() + rows.index(0, y, z);
            for (int x = 0; x < f.x; ++x) {
                const Tap& a = tx[static_cast<std::size_t>(x)];
                o[x] = (1.0f - a.weight) * r[a.lower] + a.weight * r[a.upper];
            }
        }
    for (int z = 0; z < f.z; ++z)
        for (int y = 0; y < f.y; ++y) {
            const Tap& b = ty[static_cast<std::size_t>(y)];
            const Tap& c = tz[static_cast<std::size_t>(z)];
            const float* r00 = rows.data() + rows.index(0, b.lower, c.lower);
            const float* r10 = rows.data() + rows.index(0, b.upper, c.lower);
            const float* r01 = rows.data() + rows.index(0, b.lower, c.upper);
            const float* r11 = rows.data() + rows.index(0, b.upper, c.upper);
            float* row = out.data() + out.index(0, y, z);
            for (int x = 0; x < f.x; ++x) {
                const float front = (1.0f - b.weight) * r00[x] + b.weight * r10[x];
                const float back = (1.0f - b.weight) * r01[x] + b.weight * r11[x];
                row[x] = (1.0f - c.weight) * front + c.weight * back;
            }
        }
}

void transposeToCoarser(const Volume& fine, const HalvedAxes& axes, Volume& out)
{
    const Dimensions f = fine.dimensions();
    std::fill(out.data(), out.data() + out.size(), 0.0f);
    const std::vector<Tap> tx = taps(f.x, out.nx(), axes[0]);
    const std::vector<Tap> ty = taps(f.y, out.ny(), axes[1]);
    const std::vector<Tap> tz = taps(f.z, out.nz(), axes[2]);
    std::vector<float> line(static_cast<std::size_t>(out.nx()));
    for (int z = 0; z < f.z; ++z)
        for (int y = 0; y < f.y; ++y) {
            std::fill(line.begin(), line.end(), 0.0f);
            const float* in = fine.data() + fine.index(0, y, z);
            for (int x = 0; x < f.x; ++x) {
                const Tap& a = tx[static_cast<std::size_t>(x)];
                line[static_cast<std::size_t>(a.lower)] += (1.0f - a.weight) * in[x];
                line[static_cast<std::size_t>(a.upper)] += a.weight * in[x];
            }
            const Tap& b = ty[static_cast<std::size_t>(y)];
            const Tap& c = tz[static_cast<std::size_t>(z)];
            const RowWeights w = rowWeights(b, c);
            float* r00 = out.data() + out.index(0, b.lower, c.lower);
            float* r10 = out.data() + out.index(0, b.upper, c.lower);
            float* r01 = out.data() + out.index(0, b.lower, c.upper);
            float* r11 = out.data() + out.index(0, b.upper, c.upper);
            for (std::size_t x = 0; x < line.size(); ++x) {
                r00[x] += w.w00 * line[x];
                r10[x] += w.w10 * line[x];
                r01[x] += w.w01 * line[x];
                r11[x] += w.w11 * line[x];
            }
        }
}

Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes)
{
    Volume result(fine);
    interpolateToFiner(coarse, axes, result);
    if (axes[1])
        for (std::size_t i = 0, n = result.size(); i < n; ++i) result[i] *= 2.0f;
    return result;
}
