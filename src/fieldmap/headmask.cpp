// SPDX-License-Identifier: GPL-3.0-or-later
#include "fieldmap/headmask.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "fieldmap/faceneighbours.h"

MaskPieces maskPieces(const VoxelMask& mask, Dimensions extent)
{
    std::vector<std::int32_t> provisional(mask.size(), 0);
    std::vector<std::size_t> sizes;
    std::vector<std::size_t> queue;
    for (std::size_t seed = 0; seed < mask.size(); ++seed) {
        if (!mask[seed] || provisional[seed] != 0) continue;
        const std::int32_t label = static_cast<std::int32_t>(sizes.size()) + 1;
        queue.assign(1, seed);
        provisional[seed] = label;
        for (std::size_t head = 0; head < queue.size(); ++head) {
            forFaceNeighbours(queue[head], extent, [&](std::size_t n) {
                if (mask[n] && provisional[n] == 0) {
                    provisional[n] = label;
                    queue.push_back(n);
                }
            });
        }
        sizes.push_back(queue.size());
    }
    // Relabel by decreasing size; equal sizes keep the order in which they were found.
    std::vector<std::size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
    std::vector<std::int32_t> rank(sizes.size() + 1, 0);
    MaskPieces pieces;
    for (std::size_t r = 0; r < order.size(); ++r) {
        rank[order[r] + 1] = static_cast<std::int32_t>(r) + 1;
        pieces.sizes.push_back(sizes[order[r]]);
    }
    pieces.label.resize(mask.size());
    for (std::size_t v = 0; v < mask.size(); ++v) pieces.label[v] = rank[static_cast<std::size_t>(provisional[v])];
    return pieces;
}

VoxelMask headMask(const Volume& magnitude)
{
    std::vector<float> finite;
    finite.reserve(magnitude.size());
    for (std::size_t i = 0; i < magnitude.size(); ++i)
        if (std::isfinite(magnitude[i])) finite.push_back(magnitude[i]);
    VoxelMask mask(magnitude.size(), 0);
    if (finite.empty()) return mask;
    const std::size_t rank = static_cast<std::size_t>(0.98 * static_cast<double>(finite.size() - 1));
    std::nth_element(finite.begin(), finite.begin() + static_cast<std::ptrdiff_t>(rank), finite.end());
    const float threshold = 0.1f * finite[rank];
    if (!(threshold > 0.0f)) return mask;
    for (std::size_t i = 0; i < magnitude.size(); ++i) mask[i] = magnitude[i] >= threshold;
    const MaskPieces pieces = maskPieces(mask, magnitude.dimensions());
    if (pieces.sizes.empty()) return mask;
    const std::size_t smallest = std::max<std::size_t>(27, pieces.sizes.front() / 1000);
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (mask[i] && pieces.sizes[static_cast<std::size_t>(pieces.label[i]) - 1] < smallest) mask[i] = 0;
    return mask;
}

std::size_t maskCount(const VoxelMask& mask)
{
    return static_cast<std::size_t>(std::count(mask.begin(), mask.end(), std::uint8_t{1}));
}

VoxelMask dilateMask(const VoxelMask& mask, Dimensions extent, int layers)
{
    VoxelMask grown = mask;
    std::vector<std::size_t> frontier;
    for (std::size_t v = 0; v < mask.size(); ++v)
        if (mask[v]) frontier.push_back(v);
    std::vector<std::size_t> next;
    for (int layer = 0; layer < layers && !frontier.empty(); ++layer) {
        next.clear();
        for (const std::size_t v : frontier)
            forFaceNeighbours(v, extent, [&](std::size_t n) {
                if (!grown[n]) {
                    grown[n] = 1;
                    next.push_back(n);
                }
            });
        frontier.swap(next);
    }
    return grown;
}
