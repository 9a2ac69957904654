// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/distance.h"
#include "support/assertionmessage.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-50.0f, 150.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

// Storage-order single-precision sums, written out independently of the module.
double nccReference(const float* a, const float* b, const std::vector<std::size_t>& order)
{
    float sa = 0, saa = 0, sb = 0, sbb = 0, sab = 0;
    for (std::size_t i : order) {
        sa += a[i];
        saa += a[i] * a[i];
        sb += b[i];
        sbb += b[i] * b[i];
        sab += a[i] * b[i];
    }
    const float n = static_cast<float>(order.size());
    const float numerator = n * sab - sa * sb;
    const float left = std::sqrt(n * saa - sa * sa);
    const float right = std::sqrt(n * sbb - sb * sb);
    return numerator / (left * right);
}

} // namespace

TEST(Distance, SsdSumsSquaredFloatDifferencesInDoubleInStorageOrder)
{
    const Volume a = randomVolume({13, 11, 7}, 1);
    const Volume b = randomVolume({13, 11, 7}, 2);
    double expected = 0.0;
    for (int z = 0; z < 7; ++z)
        for (int y = 0; y < 11; ++y)
            for (int x = 0; x < 13; ++x) {
                const float d = a(x, y, z) - b(x, y, z);
                expected += static_cast<double>(d) * static_cast<double>(d);
            }
    EXPECT_EQ(ssd(a, b), expected);
    EXPECT_EQ(meanSsd(a, b), expected / (13.0 * 11.0 * 7.0));
    EXPECT_EQ(ssd(a, a), 0.0);
    EXPECT_EQ(ssd(a, a + 1.0f), static_cast<double>(a.size()));
    EXPECT_EQ(meanSsd(a, a + 1.0f), 1.0);
}

TEST(Distance, NccAccumulatesInFloatAndIsInvariantToPositiveAffineMaps)
{
    const Volume a = randomVolume({16, 12, 9}, 3);
    const Volume b = randomVolume({16, 12, 9}, 4);
    std::vector<std::size_t> order(a.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    EXPECT_EQ(ncc(a, b), nccReference(a.data(), b.data(), order));
    EXPECT_NEAR(ncc(a, a * 2.0f + 3.0f), 1.0, 1e-4);
    EXPECT_NEAR(ncc(a, -a), -1.0, 1e-4);
    EXPECT_TRUE(std::isnan(ncc(Volume(4, 4, 4, 2.0f), Volume(4, 4, 4, 5.0f))));
}

TEST(Distance, LocalMeasuresFollowTheListOrder)
{
    const Volume a = randomVolume({10, 8, 6}, 5);
    const Volume b = randomVolume({10, 8, 6}, 6);
    std::mt19937 generator(7);
    std::vector<VoxelIndex> voxels;
    std::vector<std::size_t> order;
    for (int i = 0; i < 150; ++i) {
        const VoxelIndex v{static_cast<int>(generator() % 10), static_cast<int>(generator() % 8),
                           static_cast<int>(generator() % 6)};
        voxels.push_back(v);
        order.push_back(a.index(v.x, v.y, v.z));
    }
    double expected = 0.0;
    for (std::size_t i : order) {
        const float d = a[i] - b[i];
        expected += static_cast<double>(d) * d;
    }
    EXPECT_EQ(ssdLocal(a, b, voxels), expected);
    EXPECT_EQ(nccLocal(a, b, voxels), nccReference(a.data(), b.data(), order));
    EXPECT_EQ(ssdLocal(a, b, {}), 0.0);
    EXPECT_TRUE(std::isnan(nccLocal(a, b, {})));
}

TEST(Distance, MeanSquaredDifferenceIgnoresPairsWithAZero)
{
    Vector v(3), w(3);
    v[0] = 0, v[1] = 1, v[2] = 2;
    w[0] = 5, w[1] = 3, w[2] = 2;
    EXPECT_EQ(meanSquaredDifferenceNonZero(v, w), 2.0);
    EXPECT_EQ(meanSquaredDifferenceNonZero(Vector(4, 0.0f), Vector(4, 0.0f)), 0.0);
    Vector withNan(3, 1.0f);
    withNan[0] = std::nanf("");
    EXPECT_TRUE(std::isnan(meanSquaredDifferenceNonZero(withNan, Vector(3, 2.0f))));
}

TEST(Distance, MismatchedExtentsAreRejectedEvenWithEqualVoxelCounts)
{
    const Volume a(4, 4, 2, 1.0f);
    const Volume b(4, 2, 4, 1.0f);
    EXPECT_EQ(assertionMessage([&] { ssd(a, b); }), "assertion failure (src\\distance:15): dim1 == dim2");
    EXPECT_EQ(assertionMessage([&] { meanSsd(a, b); }), "assertion failure (src\\distance:15): dim1 == dim2");
    EXPECT_EQ(assertionMessage([&] { ncc(a, b); }), "assertion failure (src\\distance:37): dim1 == dim2");
    EXPECT_EQ(assertionMessage([&] { ssdLocal(a, b, {}); }),
              "assertion failure (src\\distance:63): vol1.dimensions() == vol2.dimensions()");
    EXPECT_EQ(assertionMessage([&] { nccLocal(a, b, {}); }),
              "assertion failure (src\\distance:76): vol1.dimensions() == vol2.dimensions()");
    EXPECT_EQ(assertionMessage([&] { meanSquaredDifferenceNonZero(Vector(2), Vector(3)); }),
              "assertion failure (src\\distance:133): vec1.size() == vec2.size()");
}
