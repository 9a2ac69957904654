// SPDX-License-Identifier: GPL-3.0-or-later
// Intensity correction by the Jacobian of a map, and the agreement figure of a corrected
// pair: percentile, head mask and correlation against values worked out by hand, and the
// correction of phantom acquisitions with their true map.
#include <gtest/gtest.h>

#include <cmath>

#include "core/pairagreement.h"
#include "core/vdm.h"
#include "phantom/phantom.h"
#include "support/assertionmessage.h"

TEST(IntensityCorrection, MultipliesByOnePlusOrMinusTheCentralDifferenceClippedAtZero)
{
    // d = 0.3 y in column 0 and 1.4 y (a fold) in column 1.
    Volume map(2, 6, 1);
    for (int y = 0; y < 6; ++y) {
        map(0, y, 0) = 0.3f * y;
        map(1, y, 0) = 1.4f * y;
    }
    Volume plus(2, 6, 1, 10.0f);
    Volume minus = plus;
    multiplyByJacobian(plus, map, false);
    multiplyByJacobian(minus, map, true);
    for (int y = 1; y < 5; ++y) {
        EXPECT_FLOAT_EQ(plus(0, y, 0), 13.0f) << y;
        EXPECT_FLOAT_EQ(minus(0, y, 0), 7.0f) << y;
        EXPECT_FLOAT_EQ(plus(1, y, 0), 24.0f) << y;
        EXPECT_EQ(minus(1, y, 0), 0.0f) << y;  // 1 - 1.4 clipped
    }
    // The first and last rows have no central difference: factor 1.
    for (int y : {0, 5}) EXPECT_EQ(plus(1, y, 0), 10.0f);
    Volume wrong(2, 5, 1);
    EXPECT_EQ(assertionMessage([&] { multiplyByJacobian(wrong, map); }),
              "assertion failure (src\\vdm:140): corrected.dimensions() == vdm.dimensions()");
}

// The phantom's acquisitions are the object moved by the map with its intensity divided by
// the stretch: undistortion with the true map and the Jacobian gives the object back, up
// to the interpolation, and much closer than undistortion alone.
TEST(IntensityCorrection, RestoresThePhantomWithItsTrueMap)
{
    for (const bool leftRight : {false, true}) {
        PhantomOptions options;
        options.extent = {32, 40, 12};
        options.peakDisplacement = 4.0;
        options.leftRight = leftRight;
        const PhantomVolumes p = makePhantom(options);
        const Volume working = leftRight ? p.displacement.transposeXY() : p.displacement;
        const std::vector<VoxelIndex> object = phantomObjectVoxels(p.truth);
        for (int j = 0; j < 2; ++j) {
            const Volume map = working * (j == 0 ? 1.0f : -1.0f);
            const Volume& acquisition = j == 0 ? p.first[0] : p.second[0];
            const Volume corrected = undistort(acquisition, map, leftRight, true);
            const Volume plain = undistort(acquisition, map, leftRight, false);
            double error = 0.0, plainError = 0.0, size = 0.0;
            for (const VoxelIndex& v : object) {
                const double t = p.truth(v.x, v.y, v.z);
                error += std::pow(corrected(v.x, v.y, v.z) - t, 2);
                plainError += std::pow(plain(v.x, v.y, v.z) - t, 2);
                size += t * t;
            }
            SCOPED_TRACE((leftRight ? "left-right, " : "") + std::string(j == 0 ? "first" : "second"));
            EXPECT_LT(std::sqrt(error / size), 0.03);
            EXPECT_LT(error, 0.1 * plainError);
        }
    }
}

TEST(PairAgreement, PercentileInterpolatesBetweenSortedValues)
{
    Volume v(5, 1, 1);
    const float values[] = {7.0f, 1.0f, 3.0f, 9.0f, 5.0f};
    for (int i = 0; i < 5; ++i) v[i] = values[i];
    EXPECT_DOUBLE_EQ(percentile(v, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(percentile(v, 0.5), 5.0);
    EXPECT_DOUBLE_EQ(percentile(v, 0.99), 7.0 + 0.96 * 2.0);  // position 3.96 of 0..4
    EXPECT_DOUBLE_EQ(percentile(v, 1.0), 9.0);
}

TEST(PairAgreement, HeadMaskNeedsBothVolumesAboveTheirOwnThreshold)
{
    // 100 voxels each: values 0..99 and twice that; thresholds 0.15 * 98.01 and 0.15 * 196.02.
    Volume first(100, 1, 1), second(100, 1, 1);
    for (int i = 0; i < 100; ++i) {
        first[i] = static_cast<float>(i);
        second[i] = static_cast<float>(2 * ((i * 37) % 100));
    }
    const std::vector<std::size_t> mask = headMask(first, second);
    std::size_t expected = 0;
    for (int i = 0; i < 100; ++i)
        if (first[i] > 0.15 * 98.01 && second[i] > 0.15 * 196.02) {
            ASSERT_LT(expected, mask.size());
            EXPECT_EQ(mask[expected++], static_cast<std::size_t>(i));
        }
    EXPECT_EQ(mask.size(), expected);
}

TEST(PairAgreement, CorrelationIsPearsonsOverTheVoxels)
{
    Volume a(4, 1, 1), b(4, 1, 1);
    const float x[] = {1, 2, 3, 4}, y[] = {2, 1, 4, 3};
    for (int i = 0; i < 4; ++i) {
        a[i] = x[i];
        b[i] = y[i];
    }
    EXPECT_NEAR(correlationOver(a, b, {0, 1, 2, 3}), 0.6, 1e-12);
    EXPECT_NEAR(correlationOver(a, b, {0, 2}), 1.0, 1e-12);
}

TEST(PairAgreement, TheTrueMapMakesAPhantomPairAgree)
{
    PhantomOptions options;
    options.extent = {32, 40, 12};
    const PhantomVolumes p = makePhantom(options);
    const Volume& a = p.first[0];
    const Volume& b = p.second[0];
    const std::vector<std::size_t> head = headMask(a, b);
    const double before = correlationOver(a, b, head);
    const double truth = pairAgreement(a, b, p.displacement, head);
    // The spline reproduces the voxels up to rounding.
    EXPECT_NEAR(pairAgreement(a, b, Volume(a.dimensions(), 0.0f), head), before, 1e-6);
    EXPECT_GT(truth, 0.999);
    EXPECT_LT(before, 0.95);
    const CorrectedPair plain = correctPair(a, b, p.displacement, false);
    EXPECT_LT(correlationOver(plain.first, plain.second, head), truth);
    // The pair kept for several maps corrects exactly as the single correction does.
    const CorrectablePair kept(a, b);
    EXPECT_EQ(kept.head(), head);
    EXPECT_EQ(kept.agreement(p.displacement), truth);
    const CorrectedPair keptPlain = kept.corrected(p.displacement, false);
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(keptPlain.first[i], plain.first[i]);
        ASSERT_EQ(keptPlain.second[i], plain.second[i]);
    }
    // From the plain pair already sampled: the same figure, bit for bit; a plain pair of
    // another extent is refused.
    EXPECT_EQ(kept.agreement(p.displacement, keptPlain), truth);
    const Volume other(Dimensions{32, 40, 11});
    EXPECT_THROW(kept.agreement(p.displacement, CorrectedPair{other, other}), std::logic_error);
}
