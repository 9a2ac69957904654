// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/selection.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// An unsigned key whose order is the IEEE total order of the float.
std::uint32_t orderKey(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // Negative values have all bits flipped, the others only the sign bit.
    return bits ^ (static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) | 0x80000000u);
}

float fromOrderKey(std::uint32_t key)
{
    const std::uint32_t bits = (key & 0x80000000u) != 0 ? key & 0x7fffffffu : ~key;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr int kBucketShift = 16;
constexpr std::size_t kBuckets = std::size_t{1} << 16;

// The smallest key among the values in the bucket.
std::uint32_t smallestKeyIn(const float* values, std::size_t n, std::uint32_t bucket)
{
    std::uint32_t smallest = UINT32_MAX;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = orderKey(values[i]);
        if (key >> kBucketShift == bucket) smallest = std::min(smallest, key);
    }
    return smallest;
}

}  // namespace

std::pair<float, float> neighbouringOrderStatistics(const float* values, std::size_t n, std::size_t k)
{
    if (k >= n) throw std::out_of_range("An order statistic beyond the number of values was asked for.");
    std::vector<std::size_t> counts(kBuckets, 0);
    for (std::size_t i = 0; i < n; ++i) ++counts[orderKey(values[i]) >> kBucketShift];
    // The bucket that holds rank k, and the rank's place within it.
    std::uint32_t bucket = 0;
    std::size_t below = 0;
    while (below + counts[bucket] <= k) below += counts[bucket++];
    std::vector<std::uint32_t> keys;
    keys.reserve(counts[bucket]);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = orderKey(values[i]);
        if (key >> kBucketShift == bucket) keys.push_back(key);
    }
    const std::size_t within = k - below;
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(within), keys.end());
    const float kth = fromOrderKey(keys[within]);
    if (k + 1 == n) return {kth, kth};
    if (within + 1 < keys.size())
        return {kth, fromOrderKey(*std::min_element(keys.begin() + static_cast<std::ptrdiff_t>(within) + 1, keys.end()))};
    // Rank k + 1 is the smallest value of the next bucket that holds any.
    std::uint32_t next = bucket + 1;
    while (counts[next] == 0) ++next;
    return {kth, fromOrderKey(smallestKeyIn(values, n, next))};
}
