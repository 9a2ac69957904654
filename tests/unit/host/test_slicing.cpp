// SPDX-License-Identifier: GPL-3.0-or-later
// Slices of the pictures: the box around the object, evenly spaced slices, panel pixels
// sampled in a view's orientation, and contour lines against a brute-force check.
#include <gtest/gtest.h>

#include <cmath>

#include "report/slicing.h"

TEST(Slicing, BoxAroundTheVoxelsWidenedWithinTheGrid)
{
    const Dimensions extent{10, 8, 6};
    const VoxelBox box = boxAround({{2, 3, 1}, {7, 5, 4}}, extent, 2);
    EXPECT_EQ(box.low, (std::array<int, 3>{0, 1, 0}));
    EXPECT_EQ(box.high, (std::array<int, 3>{9, 7, 5}));
    const VoxelBox all = boxAround({}, extent, 2);
    EXPECT_EQ(all.low, (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(all.high, (std::array<int, 3>{9, 7, 5}));
}

TEST(Slicing, EvenlySpacedSlicesLeaveTheEndsOut)
{
    EXPECT_EQ(evenlySpacedSlices(0, 80, 7), (std::vector<int>{10, 20, 30, 40, 50, 60, 70}));
    EXPECT_EQ(evenlySpacedSlices(4, 8, 1), (std::vector<int>{6}));
    // Three slices cannot hold seven distinct ones.
    const std::vector<int> few = evenlySpacedSlices(0, 2, 7);
    EXPECT_EQ(few, (std::vector<int>{0, 1, 2}));
}

TEST(Slicing, PanelPixelsSampleTheVolumeInTheViewsOrientation)
{
    Volume volume(4, 3, 2, 0.0f);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) volume(x, y, z) = static_cast<float>(100 * z + 10 * y + x);
    const VoxelBox box{{0, 0, 0}, {3, 2, 1}};
    // One pixel per voxel: x from right to left, y from top to bottom.
    const View view{"test", 2, 0, false, 1, true, "", "", "", ""};
    const PanelGeometry geometry(view, box, 1, {2.0, 2.0, 5.0}, 0.5);
    ASSERT_EQ(geometry.width(), 4);
    ASSERT_EQ(geometry.height(), 3);
    const Plane plane = samplePlane(volume, geometry);
    for (int v = 0; v < 3; ++v)
        for (int u = 0; u < 4; ++u) EXPECT_FLOAT_EQ(plane.at(u, v), volume(3 - u, v, 1)) << u << " " << v;
    // Two pixels per voxel: between voxel centres the values blend linearly, beyond the
    // outer centres they hold the edge value.
    const PanelGeometry fine(view, box, 0, {2.0, 2.0, 5.0}, 1.0);
    const Plane twice = samplePlane(volume, fine);
    ASSERT_EQ(twice.width, 8);
    EXPECT_FLOAT_EQ(twice.at(0, 0), volume(3, 0, 0));                                   // x 3.25 clamps to 3
    // The volume is linear in x and y, so bilinear sampling gives its value at (2.75, 0.75).
    EXPECT_FLOAT_EQ(twice.at(1, 2), 10.0f * 0.75f + 2.75f);
}

TEST(Slicing, ContourOfARadialFieldLiesOnItsCircle)
{
    Plane plane{41, 41, {}};
    Plane mask{41, 41, std::vector<float>(41 * 41, 1.0f)};
    for (int v = 0; v < 41; ++v)
        for (int u = 0; u < 41; ++u)
            plane.values.push_back(static_cast<float>(std::hypot(u + 0.5 - 20.5, v + 0.5 - 20.5)));
    const std::vector<Point> ends = contourSegments(plane, mask, 12.3);
    ASSERT_GT(ends.size(), 100u);
    ASSERT_EQ(ends.size() % 2, 0u);
    for (const Point& p : ends) EXPECT_NEAR(std::hypot(p.x - 20.5, p.y - 20.5), 12.3, 0.05);
    // The segments join into a closed line: every end point is shared by two segments.
    for (const Point& p : ends) {
        int shared = 0;
        for (const Point& q : ends) shared += std::abs(p.x - q.x) < 1e-9 && std::abs(p.y - q.y) < 1e-9;
        EXPECT_EQ(shared, 2);
    }
    // Outside the mask nothing is drawn.
    for (int v = 0; v < 41; ++v)
        for (int u = 0; u < 41; ++u) mask.values[static_cast<std::size_t>(v) * 41 + u] = u < 20 ? 1.0f : 0.0f;
    for (const Point& p : contourSegments(plane, mask, 12.3)) EXPECT_LE(p.x, 20.5);
}

TEST(Slicing, SaddleCellsGiveTwoSeparateSegments)
{
    // Corners high, low, high, low around the cell; the centre (their mean) is below.
    const Plane plane{2, 2, {1.0f, 0.0f, 0.0f, 1.0f}};
    const Plane mask{2, 2, {1.0f, 1.0f, 1.0f, 1.0f}};
    const std::vector<Point> ends = contourSegments(plane, mask, 0.6);
    ASSERT_EQ(ends.size(), 4u);
    // Each segment cuts off one high corner: both its ends lie near that corner.
    for (std::size_t i = 0; i < 4; i += 2) {
        const double cx = 0.5 * (ends[i].x + ends[i + 1].x);
        const double cy = 0.5 * (ends[i].y + ends[i + 1].y);
        const bool nearTopLeft = cx < 1.0 && cy < 1.0;
        const bool nearBottomRight = cx > 1.0 && cy > 1.0;
        EXPECT_TRUE(nearTopLeft || nearBottomRight) << cx << " " << cy;
    }
}
