// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "core/selection.h"
#include "support/floatbits.h"

namespace {

// The reference: a full sort of a copy.
void expectSortedNeighbours(const std::vector<float>& values, std::size_t k)
{
    std::vector<float> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto [kth, next] = neighbouringOrderStatistics(values.data(), values.size(), k);
    SCOPED_TRACE("k = " + std::to_string(k) + " of " + std::to_string(values.size()));
    EXPECT_EQ(kth, sorted[k]);
    EXPECT_EQ(next, sorted[std::min(k + 1, sorted.size() - 1)]);
}

}  // namespace

TEST(OrderStatistics, MatchTheSortedValuesAtEveryRankOfSmallArrays)
{
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> value(-3.0f, 3.0f);
    for (std::size_t n : {1u, 2u, 3u, 17u, 100u}) {
        std::vector<float> values(n);
        for (float& v : values) v = value(generator);
        // Repeated values, both zeros and exact integers among them.
        if (n > 3) values[1] = values[2] = values[0];
        if (n > 5) values[4] = 0.0f;
        for (std::size_t k = 0; k < n; ++k) expectSortedNeighbours(values, k);
    }
}

TEST(OrderStatistics, MatchTheSortedValuesWhereRanksShareABucketOrFallInTheNextOne)
{
    std::mt19937 generator(11);
    // Intensities as in a head volume: most voxels 0, the rest spread over three decades,
    // with a run of values that share their top 16 bits.
    std::uniform_real_distribution<float> intensity(1.0f, 1000.0f);
    std::vector<float> values(200000, 0.0f);
    for (std::size_t i = 0; i < values.size(); i += 3) values[i] = intensity(generator);
    for (std::size_t i = 1; i < 2000; i += 2) values[i] = 512.0f + static_cast<float>(i) * 1e-4f;
    for (const double p : {0.0, 0.5, 0.9, 0.99, 0.995, 1.0})
        expectSortedNeighbours(values, static_cast<std::size_t>(p * static_cast<double>(values.size() - 1)));
    // The last value of one bucket, whose neighbour lies in a later bucket.
    std::vector<float> sparse{1.0f, 1000.0f, 2.0f, 1.0f};
    expectSortedNeighbours(sparse, 2);
    expectSortedNeighbours(sparse, 1);
}

TEST(OrderStatistics, RankNegativeValuesBelowPositiveOnesAndMinusZeroBelowZero)
{
    const std::vector<float> values{0.0f, -1e-30f, 5.0f, -0.0f, -7.5f, std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity()};
    EXPECT_EQ(neighbouringOrderStatistics(values.data(), values.size(), 0).first,
              -std::numeric_limits<float>::infinity());
    EXPECT_EQ(neighbouringOrderStatistics(values.data(), values.size(), 1).first, -7.5f);
    EXPECT_EQ(neighbouringOrderStatistics(values.data(), values.size(), 2).first, -1e-30f);
    const auto [minusZero, zero] = neighbouringOrderStatistics(values.data(), values.size(), 3);
    EXPECT_EQ(bitsOf(minusZero), bitsOf(-0.0f));
    EXPECT_EQ(bitsOf(zero), bitsOf(0.0f));
    EXPECT_EQ(neighbouringOrderStatistics(values.data(), values.size(), 6).second,
              std::numeric_limits<float>::infinity());
    EXPECT_THROW(neighbouringOrderStatistics(values.data(), values.size(), 7), std::out_of_range);
}
