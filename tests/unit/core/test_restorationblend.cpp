// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/restorationblend.h"
#include "core/vdm.h"
#include "support/restorationmodel.h"

namespace {

// A smooth object along y with a little detail, positive everywhere.
Volume smoothObject(Dimensions extent)
{
    Volume f(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x)
                f(x, y, z) = 100.0f + 30.0f * std::sin(0.4f * static_cast<float>(y) + static_cast<float>(x + z)) +
                             10.0f * std::cos(1.3f * static_cast<float>(y));
    return f;
}

Volume withNoise(const Volume& v, float sigma, unsigned seed)
{
    std::mt19937 generator(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    Volume out = v;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += noise(generator);
    return out;
}

// A map whose slope along y is `slope` in rows [first, end) and 0 elsewhere, centred.
Volume rampMap(Dimensions extent, int first, int end, float slope)
{
    Volume vdm(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int x = 0; x < extent.x; ++x) {
            float d = 0.0f;
            for (int y = 0; y < extent.y; ++y) {
                vdm(x, y, z) = d;
                if (y >= first && y < end) d += slope;
            }
        }
    return vdm;
}

double rms(const Volume& a, const Volume& b, int firstRow, int endRow)
{
    double sum = 0.0;
    std::size_t count = 0;
    for (int z = 0; z < a.nz(); ++z)
        for (int y = firstRow; y < endRow; ++y)
            for (int x = 0; x < a.nx(); ++x, ++count) sum += std::pow(double(a(x, y, z)) - double(b(x, y, z)), 2.0);
    return std::sqrt(sum / static_cast<double>(count));
}

// The combination written out from its parts: both copies undistorted with intensity
// correction as whole volumes, the restoration, and the blend of the three.
Volume blendOfTheParts(const Volume& plus, const Volume& minus, const Volume& vdm)
{
    const Volume plusCorrected = undistort(plus, vdm, false, true);
    const Volume minusCorrected = undistort(minus, vdm * -1.0f, false, true);
    const Volume restored = restorePair(plus, minus, vdm);
    const Volume weights = restorationWeights(vdm);
    Volume out(vdm.dimensions());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const float a = plusCorrected[i], b = minusCorrected[i];
        const bool useA = std::isfinite(a), useB = std::isfinite(b);
        float w = weights[i], mean = 0.0f;
        if (useA && useB)
            mean = 0.5f * (a + b);
        else if (useA || useB)
            mean = useA ? a : b;
        else
            w = 1.0f;
        out[i] = std::max(w == 1.0f ? restored[i] : w * restored[i] + (1.0f - w) * mean, 0.0f);
    }
    return out;
}

bool sameBits(const Volume& a, const Volume& b)
{
    return a.dimensions() == b.dimensions() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

Volume randomCopy(Dimensions extent, float low, float high, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(low, high);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

}  // namespace

TEST(RestorationBlend, WeightsFollowTheSteepestNearbySlopeAlongTheLine)
{
    const Dimensions extent{2, 60, 1};
    // Constant fractional displacement: mild everywhere.
    const Volume constant = restorationWeights(Volume(extent, 0.4f));
    for (std::size_t i = 0; i < constant.size(); ++i) ASSERT_EQ(constant[i], 0.0f);
    // Slope 0.5 in rows 30..39 (central differences: rows 30..39 steep, 29 and 40 half).
    const Volume weights = restorationWeights(rampMap(extent, 30, 40, 0.5f));
    for (int y = 29; y <= 40; ++y) EXPECT_EQ(weights(0, y, 0), 1.0f) << y;
    // Away from the steep rows the weight falls, monotonically, to 0 beyond the reach.
    for (int y = 41; y < extent.y - 1; ++y) EXPECT_LE(weights(0, y + 1, 0), weights(0, y, 0)) << y;
    for (int y = 1; y < 29; ++y) EXPECT_LE(weights(0, y - 1, 0), weights(0, y, 0)) << y;
    EXPECT_GT(weights(0, 44, 0), 0.0f);
    EXPECT_LT(weights(0, 44, 0), 1.0f);
    EXPECT_EQ(weights(0, 40 + kRestorationReach + 1, 0), 0.0f);
    EXPECT_EQ(weights(0, 29 - kRestorationReach - 1, 0), 0.0f);
    // Every column and slice on its own: the other column is the same.
    for (int y = 0; y < extent.y; ++y) EXPECT_EQ(weights(1, y, 0), weights(0, y, 0));
}

// Where the map is mild the result is the mean of the intensity-corrected copies, which
// averages the noise; where it compresses a copy it is the restoration, which recovers
// the detail that the compressed copy lost.
TEST(RestorationBlend, MeanOfTheCorrectedCopiesWhereMildRestorationWhereCompressed)
{
    const Dimensions extent{3, 64, 2};
    const Volume truth = smoothObject(extent);
    const Volume vdm = rampMap(extent, 24, 40, -0.6f);
    const Volume plus = withNoise(acquiredCopy(truth, vdm, false), 2.0f, 1);
    const Volume minus = withNoise(acquiredCopy(truth, vdm, true), 2.0f, 2);
    std::vector<Volume> combined{plus};
    combinePairs(combined, {minus}, vdm);
    const Volume restored = restorePair(plus, minus, vdm);
    const Volume plusCorrected = undistort(plus, vdm, false, true);
    const Volume minusCorrected = undistort(minus, vdm * -1.0f, false, true);
    const Volume weights = restorationWeights(vdm);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x) {
                const float w = weights(x, y, z);
                if (w == 1.0f) {
                    ASSERT_EQ(combined.front()(x, y, z), restored(x, y, z)) << x << " " << y << " " << z;
                } else if (w == 0.0f) {
                    const float mean = 0.5f * (plusCorrected(x, y, z) + minusCorrected(x, y, z));
                    ASSERT_EQ(combined.front()(x, y, z), std::max(mean, 0.0f)) << x << " " << y << " " << z;
                }
            }
    // Rows 2..12 are far from the compression: the mean beats either corrected copy.
    EXPECT_LT(rms(combined.front(), truth, 2, 13), 0.8 * rms(plusCorrected, truth, 2, 13));
    EXPECT_LT(rms(combined.front(), truth, 2, 13), 0.8 * rms(minusCorrected, truth, 2, 13));
    // Inside the compressed rows the restoration keeps the detail.
    EXPECT_LT(rms(combined.front(), truth, 26, 38), 0.5 * rms(plusCorrected, truth, 26, 38));
}

TEST(RestorationBlend, ACopyThatIsNotFiniteDropsOutOfTheMean)
{
    const Dimensions extent{3, 48, 2};
    const Volume truth = smoothObject(extent);
    const Volume vdm(extent, 0.3f);
    const Volume plus = acquiredCopy(truth, vdm, false);
    Volume minus = acquiredCopy(truth, vdm, true);
    minus(1, 20, 0) = std::numeric_limits<float>::quiet_NaN();
    std::vector<Volume> combined{plus};
    combinePairs(combined, {minus}, vdm);
    const Volume plusCorrected = undistort(plus, vdm, false, true);
    const Volume minusCorrected = undistort(minus, vdm * -1.0f, false, true);
    int spoiled = 0;
    for (int y = 0; y < extent.y; ++y) {
        ASSERT_TRUE(std::isfinite(combined.front()(1, y, 0))) << y;
        // Where the NaN spoils the minus copy's corrected line, the plus copy's stands alone.
        if (std::isfinite(minusCorrected(1, y, 0))) continue;
        ++spoiled;
        EXPECT_EQ(combined.front()(1, y, 0), std::max(plusCorrected(1, y, 0), 0.0f)) << y;
    }
    EXPECT_GT(spoiled, 0);
}

// The combination computes the corrected copies line by line inside the restoration; it
// must give the very values of the whole-volume undistortions, in single slices (as the
// runs stream) and in volumes, with several pairs, columns beyond the pieces of lines,
// samples beyond the line and a copy that is not finite.
TEST(RestorationBlend, EqualsTheBlendOfTheWholeVolumeParts)
{
    for (const Dimensions extent : {Dimensions{19, 37, 1}, Dimensions{19, 37, 5}}) {
        // Steep and mild rows, folds and displacements beyond the line.
        Volume vdm = randomCopy(extent, -1.5f, 1.5f, 7);
        for (int z = 0; z < extent.z; ++z)
            for (int y = 0; y < extent.y; ++y)
                for (int x = 0; x < extent.x; ++x)
                    vdm(x, y, z) += 6.0f * std::sin(0.15f * static_cast<float>(y + 2 * x + z));
        std::vector<Volume> plus, minus;
        // Five pairs: a group restored together and one alone.
        for (unsigned pair = 0; pair < 5; ++pair) {
            plus.push_back(randomCopy(extent, -20.0f, 300.0f, 10 + pair));
            minus.push_back(randomCopy(extent, -20.0f, 300.0f, 20 + pair));
        }
        minus[1](4, 9, extent.z - 1) = std::numeric_limits<float>::quiet_NaN();
        plus[2](0, 0, 0) = std::numeric_limits<float>::infinity();
        minus[4](18, 36, 0) = std::numeric_limits<float>::quiet_NaN();
        std::vector<Volume> combined = plus;
        combinePairs(combined, minus, vdm);
        for (std::size_t pair = 0; pair < plus.size(); ++pair)
            EXPECT_TRUE(sameBits(combined[pair], blendOfTheParts(plus[pair], minus[pair], vdm)))
                << "pair " << pair << ", " << extent.z << " slices";
    }
}
