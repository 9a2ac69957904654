// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "estimate/trialsampling.h"
#include "support/floatbits.h"

// Every trial, in lanes or not, samples where the one-trial resampling does and gives its
// bits: positions inside, at and beyond both ends of the column, for AP and PA, for trial
// counts that leave 0 to 7 trials past the last group of lanes.
TEST(TrialSampling, EveryTrialGivesTheBitsOfTheOneTrialResampling)
{
    std::mt19937 random(41);
    std::uniform_real_distribution<float> intensity(0.0f, 900.0f);
    const std::size_t nx = 5;
    for (const int ny : {2, 3, 24}) {
        std::vector<float> volume(nx * static_cast<std::size_t>(ny));
        for (float& v : volume) v = intensity(random);
        std::vector<float> trials;
        for (int t = -10; t <= 10; ++t) trials.push_back(0.3f * static_cast<float>(t));
        for (const bool negated : {false, true})
            for (const float displacement : {0.0f, 1.7f, -2.25f, static_cast<float>(ny)})
                for (int row = 0; row < ny; ++row)
                    for (const std::size_t count : {std::size_t{0}, std::size_t{3}, std::size_t{8}, trials.size()}) {
                        const TrialColumn line{volume.data() + 2, nx, ny, static_cast<float>(row), displacement, 2.0f,
                                               negated};
                        std::vector<float> values(trials.size(), -1.0f);
                        std::vector<std::int32_t> inside(trials.size(), 7);
                        sampleTrials(line, trials.data(), count, values.data(), inside.data());
                        for (std::size_t t = 0; t < count; ++t) {
                            const float shift = displacement + trials[t] * 2.0f;
                            const float h = static_cast<float>(row) + (negated ? -shift : shift);
                            const bool expectedInside = h > 0.0f && h < static_cast<float>(ny - 1);
                            ASSERT_EQ(inside[t], expectedInside ? -1 : 0) << "trial " << t << " at " << h;
                            if (!expectedInside) continue;
                            const int j = static_cast<int>(h);
                            const float f = h - static_cast<float>(j);
                            const float expected = (1.0f - f) * volume[2 + static_cast<std::size_t>(j) * nx] +
                                                   f * volume[2 + static_cast<std::size_t>(j + 1) * nx];
                            ASSERT_EQ(bitsOf(values[t]), bitsOf(expected)) << "trial " << t << " at " << h;
                        }
                        for (std::size_t t = count; t < trials.size(); ++t) ASSERT_EQ(inside[t], 7);
                    }
    }
}
