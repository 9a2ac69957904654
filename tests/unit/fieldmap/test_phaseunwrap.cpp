// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "fieldmap/fieldestimate.h"
#include "fieldmap/phaseunits.h"
#include "fieldmap/phaseunwrap.h"
#include "support/syntheticfield.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct FieldError {
    double largest = 0.0;  // Hz, inside the mask
    std::size_t compared = 0;
};

FieldError errorInside(const Volume& field, const Volume& truth, const VoxelMask& mask)
{
    FieldError error;
    for (std::size_t v = 0; v < mask.size(); ++v) {
        if (!mask[v]) continue;
        error.largest = std::max(error.largest, std::abs(static_cast<double>(field[v]) - truth[v]));
        ++error.compared;
    }
    return error;
}

// The field from the synthetic case's wrapped phase, unsmoothed, with the mask made from
// its magnitude.
FieldEstimate unsmoothedField(const SyntheticField& synthetic, const SyntheticFieldOptions& options)
{
    return fieldFromPhaseDifference(synthetic.wrapped, headMask(synthetic.magnitude), options.echoTimeDifference,
                                    FieldSettings{{2.0, 2.0, 2.0}, 0.0});
}

}  // namespace

class UnwrapWraps : public ::testing::TestWithParam<std::pair<double, int>> {};

// Peaks that make the phase wrap 0, 1 and 3 times inside the head, noise outside it.
TEST_P(UnwrapWraps, LeavesNoJumpAndFollowsTheTrueFieldWithinOneHertz)
{
    SyntheticFieldOptions options;
    options.peakHertz = GetParam().first;
    const SyntheticField synthetic = makeSyntheticField(options);
    ASSERT_EQ(wrapsInsideHead(synthetic, options.echoTimeDifference), GetParam().second);

    const FieldEstimate estimate = unsmoothedField(synthetic, options);
    ASSERT_EQ(estimate.mask, synthetic.head) << "the magnitude's mask is the head";
    ASSERT_TRUE(estimate.unwrapping);
    EXPECT_EQ(estimate.unwrapping->pieces, 1);
    EXPECT_GT(estimate.unwrapping->neighbourPairs, 100000u);
    EXPECT_EQ(estimate.unwrapping->jumpsLeft, 0u);
    const FieldError error = errorInside(estimate.hertz, synthetic.hertz, estimate.mask);
    EXPECT_LT(error.largest, 1.0);
    EXPECT_NEAR(estimate.largestHertz, options.peakHertz * 1.05, 0.1 * options.peakHertz);
}

INSTANTIATE_TEST_SUITE_P(PhaseUnwrap, UnwrapWraps,
                         ::testing::Values(std::pair{60.0, 0}, std::pair{150.0, 1}, std::pair{560.0, 3}));

TEST(PhaseUnwrap, IslandOfTheMaskTakesTheTurnOfTheFieldContinuedFromTheLargestPiece)
{
    SyntheticFieldOptions options;
    options.peakHertz = 300.0;
    options.withIsland = true;
    const SyntheticField synthetic = makeSyntheticField(options);
    const FieldEstimate estimate = unsmoothedField(synthetic, options);
    ASSERT_TRUE(estimate.unwrapping);
    EXPECT_EQ(estimate.unwrapping->pieces, 2);
    // The island's field is above half a turn (100 Hz): read alone it would come out a
    // turn lower.
    double islandField = 0.0;
    for (int x = 0; x < 64; ++x) islandField = std::max(islandField, static_cast<double>(synthetic.hertz(x, 62, 16)));
    ASSERT_GT(islandField, 120.0);
    EXPECT_LT(errorInside(estimate.hertz, synthetic.hertz, estimate.mask).largest, 1.0);
}

TEST(PhaseUnwrap, WholeOffsetPutsTheMedianInsideTheMaskNearestZero)
{
    // A field offset by 0.7 turns: its median lies nearer zero one turn lower.
    SyntheticFieldOptions options;
    options.offsetHertz = 0.7 / options.echoTimeDifference;
    const SyntheticField synthetic = makeSyntheticField(options);
    const FieldEstimate estimate = unsmoothedField(synthetic, options);
    Volume expected = synthetic.hertz + static_cast<float>(-1.0 / options.echoTimeDifference);
    EXPECT_LT(errorInside(estimate.hertz, expected, estimate.mask).largest, 1.0);
}

TEST(PhaseUnwrap, ResultDoesNotDependOnTheTurnTheWrappedPhaseStartsIn)
{
    // Unwrapping sees only the wrapped phase: adding whole turns to the truth changes
    // nothing, and a shift by a constant angle shifts the result by that angle.
    SyntheticFieldOptions options;
    options.peakHertz = 400.0;
    const SyntheticField synthetic = makeSyntheticField(options);
    Volume shifted(synthetic.wrapped.dimensions());
    for (std::size_t v = 0; v < shifted.size(); ++v) shifted[v] = wrapPhase(synthetic.wrapped[v] + 0.5f);
    const UnwrappedPhase a = unwrapPhase(synthetic.wrapped, synthetic.head);
    const UnwrappedPhase b = unwrapPhase(shifted, synthetic.head);
    double largest = 0.0;
    for (std::size_t v = 0; v < synthetic.head.size(); ++v)
        if (synthetic.head[v]) largest = std::max(largest, std::abs(b.phase[v] - a.phase[v] - 0.5));
    EXPECT_LT(largest, 1e-4);
    EXPECT_EQ(b.jumpsLeft, 0u);
}

TEST(PhaseUnwrap, CountsTheJumpsThatNoUnwrappingCanRemove)
{
    // A phase vortex: going round its core the phase climbs a whole turn, so some pair on
    // every loop around it must keep a jump.
    Volume wrapped(16, 16, 3);
    for (int z = 0; z < 3; ++z)
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) wrapped(x, y, z) = static_cast<float>(std::atan2(y - 7.5, x - 7.5));
    const UnwrappedPhase result = unwrapPhase(wrapped, VoxelMask(wrapped.size(), 1));
    EXPECT_GE(result.jumpsLeft, 3u);
    EXPECT_EQ(result.pieces, 1);
    EXPECT_EQ(result.neighbourPairs, 2u * (15 * 16 * 3) + 16 * 16 * 2);
}

TEST(PhaseUnwrap, EmptyMaskLeavesAllZero)
{
    const UnwrappedPhase result = unwrapPhase(Volume(4, 4, 4, 1.0f), VoxelMask(64, 0));
    EXPECT_EQ(result.pieces, 0);
    EXPECT_EQ(result.neighbourPairs, 0u);
    for (std::size_t v = 0; v < 64; ++v) EXPECT_EQ(result.phase[v], 0.0f);
    EXPECT_THROW(fieldFromPhaseDifference(Volume(4, 4, 4, 1.0f), VoxelMask(64, 0), 0.002, {}), std::invalid_argument);
}

TEST(PhaseUnwrap, EqualEchoTimesAreRefused)
{
    EXPECT_THROW(fieldFromPhaseDifference(Volume(4, 4, 4), VoxelMask(64, 1), 0.0, {}), std::invalid_argument);
}

TEST(PhaseUnwrap, FieldIsPhaseOverTwoPiTimesTheEchoTimeDifference)
{
    // A gentle ramp that never wraps: 0.1 rad per voxel along x over 2.46 ms.
    Volume wrapped(20, 4, 4);
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 20; ++x) wrapped(x, y, z) = static_cast<float>(0.1 * (x - 9.5));
    const FieldEstimate estimate = fieldFromPhaseDifference(wrapped, VoxelMask(wrapped.size(), 1), 0.00246, {{1.0, 1.0, 1.0}, 0.0});
    for (int x : {0, 7, 19})
        EXPECT_NEAR(estimate.hertz(x, 1, 1), 0.1 * (x - 9.5) / (2.0 * kPi * 0.00246), 1e-3) << x;
}
