// SPDX-License-Identifier: GPL-3.0-or-later
// Moving the minus copy and the map into the plus copy's frame before the restoration.
#include <gtest/gtest.h>

#include <cmath>

#include "core/movedpair.h"
#include "core/restoration.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

Volume smoothObject(Dimensions e, double phase)
{
    Volume v(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                v(x, y, z) = static_cast<float>(100.0 + 40.0 * std::sin(0.7 * x + phase) * std::cos(0.3 * y) + 5.0 * z);
    return v;
}

Volume waveMap(Dimensions e)
{
    Volume v(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) v(x, y, z) = static_cast<float>(1.5 * std::sin(2.0 * kPi * y / e.y) + 0.1 * x);
    return v;
}

RigidTransform translation(double x, double y, double z)
{
    RigidTransform t;
    t.translation = {x, y, z};
    return t;
}

}  // namespace

TEST(MovedPair, ComposedAppliesTheInnerMotionFirst)
{
    RigidMotion turn;
    turn.rotation = {0.0, 0.0, kPi / 2.0};
    const RigidTransform outer = transformOf(turn), inner = translation(1.0, 0.0, 0.0);
    const RigidTransform both = composed(outer, inner);
    // (1, 0, 0) turned a quarter about z is (0, 1, 0).
    EXPECT_NEAR(both.translation[0], 0.0, 1e-12);
    EXPECT_NEAR(both.translation[1], 1.0, 1e-12);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(both.rotation[i][j], outer.rotation[i][j]);
    EXPECT_TRUE(isIdentity(RigidTransform{}));
    EXPECT_FALSE(isIdentity(inner));
}

// The minus copy acquired with the head one voxel further along x restores, once moved
// into the plus copy's frame, as the aligned copy does (away from the column that left
// the grid).
TEST(MovedPair, MotionBetweenTheCopiesIsUndoneBeforeTheRestoration)
{
    const Dimensions e{8, 40, 5};
    const std::array<double, 3> voxel{2.0, 2.5, 3.0};
    const Volume vdm = waveMap(e);
    const Volume plus = smoothObject(e, 0.0), minus = smoothObject(e, 0.4);
    Volume moved(e, 0.0f);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x + 1 < e.x; ++x) moved(x + 1, y, z) = minus(x, y, z);

    const Volume aligned = restorePair(plus, minus, vdm);
    const Volume undone = minusInPlusFrame(moved, voxel, {RigidTransform{}, translation(2.0, 0.0, 0.0)});
    const Volume restored = restorePair(plus, undone, vdm);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x + 1 < e.x; ++x) {
                ASSERT_NEAR(undone(x, y, z), minus(x, y, z), 0.05) << x << ' ' << y << ' ' << z;
                ASSERT_NEAR(restored(x, y, z), aligned(x, y, z), 0.05) << x << ' ' << y << ' ' << z;
            }
}

// With both copies at the same position the minus copy stays as it is, and the map moves
// with the head into the plus copy's frame.
TEST(MovedPair, TheMapMovesWithTheHeadAndCopiesAtOnePositionStayAsTheyAre)
{
    const Dimensions e{8, 40, 5};
    const std::array<double, 3> voxel{2.0, 2.5, 3.0};
    const Volume vdm = waveMap(e);
    const Volume minus = smoothObject(e, 0.4);
    const CopyPositions positions{translation(2.0, 0.0, 0.0), translation(2.0, 0.0, 0.0)};
    const Volume same = minusInPlusFrame(minus, voxel, positions);
    for (std::size_t i = 0; i < minus.size(); ++i) ASSERT_EQ(same[i], minus[i]);

    const Volume map = mapInPlusFrame(vdm, voxel, positions);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 1; x < e.x; ++x) ASSERT_NEAR(map(x, y, z), vdm(x - 1, y, z), 1e-3) << x << ' ' << y << ' ' << z;
    const Volume still = mapInPlusFrame(vdm, voxel, {RigidTransform{}, translation(2.0, 0.0, 0.0)});
    for (std::size_t i = 0; i < vdm.size(); ++i) ASSERT_EQ(still[i], vdm[i]);
}

// A head moved along z takes the map beyond the slab: there the field goes on as at the
// edge slice instead of falling to 0, which would leave those voxels uncorrected.
TEST(MovedPair, TheMapMovedThroughTheSlabKeepsItsEdgeSlices)
{
    const Dimensions e{8, 40, 5};
    const std::array<double, 3> voxel{2.0, 2.5, 3.0};
    const Volume vdm = waveMap(e);
    const Volume map = mapInPlusFrame(vdm, voxel, {translation(0.0, 0.0, 1.5), RigidTransform{}});
    for (int y = 0; y < e.y; ++y)
        for (int x = 0; x < e.x; ++x) ASSERT_NEAR(map(x, y, 0), vdm(x, y, 0), 1e-3) << x << ' ' << y;
}
