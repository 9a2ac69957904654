// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/volumetransform.h"
#include "support/assertionmessage.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-5.0f, 20.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

} // namespace

TEST(VolumeTransform, ResizeInterpolatesAtScaledCentredPositions)
{
    Volume src(2, 1, 1);
    src(0, 0, 0) = 4.0f;
    src(1, 0, 0) = 8.0f;
    Volume dst(4, 1, 1);
    resizeVolume(dst, src);
    EXPECT_FLOAT_EQ(dst(0, 0, 0), 0.75f * 4.0f);
    EXPECT_FLOAT_EQ(dst(1, 0, 0), 0.75f * 4.0f + 0.25f * 8.0f);
    EXPECT_FLOAT_EQ(dst(2, 0, 0), 0.25f * 4.0f + 0.75f * 8.0f);
    EXPECT_FLOAT_EQ(dst(3, 0, 0), 0.75f * 8.0f);

    const Volume same = randomVolume({7, 6, 5}, 1);
    Volume copy(same.dimensions());
    resizeVolume(copy, same);
    EXPECT_EQ(std::memcmp(copy.data(), same.data(), same.size() * sizeof(float)), 0);
}

TEST(VolumeTransform, IdentityAboutTheCentresCropsOrPads)
{
    const Volume src = randomVolume({6, 5, 4}, 2);
    Volume larger(8, 9, 4);
    transformVolumeCentred(larger, src, Transform{});
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool inside = x >= 1 && x < 7 && y >= 2 && y < 7;
                ASSERT_EQ(larger(x, y, z), inside ? src(x - 1, y - 2, z) : 0.0f) << x << "," << y << "," << z;
            }
    Volume smaller(4, 3, 2);
    transformVolumeCentred(smaller, src, Transform{});
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) ASSERT_EQ(smaller(x, y, z), src(x + 1, y + 1, z + 1));
}

TEST(VolumeTransform, GeneralAffineReadsTheRowVectorImage)
{
    const Volume src = randomVolume({9, 8, 7}, 3);
    Transform m;
    const float values[16] = {0.9f, 0.1f, 0.05f, 0, -0.2f, 1.1f, 0.0f, 0, 0.1f, 0.0f, 0.8f, 0, 1.5f, -0.75f, 0.25f, 1};
    std::copy(values, values + 16, m.m.begin());
    Volume dst(8, 8, 6);
    transformVolume(dst, src, m);
    for (int z = 0; z < 6; ++z)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const float fx = static_cast<float>(x), fy = static_cast<float>(y), fz = static_cast<float>(z);
                const float sx = m.m[12] + fz * m.m[8] + (fy * m.m[4] + fx * m.m[0]);
                const float sy = m.m[13] + fz * m.m[9] + (fy * m.m[5] + fx * m.m[1]);
                const float sz = m.m[14] + fz * m.m[10] + (fy * m.m[6] + fx * m.m[2]);
                ASSERT_EQ(dst(x, y, z), src.sampleTrilinear(sx, sy, sz));
            }
}

TEST(VolumeTransform, SameVolumeAsDestinationAndSourceIsRejected)
{
    Volume v(3, 3, 3, 1.0f);
    EXPECT_EQ(assertionMessage([&] { transformVolume(v, v, Transform{}); }),
              "assertion failure (src\\volumetransform:15): &dst != &src");
    EXPECT_EQ(assertionMessage([&] { transformVolumeCentred(v, v, Transform{}); }),
              "assertion failure (src\\volumetransform:28): &dst != &src");
    EXPECT_EQ(assertionMessage([&] { resizeVolume(v, v); }), "assertion failure (src\\volumetransform:39): &dst != &src");
}
