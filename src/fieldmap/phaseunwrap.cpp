// SPDX-License-Identifier: GPL-3.0-or-later
#include "fieldmap/phaseunwrap.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "fieldmap/fieldextension.h"
#include "fieldmap/phaseunits.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kTwoPi = static_cast<float>(2.0 * kPi);
// Pairs are joined in this many classes of quality, best first; within a class in storage
// order. Fine enough that smooth regions always come before noise.
constexpr std::size_t kQualityClasses = 4096;

struct Grid {
    std::size_t n[3];
    std::size_t stride[3];

    explicit Grid(Dimensions e)
        : n{static_cast<std::size_t>(e.x), static_cast<std::size_t>(e.y), static_cast<std::size_t>(e.z)},
          stride{1, n[0], n[0] * n[1]}
    {
    }
    std::size_t coordinate(std::size_t v, int axis) const { return (v / stride[axis]) % n[axis]; }
    // The upper neighbour of v along axis lies inside the grid.
    bool hasUpper(std::size_t v, int axis) const { return coordinate(v, axis) + 1 < n[axis]; }
};

// The norm of the wrapped second differences of every voxel of the mask; an axis where the
// voxel lies on the edge of the grid counts as the worst.
std::vector<float> secondDifferenceNorms(const Volume& phase, const VoxelMask& mask, const Grid& grid)
{
    std::vector<float> norms(phase.size(), 0.0f);
    const float worst = static_cast<float>(kPi * kPi);
    for (std::size_t v = 0; v < phase.size(); ++v) {
        if (!mask[v]) continue;
        float sum = 0.0f;
        for (int axis = 0; axis < 3; ++axis) {
            if (grid.n[axis] < 2) continue;
            const std::size_t at = grid.coordinate(v, axis);
            if (at == 0 || at + 1 == grid.n[axis]) {
                sum += worst;
                continue;
            }
            const std::size_t s = grid.stride[axis];
            const float h = wrapPhase(phase[v - s] - phase[v]) - wrapPhase(phase[v] - phase[v + s]);
            sum += h * h;
        }
        norms[v] = std::sqrt(sum);
    }
    return norms;
}

// Groups of voxels whose phases are unwrapped against each other: each voxel's turns
// relative to its parent, the root's group size.
class TurnGroups {
public:
    explicit TurnGroups(std::size_t count) : parent_(count), turns_(count, 0), size_(count, 1)
    {
        for (std::size_t v = 0; v < count; ++v) parent_[v] = static_cast<std::uint32_t>(v);
    }

    struct Found {
        std::uint32_t root;
        std::int32_t turns;  // of the voxel relative to its root
    };

    Found find(std::uint32_t v)
    {
        std::uint32_t root = v;
        std::int32_t total = 0;
        while (parent_[root] != root) {
            total += turns_[root];
            root = parent_[root];
        }
        // Every voxel on the path now points at the root directly.
        std::int32_t remaining = total;
        for (std::uint32_t node = v; parent_[node] != root && node != root;) {
            const std::uint32_t next = parent_[node];
            const std::int32_t own = turns_[node];
            parent_[node] = root;
            turns_[node] = remaining;
            remaining -= own;
            node = next;
        }
        return {root, total};
    }

    // Joins the groups of a and b so that turns(b) - turns(a) = m; nothing when they are
    // one group already.
    void join(std::uint32_t a, std::uint32_t b, std::int32_t m)
    {
        const Found fa = find(a);
        const Found fb = find(b);
        if (fa.root == fb.root) return;
        if (size_[fa.root] >= size_[fb.root]) {
            parent_[fb.root] = fa.root;
            turns_[fb.root] = m + fa.turns - fb.turns;
            size_[fa.root] += size_[fb.root];
        } else {
            parent_[fa.root] = fb.root;
            turns_[fa.root] = fb.turns - m - fa.turns;
            size_[fb.root] += size_[fa.root];
        }
    }

private:
    std::vector<std::uint32_t> parent_;
    std::vector<std::int32_t> turns_;
    std::vector<std::uint32_t> size_;
};

// The neighbour pairs inside the mask, as voxel * 3 + axis (the pair of the voxel and its
// upper neighbour), best quality first.
std::vector<std::uint32_t> pairsByQuality(const VoxelMask& mask, const std::vector<float>& norms, const Grid& grid)
{
    const double worstKey = 2.0 * std::sqrt(3.0) * kPi;
    const double scale = static_cast<double>(kQualityClasses) / worstKey;
    const auto forPairs = [&](auto visit) {
        for (std::size_t v = 0; v < mask.size(); ++v) {
            if (!mask[v]) continue;
            for (int axis = 0; axis < 3; ++axis) {
                if (!grid.hasUpper(v, axis)) continue;
                const std::size_t u = v + grid.stride[axis];
                if (!mask[u]) continue;
                const double key = static_cast<double>(norms[v]) + static_cast<double>(norms[u]);
                visit(std::min(kQualityClasses - 1, static_cast<std::size_t>(key * scale)), v * 3 + static_cast<std::size_t>(axis));
            }
        }
    };
    std::vector<std::size_t> start(kQualityClasses + 1, 0);
    forPairs([&](std::size_t quality, std::size_t) { ++start[quality + 1]; });
    for (std::size_t c = 0; c < kQualityClasses; ++c) start[c + 1] += start[c];
    std::vector<std::uint32_t> pairs(start[kQualityClasses]);
    forPairs([&](std::size_t quality, std::size_t pair) { pairs[start[quality]++] = static_cast<std::uint32_t>(pair); });
    return pairs;
}

float medianOf(std::vector<float> values)
{
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    return values[middle];
}

std::int32_t turnsNearest(float radians)
{
    return static_cast<std::int32_t>(std::lround(radians / kTwoPi));
}

}  // namespace

UnwrappedPhase unwrapPhase(const Volume& wrapped, const VoxelMask& mask)
{
    if (mask.size() != wrapped.size()) throw std::invalid_argument("The mask does not have one entry per voxel.");
    if (wrapped.size() >= std::numeric_limits<std::uint32_t>::max() / 3)
        throw std::invalid_argument("The phase image has too many voxels to unwrap.");
    const Grid grid(wrapped.dimensions());
    const std::vector<float> norms = secondDifferenceNorms(wrapped, mask, grid);
    const std::vector<std::uint32_t> pairs = pairsByQuality(mask, norms, grid);

    TurnGroups groups(wrapped.size());
    for (const std::uint32_t pair : pairs) {
        const std::uint32_t a = pair / 3;
        const std::uint32_t b = a + static_cast<std::uint32_t>(grid.stride[pair % 3]);
        const float difference = wrapped[b] - wrapped[a];
        groups.join(a, b, turnsNearest(wrapPhase(difference) - difference));
    }

    UnwrappedPhase result;
    result.phase = Volume(wrapped.dimensions(), 0.0f);
    result.neighbourPairs = pairs.size();
    std::vector<std::uint32_t> root(wrapped.size(), 0);
    std::vector<std::uint32_t> rootSize(wrapped.size(), 0);
    std::uint32_t largest = 0;
    for (std::uint32_t v = 0; v < wrapped.size(); ++v) {
        if (!mask[v]) continue;
        const TurnGroups::Found found = groups.find(v);
        root[v] = found.root;
        result.phase[v] = wrapped[v] + kTwoPi * static_cast<float>(found.turns);
        if (++rootSize[found.root] == 1) ++result.pieces;
        if (rootSize[found.root] > rootSize[largest]) largest = found.root;
    }
    if (result.pieces == 0) return result;

    if (result.pieces > 1) {
        // The largest piece carried over the grid; every other piece takes the whole turns
        // that bring it nearest to that continuation.
        VoxelMask inLargest(mask.size(), 0);
        for (std::size_t v = 0; v < mask.size(); ++v) inLargest[v] = mask[v] && root[v] == largest;
        const Volume continued = extendBeyondMask(result.phase, inLargest);
        std::vector<std::uint32_t> order;
        for (std::uint32_t v = 0; v < mask.size(); ++v)
            if (mask[v] && root[v] != largest) order.push_back(v);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return root[a] < root[b]; });
        std::vector<float> gaps;
        for (std::size_t first = 0; first < order.size();) {
            std::size_t end = first;
            gaps.clear();
            while (end < order.size() && root[order[end]] == root[order[first]]) {
                gaps.push_back(continued[order[end]] - result.phase[order[end]]);
                ++end;
            }
            const float shift = kTwoPi * static_cast<float>(turnsNearest(medianOf(gaps)));
            for (std::size_t i = first; i < end; ++i) result.phase[order[i]] += shift;
            first = end;
        }
    }

    std::vector<float> inside;
    inside.reserve(rootSize[largest]);
    for (std::size_t v = 0; v < mask.size(); ++v)
        if (mask[v]) inside.push_back(result.phase[v]);
    result.offsetTurns = turnsNearest(medianOf(std::move(inside)));
    const float offset = kTwoPi * static_cast<float>(result.offsetTurns);
    for (std::size_t v = 0; v < mask.size(); ++v)
        if (mask[v]) result.phase[v] -= offset;

    for (const std::uint32_t pair : pairs) {
        const std::uint32_t a = pair / 3;
        const std::uint32_t b = a + static_cast<std::uint32_t>(grid.stride[pair % 3]);
        if (std::abs(result.phase[b] - result.phase[a]) > static_cast<float>(kPi)) ++result.jumpsLeft;
    }
    return result;
}
