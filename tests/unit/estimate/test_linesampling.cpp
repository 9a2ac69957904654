// SPDX-License-Identifier: GPL-3.0-or-later
// Rows of line samples against the one-line sampler, bit for bit: lanes and the rest of
// a row, positions near and beyond both ends of the lines, NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "estimate/linesampling.h"
#include "estimate/splinealongy.h"

namespace {

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(LineSampling, EveryLineOfARowIsSampledAsItsOwnSplineBitForBit)
{
    // 19 lines: two groups of eight and three more.
    const Dimensions e{19, 11, 3};
    Volume image(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                image(x, y, z) = static_cast<float>(50.0 + 30.0 * std::sin(0.7 * x + 0.4 * y - z) + 3.0 * y);
    const LineSplines splines = lineSplines(image);
    const Volume coefficients = splineCoefficientsAlongY(image);
    const std::size_t stride = static_cast<std::size_t>(e.x);
    const float n = static_cast<float>(e.y);
    const std::vector<float> ends{-2.5f, -2.0f, -1.9999f, -1.3f, -0.5f, -1e-8f, 0.0f, 0.25f, 1.0f, 1.75f,
                                  n - 2.5f, n - 1.0f, n - 0.6f, n, n + 0.5f, n + 0.9999f, n + 1.0f, n + 4.0f,
                                  std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> t(stride), values(stride), slopes(stride), plain(stride);
    for (int z = 0; z < e.z; ++z)
        for (std::size_t shift = 0; shift < ends.size(); ++shift) {
            for (std::size_t x = 0; x < stride; ++x) {
                // Every line gets each end position in turn, the rest positions inside.
                const std::size_t k = (x + shift) % (ends.size() + 5);
                t[x] = k < ends.size() ? ends[k] : 0.37f * static_cast<float>(k) + 0.11f * static_cast<float>(z);
            }
            sampleLines(splines, z, t.data(), values.data(), slopes.data());
            sampleLines(splines, z, t.data(), plain.data(), nullptr);
            for (std::size_t x = 0; x < stride; ++x) {
                const float* line = coefficients.data() + coefficients.index(static_cast<int>(x), 0, z);
                const SplineSample expected = sampleSplineLineWithSlope(line, stride, e.y, t[x]);
                const float value = sampleSplineLine(line, stride, e.y, t[x]);
                ASSERT_TRUE(sameBits(values[x], expected.value)) << "line " << x << " at " << t[x] << ": " << values[x];
                ASSERT_TRUE(sameBits(slopes[x], expected.slope)) << "line " << x << " at " << t[x] << ": " << slopes[x];
                ASSERT_TRUE(sameBits(plain[x], value)) << "line " << x << " at " << t[x];
            }
        }
}
