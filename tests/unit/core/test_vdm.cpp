// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/bspline.h"
#include "core/vdm.h"
#include "support/assertionmessage.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed, float low, float high)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(low, high);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

bool sameBits(const Volume& a, const Volume& b)
{
    return a.dimensions() == b.dimensions() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Every voxel read through the full trilinear sample at (x, y + s*vdm, z).
Volume linearReference(const Volume& src, const Volume& vdm, float s)
{
    Volume out(src.dimensions());
    for (int z = 0; z < src.nz(); ++z)
        for (int y = 0; y < src.ny(); ++y)
            for (int x = 0; x < src.nx(); ++x)
                out(x, y, z) = src.sampleTrilinear(static_cast<float>(x), static_cast<float>(y) + s * vdm(x, y, z),
                                                   static_cast<float>(z));
    return out;
}

// The spline of the source evaluated voxel by voxel.
Volume cubicReference(const Volume& src, const Volume& vdm, float s)
{
    const std::vector<double> g = bsplineCoefficients(src.data(), src.dimensions());
    Volume out(src.dimensions());
    for (int z = 0; z < src.nz(); ++z)
        for (int y = 0; y < src.ny(); ++y)
            for (int x = 0; x < src.nx(); ++x) {
                const Point3 p{static_cast<float>(x), static_cast<float>(y) + s * vdm(x, y, z), static_cast<float>(z)};
                sampleBspline(g, src.dimensions(), {p}, &out(x, y, z));
            }
    return out;
}

Volume column(std::initializer_list<float> values)
{
    Volume v(1, static_cast<int>(values.size()), 1);
    int y = 0;
    for (float value : values) v(0, y++, 0) = value;
    return v;
}

} // namespace

TEST(Vdm, WholeVolumeResamplingEqualsPerVoxelReferenceBitForBit)
{
    const Dimensions e{11, 14, 5};
    const Volume src = randomVolume(e, 1, -20.0f, 100.0f);
    Volume vdm = randomVolume(e, 2, -4.0f, 4.0f);
    vdm(3, 2, 1) = std::nanf("");
    vdm(4, 13, 2) = 1.0e12f;
    for (const bool reversed : {false, true}) {
        const float s = reversed ? -1.0f : 1.0f;
        Volume linear(e), cubic(e);
        applyVdmLinear(linear, src, vdm, reversed);
        applyVdmCubic(cubic, src, vdm, reversed);
        EXPECT_TRUE(sameBits(linear, linearReference(src, vdm, s))) << "reversed " << reversed;
        EXPECT_TRUE(sameBits(cubic, cubicReference(src, vdm, s))) << "reversed " << reversed;
        Volume viaEntry(e), cubicViaEntry(e);
        if (reversed) {
            applyVdmLinearReversed(viaEntry, src, vdm);
            applyVdmCubicReversed(cubicViaEntry, src, vdm);
            EXPECT_TRUE(sameBits(viaEntry, linear));
            EXPECT_TRUE(sameBits(cubicViaEntry, cubic));
        }
    }
}

TEST(Vdm, NonFiniteSourceValuesSpreadAsInTheTrilinearSample)
{
    const Dimensions e{6, 7, 3};
    Volume src = randomVolume(e, 3, 0.0f, 10.0f);
    src(2, 3, 1) = std::numeric_limits<float>::infinity();
    const Volume vdm = randomVolume(e, 4, -2.0f, 2.0f);
    Volume dst(e);
    applyVdmLinear(dst, src, vdm);
    EXPECT_TRUE(sameBits(dst, linearReference(src, vdm, 1.0f)));
}

TEST(Vdm, ZeroMapReproducesAndUnitMapShiftsOneRow)
{
    const Dimensions e{5, 6, 2};
    const Volume src = randomVolume(e, 5, 1.0f, 9.0f);
    Volume dst(e);
    applyVdmLinear(dst, src, Volume(e, 0.0f));
    EXPECT_TRUE(sameBits(dst, src));
    applyVdmCubic(dst, src, Volume(e, 0.0f));
    for (std::size_t i = 0; i < src.size(); ++i) EXPECT_NEAR(dst[i], src[i], 2e-5f);

    const Volume ones(e, 1.0f);
    Volume forward(e), backward(e);
    applyVdmLinear(forward, src, ones);
    applyVdmLinearReversed(backward, src, ones);
    for (int z = 0; z < e.z; ++z)
        for (int x = 0; x < e.x; ++x) {
            for (int y = 0; y + 1 < e.y; ++y) {
                EXPECT_EQ(forward(x, y, z), src(x, y + 1, z));
                EXPECT_EQ(backward(x, y + 1, z), src(x, y, z));
            }
            EXPECT_EQ(forward(x, e.y - 1, z), 0.0f);
            EXPECT_EQ(backward(x, 0, z), 0.0f);
        }
}

TEST(Vdm, LocalResamplingTouchesOnlyListedVoxelsStrictlyInsideTheRows)
{
    const Dimensions e{4, 6, 3};
    const Volume src = randomVolume(e, 6, 1.0f, 9.0f);
    const Volume vdm = randomVolume(e, 7, -1.0f, 1.0f);
    const Volume update = randomVolume(e, 8, -2.0f, 2.0f);
    const std::vector<VoxelIndex> voxels{{1, 2, 1}, {3, 4, 0}, {0, 0, 2}, {2, 5, 1}};
    const std::vector<VoxelIndex> partners{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 0}, {1, 5, 2}};
    for (const bool reversed : {false, true}) {
        const float s = reversed ? -1.0f : 1.0f;
        Volume dst(e, -7.0f);
        if (reversed)
            applyVdmLinearLocalReversed(dst, src, vdm, voxels, update, partners, 0.75f);
        else
            applyVdmLinearLocal(dst, src, vdm, voxels, update, partners, 0.75f);
        Volume expected(e, -7.0f);
        for (std::size_t i = 0; i < voxels.size(); ++i) {
            const VoxelIndex q = voxels[i], r = partners[i];
            const float h = static_cast<float>(q.y) + s * (vdm(q.x, q.y, q.z) + 0.75f * update(r.x, r.y, r.z));
            if (h <= 0.0f || h >= static_cast<float>(e.y - 1)) continue;
            const int j = static_cast<int>(std::floor(h));
            const float f = h - static_cast<float>(j);
            expected(q.x, q.y, q.z) = (1.0f - f) * src(q.x, j, q.z) + f * src(q.x, j + 1, q.z);
        }
        EXPECT_TRUE(sameBits(dst, expected)) << "reversed " << reversed;
    }

    // Target rows of exactly 0 and exactly ny - 1 leave the voxel as it was.
    Volume edges(e, 0.0f);
    edges(1, 1, 0) = -1.0f;
    edges(1, 3, 0) = 2.0f;
    Volume dst(e, -7.0f);
    applyVdmLinearLocal(dst, src, edges, {{1, 1, 0}, {1, 3, 0}}, Volume(e, 0.0f), {{0, 0, 0}, {0, 0, 0}}, 1.0f);
    EXPECT_EQ(dst(1, 1, 0), -7.0f);
    EXPECT_EQ(dst(1, 3, 0), -7.0f);
}

TEST(Vdm, UndistortTransposesAroundTheCubicResampling)
{
    const Volume src = randomVolume({6, 4, 3}, 9, 0.0f, 5.0f);
    const Volume vdm = randomVolume({4, 6, 3}, 10, -1.5f, 1.5f);
    Volume expected(vdm.dimensions());
    applyVdmCubic(expected, src.transposeXY(), vdm);
    EXPECT_TRUE(sameBits(undistort(src, vdm, true), expected.transposeXY()));
    const Volume straight = src.transposeXY();
    Volume direct(vdm.dimensions());
    applyVdmCubic(direct, straight, vdm);
    EXPECT_TRUE(sameBits(undistort(straight, vdm, false), direct));
}

TEST(Vdm, DerivativeIsCentralDifferenceWithZeroEndRows)
{
    Volume ramp(3, 5, 2);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 3; ++x) ramp(x, y, z) = static_cast<float>(y) + static_cast<float>(x);
    const Volume d = vdmDerivativeY(ramp);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(d(x, y, z), (y == 0 || y == 4) ? 0.0f : 1.0f);
}

TEST(Vdm, InversionOfConstantShiftAndZeroOutsideTheMappedRange)
{
    const Volume inverse = invertVdm(column({0.25f, 0.25f, 0.25f, 0.25f, 0.25f}));
    // Mapped rows 0.25 .. 4.25: target 0 lies before them.
    EXPECT_EQ(inverse(0, 0, 0), 0.0f);
    for (int j = 1; j < 5; ++j) EXPECT_FLOAT_EQ(inverse(0, j, 0), -0.25f);

    const Volume stretch = column({0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 2.5f});
    const Volume back = invertVdm(stretch);
    // m(y) = 1.5 y: target j lies at source position j / 1.5.
    for (int j = 0; j < 6; ++j) {
        EXPECT_NEAR(back(0, j, 0), static_cast<float>(j) / 1.5f - static_cast<float>(j), 1e-6f) << "row " << j;
    }
}

TEST(Vdm, FoldsAreCountedAndRepairedInFixedSteps)
{
    Volume fold = column({0.0f, 1.25f});
    EXPECT_EQ(countFolds(fold), 1);
    EXPECT_EQ(repairFolds(fold), 3);
    EXPECT_NEAR(fold(0, 0, 0), 0.15f, 1e-6f);
    EXPECT_NEAR(fold(0, 1, 0), 1.10f, 1e-6f);
    EXPECT_EQ(countFolds(fold), 0);

    Volume field = randomVolume({5, 9, 3}, 11, -3.0f, 3.0f);
    field(2, 4, 1) = std::nanf("");
    Volume expected = field;
    int expectedCount = 0;
    for (int z = 0; z < 3; ++z)
        for (int x = 0; x < 5; ++x)
            for (bool again = true; again;) {
                again = false;
                for (int y = 0; y < 8; ++y) {
                    float& a = expected(x, y, z);
                    float& b = expected(x, y + 1, z);
                    if (!(std::fabs(a - b) > 1.0f)) continue;
                    const float step = a > b ? -0.05f : 0.05f;
                    a += step;
                    b -= step;
                    ++expectedCount;
                    again = true;
                }
            }
    EXPECT_GT(countFolds(field), 0);
    EXPECT_EQ(repairFolds(field), expectedCount);
    EXPECT_TRUE(sameBits(field, expected));
    EXPECT_EQ(countFolds(field), 0);

    Volume infinite = column({std::numeric_limits<float>::infinity(), 0.0f, 3.0f});
    EXPECT_EQ(countFolds(infinite), 2);
    EXPECT_GT(repairFolds(infinite), 0);
    EXPECT_TRUE(std::isinf(infinite(0, 0, 0)));
}

TEST(Vdm, PreconditionsAreCheckedInOrderWithTheirLines)
{
    const Volume a(4, 4, 2, 1.0f);
    const Volume b(4, 2, 4, 1.0f);
    Volume dst(4, 4, 2);
    Volume wrong(4, 2, 4);
    const std::string prefix = "assertion failure (src\\vdm:";
    EXPECT_EQ(assertionMessage([&] { applyVdmLinear(wrong, a, b); }), prefix + "14): dst.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmLinear(dst, a, b); }), prefix + "15): vdm.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmLinear(dst, dst, a); }), prefix + "16): &dst != &src");
    EXPECT_EQ(assertionMessage([&] { applyVdmLinearLocalReversed(wrong, a, a, {}, a, {}, 1.0f); }),
              prefix + "41): dst.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmLinearLocal(dst, a, b, {}, a, {}, 1.0f); }),
              prefix + "42): vdm.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmLinearLocal(dst, dst, a, {}, a, {}, 1.0f); }), prefix + "43): &dst != &src");
    EXPECT_EQ(assertionMessage([&] { applyVdmCubic(wrong, a, b); }), prefix + "70): dst.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmCubicReversed(dst, a, b); }),
              prefix + "71): vdm.dimensions() == src.dimensions()");
    EXPECT_EQ(assertionMessage([&] { applyVdmCubic(dst, dst, a); }), prefix + "72): &dst != &src");
    EXPECT_EQ(assertionMessage([&] { undistort(a, b, false); }), prefix + "70): dst.dimensions() == src.dimensions()");
}
