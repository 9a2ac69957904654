// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "estimate/boxtrialsums.h"

namespace {

// Records of random values for a volume of nx x ny x depth voxels, with the trial count
// padded to the lane multiple; padding lanes hold values that must not matter.
struct RecordVolume {
    RecordVolume(int nx, int ny, int depth, std::size_t trials, unsigned seed)
        : nx(nx), ny(ny), depth(depth), trials(trials),
          stride((trials + kTrialLanes - 1) / kTrialLanes * kTrialLanes),
          data(static_cast<std::size_t>(nx) * ny * depth * 2 * stride)
    {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> value(-300.0f, 900.0f);
        for (float& v : data) v = value(random);
    }
    TrialRecords records() const
    {
        return {data.data(), stride, nx, static_cast<std::size_t>(nx) * ny, depth};
    }
    float ap(int x, int y, int z, std::size_t t) const { return records().at(x, y, z)[t]; }
    float pa(int x, int y, int z, std::size_t t) const { return records().at(x, y, z)[stride + t]; }

    int nx, ny, depth;
    std::size_t trials, stride;
    std::vector<float> data;
};

} // namespace

// Every trial's sums equal the plain one-trial loop in box order, bit for bit, for trial
// counts that fill one lane group, two (one pass) and three (a pass per group), and for
// boxes that wrap around the slice ring.
TEST(BoxTrialSums, EveryTrialMatchesThePlainBoxLoopBitForBit)
{
    for (const std::size_t trials : {std::size_t{7}, std::size_t{11}, std::size_t{20}}) {
        SCOPED_TRACE(trials);
        const RecordVolume volume(9, 8, 5, trials, static_cast<unsigned>(trials));
        for (const BoxRange box : {BoxRange{0, 4, 1, 6, 0, 4}, BoxRange{3, 8, 0, 2, 3, 6}, BoxRange{2, 2, 5, 5, 7, 7}}) {
            std::vector<double> ssd(volume.stride);
            std::vector<float> sums(5 * volume.stride);
            const NccSums ncc{sums.data(), sums.data() + volume.stride, sums.data() + 2 * volume.stride,
                              sums.data() + 3 * volume.stride, sums.data() + 4 * volume.stride};
            boxSsdSums(volume.records(), box, ssd.data());
            boxNccSums(volume.records(), box, ncc);
            for (std::size_t t = 0; t < trials; ++t) {
                double expectedSsd = 0.0;
                float a = 0.0f, aa = 0.0f, b = 0.0f, bb = 0.0f, ab = 0.0f;
                for (int z = box.z0; z <= box.z1; ++z)
                    for (int y = box.y0; y <= box.y1; ++y)
                        for (int x = box.x0; x <= box.x1; ++x) {
                            const float va = volume.ap(x, y, z, t);
                            const float vb = volume.pa(x, y, z, t);
                            const double d = va - vb;
                            expectedSsd += d * d;
                            a += va;
                            aa += va * va;
                            b += vb;
                            bb += vb * vb;
                            ab += va * vb;
                        }
                EXPECT_EQ(ssd[t], expectedSsd) << "trial " << t;
                EXPECT_EQ(ncc.a[t], a) << "trial " << t;
                EXPECT_EQ(ncc.aa[t], aa) << "trial " << t;
                EXPECT_EQ(ncc.b[t], b) << "trial " << t;
                EXPECT_EQ(ncc.bb[t], bb) << "trial " << t;
                EXPECT_EQ(ncc.ab[t], ab) << "trial " << t;
            }
        }
    }
}

// The correlations in lanes equal the one-trial formula written out here, bit for bit,
// also where a box has no spread (0 / 0) or rounding makes a spread negative (NaN).
TEST(BoxTrialSums, CorrelationsMatchTheOneTrialFormulaBitForBit)
{
    const std::size_t stride = 2 * kTrialLanes;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-300.0f, 900.0f);
    std::vector<float> sums(5 * stride);
    for (float& v : sums) v = value(random);
    const NccSums ncc{sums.data(), sums.data() + stride, sums.data() + 2 * stride, sums.data() + 3 * stride,
                      sums.data() + 4 * stride};
    const float n = 35.0f;
    for (std::size_t t = 0; t < stride; t += 3) {
        // A plausible box: squares consistent with the plain sums.
        ncc.aa[t] = ncc.a[t] * ncc.a[t] / n + 50.0f * static_cast<float>(t + 1);
        ncc.bb[t] = ncc.b[t] * ncc.b[t] / n + 20.0f;
    }
    // Every AP voxel 2, so no spread: 0 / 0.
    ncc.a[1] = 70.0f, ncc.aa[1] = 140.0f, ncc.b[1] = 35.0f, ncc.bb[1] = 55.0f, ncc.ab[1] = 70.0f;
    ncc.bb[2] = 0.0f;  // a negative spread
    std::vector<float> correlation(stride, -7.0f);
    boxCorrelations(ncc, n, stride, correlation.data());
    for (std::size_t t = 0; t < stride; ++t) {
        const float a = ncc.a[t], aa = ncc.aa[t], b = ncc.b[t], bb = ncc.bb[t], ab = ncc.ab[t];
        const float expected = (n * ab - a * b) / (std::sqrt(n * aa - a * a) * std::sqrt(n * bb - b * b));
        if (std::isnan(expected))
            EXPECT_TRUE(std::isnan(correlation[t])) << "trial " << t;
        else
            EXPECT_EQ(correlation[t], expected) << "trial " << t;
    }
    EXPECT_TRUE(std::isnan(correlation[1]));
    EXPECT_TRUE(std::isnan(correlation[2]));
}
