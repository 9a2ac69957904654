// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/threadpool.h"
#include "core/vectorlanes.h"

namespace {

std::vector<float> randomValues(std::size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1e3f, 1e3f);
    std::vector<float> values(n);
    for (float& v : values) v = value(random);
    return values;
}

}  // namespace

// The loops compiled for lanes give the bits of the one-value loop: no operation fused
// (a * b + c rounds twice), no sum reordered, every piece and block run once.
TEST(VectorLanes, PiecesAndBlocksGiveTheBitsOfTheOneValueLoop)
{
    const std::size_t n = 1000, row = 37;
    const std::vector<float> a = randomValues(n, 1), b = randomValues(n, 2), c = randomValues(n, 3);
    std::vector<float> expected(n), blocks(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) expected[i] = a[i] * b[i] + c[i] / 3.0f - 0.1f * a[i];
    std::vector<float> expectedRowSums(n / row + 1, 0.0f), rowSums(n / row + 1, -1.0f);
    for (std::size_t i = 0; i < n; ++i) expectedRowSums[i / row] += expected[i] * b[i];

    WorkerThreads threads(3);
    std::vector<int> runs(n / row + 1, 0);
    forEachBlockInLanes(n, 64, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) blocks[i] = a[i] * b[i] + c[i] / 3.0f - 0.1f * a[i];
    });
    forEachPieceInLanes(runs.size(), [&](std::size_t piece) {
        ++runs[piece];
        float sum = 0.0f;
        for (std::size_t i = piece * row; i < std::min(n, (piece + 1) * row); ++i) sum += blocks[i] * b[i];
        rowSums[piece] = sum;
    });
    EXPECT_EQ(0, std::memcmp(blocks.data(), expected.data(), n * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(rowSums.data(), expectedRowSums.data(), rowSums.size() * sizeof(float)));
    EXPECT_EQ(std::vector<int>(runs.size(), 1), runs);
}
