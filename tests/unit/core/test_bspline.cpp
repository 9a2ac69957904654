// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <random>

#include "core/bspline.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-10.0f, 40.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

// The cubic B-spline basis centred on 0, zero beyond two voxels.
double basis(double d)
{
    d = std::fabs(d);
    if (d >= 2.0) return 0.0;
    if (d >= 1.0) return (2.0 - d) * (2.0 - d) * (2.0 - d) / 6.0;
    return (4.0 - 6.0 * d * d + 3.0 * d * d * d) / 6.0;
}

// Direct sum over every coefficient of the volume.
double splineAt(const std::vector<double>& g, Dimensions e, Point3 p)
{
    double sum = 0.0;
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                sum += g[(static_cast<std::size_t>(z) * e.y + y) * e.x + x] * basis(p.x - x) * basis(p.y - y) *
                       basis(p.z - z);
    return sum;
}

float sampleOne(const std::vector<double>& g, Dimensions e, Point3 p)
{
    float result = -1.0f;
    sampleBspline(g, e, {p}, &result);
    return result;
}

} // namespace

TEST(Bspline, CoefficientsOfAConstantLineRiseAtTheBorders)
{
    const Volume ones(3, 1, 1, 1.0f);
    const std::vector<double> g = bsplineCoefficients(ones.data(), ones.dimensions());
    ASSERT_EQ(g.size(), 3u);
    EXPECT_NEAR(g[0], 81.0 / 28.0, 1e-14);
    EXPECT_NEAR(g[1], 27.0 / 14.0, 1e-14);
    EXPECT_NEAR(g[2], 81.0 / 28.0, 1e-14);
    EXPECT_FLOAT_EQ(sampleOne(g, ones.dimensions(), {-1.0f, 0.0f, 0.0f}), 3.0f / 14.0f);
}

TEST(Bspline, SingleVoxelVolumeScalesByOnePointFiveCubed)
{
    const Volume one(1, 1, 1, 2.0f);
    const std::vector<double> g = bsplineCoefficients(one.data(), one.dimensions());
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0], 1.5 * 1.5 * 1.5 * 2.0);
    EXPECT_FLOAT_EQ(sampleOne(g, one.dimensions(), {0.0f, 0.0f, 0.0f}), 2.0f);
}

namespace {

// Solves the lines one at a time along z, then y, then x with a table for the longest axis.
std::vector<double> coefficientsLineByLine(const Volume& v)
{
    const Dimensions e = v.dimensions();
    const int longest = std::max({e.x, e.y, e.z});
    std::vector<double> p(longest), u(longest);
    p[0] = 1.5;
    u[0] = 0.25;
    for (int i = 1; i < longest; ++i) {
        p[i] = 1.0 / ((4.0 - u[i - 1]) * 0.16666666666666666);
        u[i] = p[i] * 0.16666666666666666;
    }
    std::vector<double> g(v.data(), v.data() + v.size());
    const auto solve = [&](std::size_t start, std::size_t stride, int n) {
        auto at = [&](int i) -> double& { return g[start + static_cast<std::size_t>(i) * stride]; };
        at(0) = at(0) * p[0];
        for (int i = 1; i < n; ++i) at(i) = (at(i) - at(i - 1) * 0.16666666666666666) * p[i];
        for (int i = n - 2; i >= 0; --i) at(i) = at(i) - at(i + 1) * u[i];
    };
    const std::size_t slice = static_cast<std::size_t>(e.x) * e.y;
    for (std::size_t i = 0; i < slice; ++i) solve(i, slice, e.z);
    for (int z = 0; z < e.z; ++z)
        for (int x = 0; x < e.x; ++x) solve(z * slice + x, e.x, e.y);
    for (std::size_t row = 0; row < g.size(); row += e.x) solve(row, 1, e.x);
    return g;
}

} // namespace

TEST(Bspline, CoefficientPassMatchesLineByLineSolveExactly)
{
    const Volume v = randomVolume({9, 6, 4}, 10);
    EXPECT_EQ(bsplineCoefficients(v.data(), v.dimensions()), coefficientsLineByLine(v));
}

TEST(Bspline, SplinePassesThroughEveryVoxelForMixedLineLengths)
{
    for (const Dimensions e : {Dimensions{7, 5, 3}, Dimensions{2, 9, 4}, Dimensions{4, 1, 6}}) {
        const Volume v = randomVolume(e, 11);
        const std::vector<double> g = bsplineCoefficients(v.data(), e);
        std::vector<Point3> positions;
        for (int z = 0; z < e.z; ++z)
            for (int y = 0; y < e.y; ++y)
                for (int x = 0; x < e.x; ++x)
                    positions.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
        std::vector<float> results(positions.size());
        sampleBspline(g, e, positions, results.data());
        for (std::size_t i = 0; i < results.size(); ++i) ASSERT_NEAR(results[i], v[i], 2e-5f) << "voxel " << i;
    }
}

TEST(Bspline, SamplesAgreeWithTheDirectBasisSumAnywhere)
{
    const Dimensions e{6, 8, 5};
    const Volume v = randomVolume(e, 12);
    const std::vector<double> g = bsplineCoefficients(v.data(), e);
    std::mt19937 generator(13);
    std::uniform_real_distribution<float> coordinate(-2.5f, 9.5f);
    std::vector<Point3> positions(400);
    for (Point3& p : positions) p = {coordinate(generator), coordinate(generator), coordinate(generator) * 0.6f};
    std::vector<float> results(positions.size());
    sampleBspline(g, e, positions, results.data());
    for (std::size_t i = 0; i < positions.size(); ++i)
        ASSERT_NEAR(results[i], splineAt(g, e, positions[i]), 1e-4) << "position " << i;
}

TEST(Bspline, FarOrInvalidPositionsGiveZeroAndEmptyListsWriteNothing)
{
    const Volume v = randomVolume({5, 4, 3}, 14);
    const std::vector<double> g = bsplineCoefficients(v.data(), v.dimensions());
    EXPECT_EQ(sampleOne(g, v.dimensions(), {-2.0f, 1.0f, 1.0f}), 0.0f);
    EXPECT_EQ(sampleOne(g, v.dimensions(), {6.0f, 1.5f, 1.0f}), 0.0f);
    EXPECT_EQ(sampleOne(g, v.dimensions(), {1.0f, 1.0f, -7.0e9f}), 0.0f);
    EXPECT_EQ(sampleOne(g, v.dimensions(), {1.0f, std::nanf(""), 1.0f}), 0.0f);
    EXPECT_NE(sampleOne(g, v.dimensions(), {-1.5f, 1.0f, 1.0f}), 0.0f);
    float untouched = 42.0f;
    sampleBspline(g, v.dimensions(), {}, &untouched);
    EXPECT_EQ(untouched, 42.0f);
}

// Rows of 4 voxels or more are sampled four lanes at a time where the processor allows:
// the lanes, the rest of a row, the edges of the volume and positions far outside it or not
// numbers at all must give the bits of the one-voxel sampler.
TEST(Bspline, ShiftedColumnSamplingEqualsGeneralSamplingBitForBit)
{
    for (const Dimensions e : {Dimensions{6, 9, 4}, Dimensions{1, 5, 1}, Dimensions{3, 2, 1}, Dimensions{19, 12, 3},
                               Dimensions{8, 7, 2}}) {
        const Volume v = randomVolume(e, 15);
        Volume shifts = randomVolume(e, 16);
        for (std::size_t i = 0; i < shifts.size(); ++i) shifts[i] *= 0.1f;
        // Large shifts reach past the ends of the columns, partly and wholly; the rest are
        // not numbers, infinite, or a negative zero.
        const float special[] = {7.5f, -9.25f, 12.0f, -13.0f, 2.999f, std::nanf(""), INFINITY, -INFINITY, -0.0f};
        for (std::size_t i = 0, k = 0; i < shifts.size(); i += 5, ++k) shifts[i] = special[k % std::size(special)];
        const std::vector<double> g = bsplineCoefficients(v.data(), e);
        for (const float sign : {1.0f, -1.0f}) {
            std::vector<Point3> positions;
            for (int z = 0; z < e.z; ++z)
                for (int y = 0; y < e.y; ++y)
                    for (int x = 0; x < e.x; ++x)
                        positions.push_back({static_cast<float>(x), static_cast<float>(y) + sign * shifts(x, y, z),
                                             static_cast<float>(z)});
            std::vector<float> expected(positions.size()), actual(positions.size());
            sampleBspline(g, e, positions, expected.data());
            sampleBsplineShiftedY(g, e, shifts, sign, actual.data());
            for (std::size_t i = 0; i < actual.size(); ++i)
                ASSERT_EQ(std::bit_cast<std::uint32_t>(actual[i]), std::bit_cast<std::uint32_t>(expected[i])) << i;
        }
    }
}
