// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/linearsampling.h"
#include "core/volume.h"
#include "support/floatbits.h"

// The lanes must give the one-position loop's bits everywhere: inside the samples, at and
// beyond both ends, at integers, and where interpolationFloor clamps (NaN, infinities,
// positions below -3 or beyond 2^30).
TEST(LinearSampling, LanesGiveTheBitsOfTheOnePositionLoop)
{
    std::mt19937 generator(23);
    std::uniform_real_distribution<float> sample(-5.0f, 200.0f);
    for (const int n : {1, 2, 9, 128}) {
        std::vector<float> data(static_cast<std::size_t>(n));
        for (float& v : data) v = sample(generator);
        std::uniform_real_distribution<float> position(-4.0f, static_cast<float>(n) + 3.0f);
        std::vector<float> positions(203);
        for (float& p : positions) p = position(generator);
        const float special[] = {-3.0f,
                                 -2.5f,
                                 -2.0f,
                                 -1.0f,
                                 -0.5f,
                                 0.0f,
                                 -0.0f,
                                 static_cast<float>(n - 1),
                                 static_cast<float>(n),
                                 1073741824.0f,
                                 3e9f,
                                 -3e9f,
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity()};
        std::copy(std::begin(special), std::end(special), positions.begin() + 40);
        for (const float offset : {0.0f, 0.5f, -1.25f})
            for (const float scale : {1.0f, 0.8f}) {
                std::vector<float> out(positions.size());
                // Counts that leave 0 to 7 positions past the last full group of lanes.
                for (const int count : {0, 5, 8, 61, 203}) {
                    std::fill(out.begin(), out.end(), -1.0f);
                    sampleLinearScaled(data.data(), n, positions.data(), offset, scale, out.data(), count);
                    for (int i = 0; i < count; ++i) {
                        const float expected = sampleLinearAt(data.data(), n, positions[i] + offset) * scale;
                        ASSERT_EQ(bitsOf(out[i]), bitsOf(expected))
                            << "n " << n << ", position " << positions[i] << ", offset " << offset << ", count " << count;
                    }
                    for (std::size_t i = static_cast<std::size_t>(count); i < out.size(); ++i) ASSERT_EQ(out[i], -1.0f);
                }
            }
    }
}
