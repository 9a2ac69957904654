// SPDX-License-Identifier: GPL-3.0-or-later
// Rigid motion: parameters and transforms, inverse and small-motion update against the
// matrices written out, and the resampling against the core's generic B-spline sampler at
// positions computed here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/bspline.h"
#include "core/rigidmotion.h"

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

std::array<double, 3> applied(const RigidTransform& t, const std::array<double, 3>& p)
{
    std::array<double, 3> q{};
    for (int i = 0; i < 3; ++i)
        q[i] = t.rotation[i][0] * p[0] + t.rotation[i][1] * p[1] + t.rotation[i][2] * p[2] + t.translation[i];
    return q;
}

Volume texture(Dimensions e)
{
    Volume v(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                v(x, y, z) = static_cast<float>(100.0 + 40.0 * std::sin(0.5 * x + 0.2 * z) * std::cos(0.37 * y) + 7.0 * z);
    return v;
}

}  // namespace

TEST(RigidMotion, ParametersRotateXThenYThenZAndComeBack)
{
    const RigidMotion motion{{1.5, -0.5, 2.0}, {3.0 * kDegree, -2.0 * kDegree, 1.0 * kDegree}};
    const RigidTransform t = transformOf(motion);
    // Rz Ry Rx applied to e_x, written out for these angles.
    const double a = motion.rotation[0], b = motion.rotation[1], g = motion.rotation[2];
    const std::array<double, 3> ex = applied(t, {1.0, 0.0, 0.0});
    EXPECT_NEAR(ex[0], std::cos(g) * std::cos(b) + 1.5, 1e-12);
    EXPECT_NEAR(ex[1], std::sin(g) * std::cos(b) - 0.5, 1e-12);
    EXPECT_NEAR(ex[2], -std::sin(b) + 2.0, 1e-12);
    const std::array<double, 3> ez = applied(t, {0.0, 0.0, 1.0});
    EXPECT_NEAR(ez[2], std::cos(b) * std::cos(a) + 2.0, 1e-12);
    const RigidMotion back = motionOf(t);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(back.translation[k], motion.translation[k], 1e-12);
        EXPECT_NEAR(back.rotation[k], motion.rotation[k], 1e-12);
    }
    const std::array<double, 3> p{12.0, -30.0, 7.5};
    const std::array<double, 3> there = applied(inverse(t), applied(t, p));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(there[k], p[k], 1e-12);
    EXPECT_NEAR(rotationAngleDegrees({{}, {0.0, 0.0, 4.0 * kDegree}}), 4.0, 1e-9);
    EXPECT_DOUBLE_EQ(largestTranslation(motion), 2.0);
}

// The update applies x -> x + shift + turn x x in the reference frame before the motion.
TEST(RigidMotion, ASmallMotionIsAppliedBeforeTheCurrentOne)
{
    const RigidTransform t = transformOf({{1.0, 2.0, -1.0}, {0.1, -0.05, 0.2}});
    const std::array<double, 3> shift{0.3, -0.2, 0.1};
    const std::array<double, 3> turn{1e-4, -2e-4, 3e-4};
    const RigidTransform updated = composedWithSmallMotion(t, shift, turn);
    const std::array<double, 3> p{20.0, -10.0, 5.0};
    const std::array<double, 3> cross{turn[1] * p[2] - turn[2] * p[1], turn[2] * p[0] - turn[0] * p[2],
                                      turn[0] * p[1] - turn[1] * p[0]};
    const std::array<double, 3> expected =
        applied(t, {p[0] + shift[0] + cross[0], p[1] + shift[1] + cross[1], p[2] + shift[2] + cross[2]});
    const std::array<double, 3> actual = applied(updated, p);
    // exp([w]x) differs from I + [w]x by |w|^2 |p| / 2.
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(actual[k], expected[k], 1e-5);
}

// The resampling is the volume's interpolating spline at R p + t, as the core's generic
// sampler gives it at those positions.
TEST(RigidMotion, ResamplingSamplesTheSplineWhereTheMotionTakesEveryVoxel)
{
    // Rows of 21 voxels: groups of eight and the rest; the second motion takes many voxels
    // near and beyond the volume's ends, where the spline falls to 0.
    const Dimensions e{21, 12, 9};
    const std::array<double, 3> voxel{2.0, 2.5, 3.0};
    const Volume v = texture(e);
    const SplineVolume spline = splineVolume(v);
    for (const RigidMotion& motion : {RigidMotion{{1.2, -0.7, 0.9}, {2.0 * kDegree, -1.5 * kDegree, 3.0 * kDegree}},
                                      RigidMotion{{9.0, -4.0, 7.5}, {-4.0 * kDegree, 6.0 * kDegree, 25.0 * kDegree}}}) {
        const RigidTransform t = transformOf(motion);
        const Volume moved = resampledRigidly(spline, voxel, t);
        std::vector<Point3> positions;
        for (int z = 0; z < e.z; ++z)
            for (int y = 0; y < e.y; ++y)
                for (int x = 0; x < e.x; ++x) {
                    const std::array<double, 3> q = applied(t, gridPosition(x, y, z, e, voxel));
                    positions.push_back({static_cast<float>(q[0] / voxel[0] + 0.5 * (e.x - 1)),
                                         static_cast<float>(q[1] / voxel[1] + 0.5 * (e.y - 1)),
                                         static_cast<float>(q[2] / voxel[2] + 0.5 * (e.z - 1))});
                }
        std::vector<float> expected(v.size());
        sampleBspline(bsplineCoefficients(v.data(), e), e, positions, expected.data());
        std::size_t outside = 0;
        for (std::size_t i = 0; i < v.size(); ++i) {
            ASSERT_NEAR(moved[i], expected[i], 2e-3) << "voxel " << i;
            if (expected[i] == 0.0f) ++outside;
        }
        if (motion.translation[0] > 5.0) {
            EXPECT_GT(outside, v.size() / 10);
        }
    }
    // No motion leaves every voxel as it was.
    const Volume still = resampledRigidly(spline, voxel, RigidTransform{});
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(still[i], v[i], 1e-3);
}

TEST(RigidMotion, ResamplingWithinSlicesClampsOnlyTheSlicePosition)
{
    const Dimensions e{21, 12, 9};
    const std::array<double, 3> voxel{2.0, 2.5, 3.0};
    const Volume v = texture(e);
    const RigidTransform t = transformOf(RigidMotion{{1.2, -0.7, 4.0}, {3.0 * kDegree, -1.5 * kDegree, 2.0 * kDegree}});
    const Volume moved = resampledRigidlyWithinSlices(splineVolume(v), voxel, t);
    std::vector<Point3> positions;
    std::size_t clamped = 0;
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                const std::array<double, 3> q = applied(t, gridPosition(x, y, z, e, voxel));
                const float slice = static_cast<float>(q[2] / voxel[2] + 0.5 * (e.z - 1));
                const float within = std::min(std::max(slice, 0.0f), static_cast<float>(e.z - 1));
                if (within != slice) ++clamped;
                positions.push_back({static_cast<float>(q[0] / voxel[0] + 0.5 * (e.x - 1)),
                                     static_cast<float>(q[1] / voxel[1] + 0.5 * (e.y - 1)), within});
            }
    std::vector<float> expected(v.size());
    sampleBspline(bsplineCoefficients(v.data(), e), e, positions, expected.data());
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(moved[i], expected[i], 2e-3) << "voxel " << i;
    // The motion takes the top slices beyond the volume, where the plain resampling falls.
    EXPECT_GT(clamped, v.size() / 10);
}
