// SPDX-License-Identifier: GPL-3.0-or-later
// Carrying a displacement map to another grid through the field in Hz and world
// coordinates, checked against the field written down directly in world coordinates.
#include <gtest/gtest.h>

#include <cmath>

#include "nifti/fieldtransfer.h"

namespace {

NiftiInfo grid(Dimensions extent, std::array<std::array<double, 4>, 3> voxelToWorld)
{
    NiftiInfo info;
    info.extent = extent;
    info.voxelToWorld = voxelToWorld;
    return info;
}

std::array<double, 3> world(const NiftiInfo& info, int i, int j, int k)
{
    const auto& m = info.voxelToWorld;
    std::array<double, 3> p{};
    for (int r = 0; r < 3; ++r) p[r] = m[r][0] * i + m[r][1] * j + m[r][2] * k + m[r][3];
    return p;
}

// A field in Hz that is linear in world millimetres, which trilinear sampling keeps exactly.
double field(const std::array<double, 3>& p)
{
    return 12.0 + 0.8 * p[0] - 0.5 * p[1] + 0.3 * p[2];
}

// The map of an acquisition with the direction and readout time: field x time x polarity.
Volume mapOf(const EncodedGrid& encoded)
{
    Volume map(encoded.grid.extent);
    for (int k = 0; k < map.nz(); ++k)
        for (int j = 0; j < map.ny(); ++j)
            for (int i = 0; i < map.nx(); ++i)
                map(i, j, k) = static_cast<float>(field(world(encoded.grid, i, j, k)) * encoded.readoutTime *
                                                  encoded.direction.polarity);
    return map;
}

// Oblique 3 mm grid of 20 x 24 x 10 voxels.
const NiftiInfo kPairGrid = grid({20, 24, 10}, {{{2.9, 0.4, 0.1, -30.0}, {-0.3, 2.95, 0.2, -35.0}, {0.1, -0.2, 3.0, -14.0}}});

}  // namespace

TEST(FieldTransfer, SameGridAndReadoutGiveTheMapBack)
{
    const EncodedGrid pair{kPairGrid, {'j', -1}, 0.05};
    const Volume map = mapOf(pair);
    EXPECT_TRUE(sameGrid(kPairGrid, kPairGrid));
    const Volume carried = transferDisplacement(map, pair, pair);
    for (std::size_t i = 0; i < map.size(); ++i) ASSERT_NEAR(carried[i], map[i], 1e-5f * (1.0f + std::abs(map[i])));
}

TEST(FieldTransfer, RunOnACoarserFlippedShiftedGridGetsItsOwnDisplacement)
{
    const EncodedGrid pair{kPairGrid, {'j', -1}, 0.05};
    // 4 mm voxels, its j axis reversed, inside the pair's field of view; encoded "j" with
    // a longer readout: its displacement is field x 0.07 along its own +j.
    NiftiInfo coarse = grid({10, 12, 6}, {{{3.9, 0.5, 0.1, -15.0}, {-0.4, -3.95, 0.3, 28.0}, {0.1, 0.3, 4.0, -12.0}}});
    const EncodedGrid run{coarse, {'j', 1}, 0.07};
    EXPECT_FALSE(sameGrid(kPairGrid, coarse));
    const Volume carried = transferDisplacement(mapOf(pair), pair, run);
    const Volume expected = mapOf(run);
    ASSERT_EQ(carried.dimensions(), coarse.extent);
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(carried[i], expected[i], 1e-3) << "voxel " << i;
}

TEST(FieldTransfer, PositionsOutsideThePairTakeTheNearestEdge)
{
    const NiftiInfo pairGrid = grid({4, 4, 2}, {{{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}}});
    Volume map(pairGrid.extent);
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<float>(i);
    // One voxel far beyond the corner (3, 3, 1) and one far before (0, 0, 0).
    const NiftiInfo far = grid({2, 1, 1}, {{{-50.0, 0.0, 0.0, 25.0}, {-50.0, 1.0, 0.0, 25.0}, {-50.0, 0.0, 1.0, 25.0}}});
    const Volume carried = transferDisplacement(map, {pairGrid, {'i', 1}, 0.1}, {far, {'i', 1}, 0.1});
    EXPECT_FLOAT_EQ(carried(0, 0, 0), map(3, 3, 1));
    EXPECT_FLOAT_EQ(carried(1, 0, 0), map(0, 0, 0));
}

TEST(FieldTransfer, SameGridMeansWithinAHundredthOfAMillimetre)
{
    NiftiInfo moved = kPairGrid;
    moved.voxelToWorld[1][3] += 0.001;
    EXPECT_TRUE(sameGrid(kPairGrid, moved));
    moved.voxelToWorld[1][3] += 0.1;
    EXPECT_FALSE(sameGrid(kPairGrid, moved));
    NiftiInfo larger = kPairGrid;
    larger.extent.z += 1;
    EXPECT_FALSE(sameGrid(kPairGrid, larger));
}

TEST(FieldTransfer, PhaseAxesMustPointTheSameWayInTheWorld)
{
    const EncodedGrid pair{kPairGrid, {'j', 1}, 0.05};
    // The same axis reversed is fine: the polarity carries the sign.
    NiftiInfo flipped = kPairGrid;
    for (int r = 0; r < 3; ++r) flipped.voxelToWorld[r][1] = -flipped.voxelToWorld[r][1];
    EXPECT_FALSE(phaseAxisMismatch(pair, {flipped, {'j', -1}, 0.05}));
    // Another voxel axis, or j of a grid turned by 90 degrees, is not.
    EXPECT_EQ(*phaseAxisMismatch(pair, {kPairGrid, {'i', 1}, 0.05}),
              "its phase-encoding direction i lies along another voxel axis than the pair's j");
    const NiftiInfo turned = grid({24, 20, 10}, {{{0.0, -3.0, 0.0, 0.0}, {3.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 3.0, 0.0}}});
    const std::optional<std::string> why = phaseAxisMismatch(pair, {turned, {'j', 1}, 0.05});
    ASSERT_TRUE(why);
    EXPECT_EQ(why->rfind("its phase-encoding axis j points along (-1, 0, 0) in world coordinates", 0), 0u) << *why;
}
