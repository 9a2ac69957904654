// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fieldmap/fieldestimate.h"
#include "fieldmap/fieldextension.h"
#include "fieldmap/headmask.h"

TEST(HeadMask, KeepsTheBrightObjectAndDropsSpecksOfNoise)
{
    Volume magnitude(30, 30, 10, 5.0f);
    for (int z = 2; z < 8; ++z)
        for (int y = 5; y < 25; ++y)
            for (int x = 5; x < 25; ++x) magnitude(x, y, z) = 1000.0f;
    magnitude(1, 1, 1) = 900.0f;  // a speck
    magnitude(28, 28, 0) = std::numeric_limits<float>::quiet_NaN();
    const VoxelMask mask = headMask(magnitude);
    EXPECT_EQ(maskCount(mask), 20u * 20u * 6u);
    EXPECT_EQ(mask[magnitude.index(10, 10, 5)], 1);
    EXPECT_EQ(mask[magnitude.index(1, 1, 1)], 0);
}

TEST(HeadMask, PiecesAreLabelledByDecreasingSize)
{
    VoxelMask mask(10 * 3 * 1, 0);
    for (int x : {0, 1}) mask[static_cast<std::size_t>(x)] = 1;             // 2 voxels
    for (int x : {4, 5, 6, 7}) mask[static_cast<std::size_t>(x)] = 1;       // 4 voxels
    mask[20 + 9] = 1;                                                        // 1 voxel
    const MaskPieces pieces = maskPieces(mask, {10, 3, 1});
    ASSERT_EQ(pieces.sizes, (std::vector<std::size_t>{4, 2, 1}));
    EXPECT_EQ(pieces.label[5], 1);
    EXPECT_EQ(pieces.label[0], 2);
    EXPECT_EQ(pieces.label[29], 3);
    EXPECT_EQ(pieces.label[2], 0);
}

TEST(FieldExtension, KnownValuesStayAndEveryOtherVoxelTakesTheNearestLayers)
{
    // A ramp along y known in a slab of x: beyond it every column along x carries on the
    // value of its row.
    Volume values(12, 6, 4, std::numeric_limits<float>::quiet_NaN());
    VoxelMask known(values.size(), 0);
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 6; ++y)
            for (int x = 4; x < 8; ++x) {
                values(x, y, z) = static_cast<float>(10 * y);
                known[values.index(x, y, z)] = 1;
            }
    const Volume extended = extendBeyondMask(values, known);
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x) EXPECT_FLOAT_EQ(extended(x, y, z), 10.0f * y) << x << " " << y << " " << z;
}

TEST(FieldExtension, EachLayerIsTheMeanOfTheKnownFaceNeighbours)
{
    Volume values(3, 3, 1, 0.0f);
    VoxelMask known(9, 0);
    values(0, 0, 0) = 2.0f;
    values(2, 0, 0) = 6.0f;
    known[0] = known[2] = 1;
    const Volume extended = extendBeyondMask(values, known);
    EXPECT_FLOAT_EQ(extended(1, 0, 0), 4.0f);  // first layer: both known neighbours
    EXPECT_FLOAT_EQ(extended(0, 1, 0), 2.0f);
    EXPECT_FLOAT_EQ(extended(1, 1, 0), 4.0f);  // second layer: (1,0) 4, (0,1) 2, (2,1) 6
    EXPECT_FLOAT_EQ(extended(1, 2, 0), 4.0f);
}

TEST(FieldSmoothing, MatchesABruteForceGaussianAndKeepsConstants)
{
    // A single spike: the result is the normalised Gaussian of the distance in mm, as long
    // as the kernel stays inside the grid.
    const std::array<double, 3> voxel{2.0, 1.5, 3.0};
    Volume spike(21, 25, 13, 0.0f);
    spike(10, 12, 6) = 1.0f;
    const double sigma = 2.0;
    const Volume smoothed = smoothInMillimetres(spike, sigma, voxel);
    double total = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double s = sigma / voxel[static_cast<std::size_t>(axis)];
        const int radius = static_cast<int>(std::ceil(3.0 * s));
        double sum = 0.0;
        for (int k = -radius; k <= radius; ++k) sum += std::exp(-0.5 * k * k / (s * s));
        total = axis == 0 ? 1.0 / sum : total / sum;
    }
    for (int z = 4; z <= 8; ++z)
        for (int y = 9; y <= 15; ++y)
            for (int x = 7; x <= 13; ++x) {
                const double dx = (x - 10) * voxel[0], dy = (y - 12) * voxel[1], dz = (z - 6) * voxel[2];
                const double expected = total * std::exp(-0.5 * (dx * dx + dy * dy + dz * dz) / (sigma * sigma));
                EXPECT_NEAR(smoothed(x, y, z), expected, 1e-6) << x << " " << y << " " << z;
            }
    const Volume constant = smoothInMillimetres(Volume(9, 9, 9, 7.0f), sigma, voxel);
    for (std::size_t v = 0; v < constant.size(); ++v) ASSERT_NEAR(constant[v], 7.0f, 1e-5);
    EXPECT_EQ(smoothInMillimetres(spike, 0.0, voxel)(10, 12, 6), 1.0f);
}

TEST(FieldEstimate, FieldInHertzIsCarriedBeyondTheMaskAndItsUnmeasuredVoxelsLeftOut)
{
    Volume hertz(8, 8, 8, 1e6f);  // nonsense outside the mask
    VoxelMask mask(hertz.size(), 0);
    for (int z = 2; z < 6; ++z)
        for (int y = 2; y < 6; ++y)
            for (int x = 2; x < 6; ++x) {
                hertz(x, y, z) = 25.0f;
                mask[hertz.index(x, y, z)] = 1;
            }
    hertz(3, 3, 3) = std::numeric_limits<float>::quiet_NaN();
    const FieldEstimate estimate = fieldFromHertz(hertz, mask, {{2.0, 2.0, 2.0}, 1.0});
    EXPECT_EQ(estimate.mask[hertz.index(3, 3, 3)], 0);
    EXPECT_EQ(maskCount(estimate.mask), 63u);
    EXPECT_DOUBLE_EQ(estimate.largestHertz, 25.0);
    EXPECT_FALSE(estimate.unwrapping);
    for (std::size_t v = 0; v < estimate.hertz.size(); ++v) ASSERT_NEAR(estimate.hertz[v], 25.0f, 1e-4) << v;
}
