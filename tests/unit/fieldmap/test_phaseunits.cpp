// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fieldmap/phaseunits.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A phase that sweeps the whole circle once, stored by the given map from radians.
template <class Store>
Volume sweep(Store store)
{
    Volume phase(64, 2, 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 64; ++x) phase(x, y, 0) = static_cast<float>(store(-kPi + 2.0 * kPi * x / 64.0));
    return phase;
}

}  // namespace

TEST(PhaseUnits, RadiansInEitherRangeAreKeptAndWrapped)
{
    const Volume signedRadians = sweep([](double r) { return r; });
    ASSERT_EQ(detectPhaseScale(signedRadians), PhaseScale::Radians);
    const Volume shifted = sweep([](double r) { return r + kPi; });  // 0..2pi
    ASSERT_EQ(detectPhaseScale(shifted), PhaseScale::Radians);
    const Volume a = phaseInRadians(signedRadians, PhaseScale::Radians);
    const Volume b = phaseInRadians(shifted, PhaseScale::Radians);
    for (int x = 0; x < 64; ++x) {
        EXPECT_NEAR(wrapPhase(a(x, 0, 0) - static_cast<float>(-kPi + 2.0 * kPi * x / 64.0)), 0.0, 1e-6);
        EXPECT_LE(std::abs(a(x, 0, 0)), static_cast<float>(kPi));
        EXPECT_NEAR(std::abs(wrapPhase(b(x, 0, 0) - a(x, 0, 0) - static_cast<float>(kPi))), 0.0, 1e-5);
    }
}

TEST(PhaseUnits, SiemensScannerUnitsMapMinus4096To4095OntoMinusPiToPi)
{
    const Volume scanner = sweep([](double r) { return std::round(r * 4096.0 / kPi); });
    ASSERT_EQ(detectPhaseScale(scanner), PhaseScale::ScannerSigned);
    const Volume radians = phaseInRadians(scanner, PhaseScale::ScannerSigned);
    for (int x = 0; x < 64; ++x) EXPECT_NEAR(radians(x, 1, 0), wrapPhase(static_cast<float>(scanner(x, 1, 0) * kPi / 4096.0)), 1e-6);
    EXPECT_NEAR(radians(32, 0, 0), 0.0, 1e-6);
}

TEST(PhaseUnits, UnsignedScannerUnitsAreTheSignedOnesBeforeTwiceValueMinus4096)
{
    const Volume raw = sweep([](double r) { return std::round((r * 4096.0 / kPi + 4096.0) / 2.0); });
    ASSERT_EQ(detectPhaseScale(raw), PhaseScale::ScannerUnsigned);
    const Volume radians = phaseInRadians(raw, PhaseScale::ScannerUnsigned);
    for (int x = 0; x < 64; ++x)
        EXPECT_NEAR(radians(x, 0, 0), wrapPhase(static_cast<float>((2.0 * raw(x, 0, 0) - 4096.0) * kPi / 4096.0)), 1e-6);
}

TEST(PhaseUnits, OtherRangesAreNeitherRadiansNorScannerUnits)
{
    EXPECT_FALSE(detectPhaseScale(sweep([](double r) { return r * 180.0 / kPi; })));  // degrees
    EXPECT_FALSE(detectPhaseScale(sweep([](double r) { return 2000.0 + 1000.0 * r; })));  // a magnitude
    EXPECT_FALSE(detectPhaseScale(sweep([](double r) { return r * 8192.0 / kPi; })));  // 14 bits
    EXPECT_FALSE(detectPhaseScale(Volume(3, 3, 3, std::numeric_limits<float>::quiet_NaN())));
}

TEST(PhaseUnits, ValuesThatAreNotFiniteAreLeftOutOfTheRangeAndBecomeZero)
{
    Volume phase = sweep([](double r) { return r; });
    phase(3, 0, 0) = std::numeric_limits<float>::infinity();
    ASSERT_EQ(detectPhaseScale(phase), PhaseScale::Radians);
    EXPECT_EQ(phaseInRadians(phase, PhaseScale::Radians)(3, 0, 0), 0.0f);
}

TEST(PhaseUnits, DifferenceOfTwoPhasesIsWrappedBeforeUnwrapping)
{
    Volume first(2, 1, 1), second(2, 1, 1);
    first(0, 0, 0) = 3.0f;
    second(0, 0, 0) = -3.0f;  // 0.28 rad past pi: the difference is +0.28, not -6
    first(1, 0, 0) = -1.0f;
    second(1, 0, 0) = 0.5f;
    const Volume difference = wrappedDifference(first, second);
    EXPECT_NEAR(difference(0, 0, 0), 2.0 * kPi - 6.0, 1e-5);
    EXPECT_NEAR(difference(1, 0, 0), 1.5, 1e-6);
    EXPECT_THROW(wrappedDifference(first, Volume(3, 1, 1)), std::invalid_argument);
}
