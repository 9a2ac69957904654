// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/mappyramid.h"

#include <algorithm>
#include <vector>

#include "core/vectorlanes.h"

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

std::array<double, 3> halvedVoxelSize(const std::array<double, 3>& voxelSize, const HalvedAxes& axes)
{
    std::array<double, 3> size = voxelSize;
    for (int k = 0; k < 3; ++k)
        if (axes[k]) size[k] *= 2.0;
    return size;
}

Volume halveVolume(const Volume& volume, const HalvedAxes& axes)
{
    const Dimensions coarse = halvedExtent(volume.dimensions(), axes);
    Volume sums(coarse, 0.0f);
    Volume counts(coarse, 0.0f);
    // Each coarse slice adds its fine voxels in storage order.
    forEachPieceInLanes(static_cast<std::size_t>(coarse.z), [&](std::size_t piece) {
        forEachFineVoxelOfCoarseSlice(volume.dimensions(), coarse, axes, static_cast<int>(piece),
                                      [&](std::size_t c, std::size_t f) {
                                          sums[c] += volume[f];
                                          counts[c] += 1.0f;
                                      });
        const std::size_t begin = sums.index(0, 0, static_cast<int>(piece));
        const std::size_t end = begin + static_cast<std::size_t>(coarse.x) * static_cast<std::size_t>(coarse.y);
        for (std::size_t i = begin; i < end; ++i) sums[i] /= counts[i];
    });
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
    forEachPieceInLanes(static_cast<std::size_t>(coarse.nz()), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
        for (int y = 0; y < coarse.ny(); ++y) {
            const float* r = coarse.data() + coarse.index(0, y, z);
            float* o = rows.data() + rows.index(0, y, z);
            for (int x = 0; x < f.x; ++x) {
                const Tap& a = tx[static_cast<std::size_t>(x)];
                o[x] = (1.0f - a.weight) * r[a.lower] + a.weight * r[a.upper];
            }
        }
    });
    forEachPieceInLanes(static_cast<std::size_t>(f.z), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
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
    });
}

void transposeToCoarser(const Volume& fine, const HalvedAxes& axes, Volume& out)
{
    const Dimensions f = fine.dimensions();
    const std::vector<Tap> tx = taps(f.x, out.nx(), axes[0]);
    const std::vector<Tap> ty = taps(f.y, out.ny(), axes[1]);
    const std::vector<Tap> tz = taps(f.z, out.nz(), axes[2]);
    const std::size_t coarseRow = static_cast<std::size_t>(out.nx());
    // Every fine row transferred along x first, each slice a piece.
    Volume lines(Dimensions{out.nx(), f.y, f.z});
    forEachPieceInLanes(static_cast<std::size_t>(f.z), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
        for (int y = 0; y < f.y; ++y) {
            float* line = lines.data() + lines.index(0, y, z);
            std::fill(line, line + coarseRow, 0.0f);
            const float* in = fine.data() + fine.index(0, y, z);
            for (int x = 0; x < f.x; ++x) {
                const Tap& a = tx[static_cast<std::size_t>(x)];
                line[a.lower] += (1.0f - a.weight) * in[x];
                line[a.upper] += a.weight * in[x];
            }
        }
    });
    // Then each coarse slice is a piece: it adds the rows that reach it in storage order
    // and in the order of a single pass over the fine rows, so every coarse voxel receives
    // the same terms in the same order.
    forEachPieceInLanes(static_cast<std::size_t>(out.nz()), [&](std::size_t piece) {
        const int zc = static_cast<int>(piece);
        float* slice = out.data() + out.index(0, 0, zc);
        std::fill(slice, slice + coarseRow * static_cast<std::size_t>(out.ny()), 0.0f);
        for (int z = 0; z < f.z; ++z) {
            const Tap& c = tz[static_cast<std::size_t>(z)];
            if (c.lower != zc && c.upper != zc) continue;
            for (int y = 0; y < f.y; ++y) {
                const float* line = lines.data() + lines.index(0, y, z);
                const Tap& b = ty[static_cast<std::size_t>(y)];
                const RowWeights w = rowWeights(b, c);
                const auto add = [&](float weight, int yc) {
                    float* r = slice + static_cast<std::size_t>(yc) * coarseRow;
                    for (std::size_t x = 0; x < coarseRow; ++x) r[x] += weight * line[x];
                };
                if (c.lower == zc) {
                    add(w.w00, b.lower);
                    add(w.w10, b.upper);
                }
                if (c.upper == zc) {
                    add(w.w01, b.lower);
                    add(w.w11, b.upper);
                }
            }
        }
    });
}

Volume prolongMap(const Volume& coarse, Dimensions fine, const HalvedAxes& axes)
{
    Volume result(fine);
    interpolateToFiner(coarse, axes, result);
    if (axes[1])
        for (std::size_t i = 0, n = result.size(); i < n; ++i) result[i] *= 2.0f;
    return result;
}
