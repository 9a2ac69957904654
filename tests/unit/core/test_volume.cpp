// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "core/volume.h"

namespace {

Volume ramp(int nx, int ny, int nz)
{
    Volume v(nx, ny, nz);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) * 0.5f + 1.0f;
    return v;
}

} // namespace

TEST(Volume, SampleTrilinearFadesToZeroOutsideWithoutRenormalising)
{
    const Volume v = ramp(4, 3, 2);
    EXPECT_FLOAT_EQ(v.sampleTrilinear(2, 1, 1), v(2, 1, 1));
    EXPECT_FLOAT_EQ(v.sampleTrilinear(-0.5f, 1, 1), 0.5f * v(0, 1, 1));
    EXPECT_FLOAT_EQ(v.sampleTrilinear(-1.0f, 1, 1), 0.0f);
    EXPECT_FLOAT_EQ(v.sampleTrilinear(4.0f, 1, 1), 0.0f);
    EXPECT_FLOAT_EQ(v.sampleTrilinear(1.25f, 1, 0), 0.75f * v(1, 1, 0) + 0.25f * v(2, 1, 0));
}

TEST(Volume, ResizeCentredPadsAndCropsSymmetrically)
{
    const Volume original = ramp(64, 64, 30);
    Volume v = original;
    v.resizeCentred({78, 78, 44});
    EXPECT_EQ(v(7, 7, 7), original(0, 0, 0));
    EXPECT_EQ(v(6, 7, 7), 0.0f);
    EXPECT_EQ(v(70, 70, 36), original(63, 63, 29));
    EXPECT_EQ(v(71, 70, 36), 0.0f);
    v.resizeCentred({64, 64, 30});
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], original[i]);
}

TEST(Volume, ResizeCentredWithEqualVoxelCountOnlyReinterprets)
{
    Volume v = ramp(4, 4, 2);
    const float* before = v.data();
    v.resizeCentred({2, 4, 4});
    EXPECT_EQ(v.data(), before);
    EXPECT_EQ(v.dimensions(), (Dimensions{2, 4, 4}));
    EXPECT_EQ(v[31], ramp(4, 4, 2)[31]);
}

TEST(Volume, PadReplicateCopiesEdges)
{
    Volume one(1, 1, 1, 3.5f);
    one.padReplicate({7, 7, 7});
    ASSERT_EQ(one.dimensions(), (Dimensions{15, 15, 15}));
    for (std::size_t i = 0; i < one.size(); ++i) ASSERT_EQ(one[i], 3.5f);

    Volume v = ramp(3, 2, 1);
    const Volume source = v;
    v.padReplicate({2, 1, 0});
    EXPECT_EQ(v(0, 0, 0), source(0, 0, 0));
    EXPECT_EQ(v(6, 3, 0), source(2, 1, 0));
    EXPECT_EQ(v(3, 2, 0), source(1, 1, 0));
}

TEST(Volume, TransposeXYSwapsAxesAndTwiceIsIdentity)
{
    const Volume v = ramp(5, 3, 2);
    const Volume t = v.transposeXY();
    EXPECT_EQ(t.dimensions(), (Dimensions{3, 5, 2}));
    EXPECT_EQ(t(2, 4, 1), v(4, 2, 1));
    const Volume back = t.transposeXY();
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(back[i], v[i]);
}

TEST(Volume, MoveStealsAndLeavesExtent)
{
    Volume v = ramp(2, 2, 2);
    const float* array = v.data();
    Volume moved(std::move(v));
    EXPECT_EQ(moved.data(), array);
    EXPECT_EQ(v.data(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(v.dimensions(), (Dimensions{2, 2, 2}));
}

TEST(Volume, CopiesAreDeep)
{
    Volume a = ramp(3, 3, 3);
    Volume b = a;
    b(1, 1, 1) = -7.0f;
    EXPECT_NE(a(1, 1, 1), -7.0f);
    Volume c(1, 1, 1);
    c = a;
    EXPECT_EQ(c.dimensions(), a.dimensions());
    EXPECT_EQ(c(2, 2, 2), a(2, 2, 2));
}

TEST(Volume, ElementwiseOperations)
{
    const Volume a = ramp(2, 2, 1);
    const Volume negated = -Volume(2, 2, 1, 0.0f);
    EXPECT_TRUE(std::signbit(negated[0]));
    const Volume sum = a + 1.0f;
    const Volume scaled = a * 2.0f;
    const Volume product = a * a;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(sum[i], a[i] + 1.0f);
        EXPECT_EQ(scaled[i], a[i] * 2.0f);
        EXPECT_EQ(product[i], a[i] * a[i]);
    }
}

TEST(Volume, OverflowingOrNegativeExtentFailsAsOutOfMemory)
{
    EXPECT_THROW(Volume(-1, 4, 4), std::bad_alloc);
    EXPECT_THROW(Volume(1 << 30, 1 << 30, 1 << 30), std::bad_alloc);
    EXPECT_THROW(Volume(65536, 65536, -2), std::bad_alloc);
}

TEST(Vector, CentredRampAndLinearSampling)
{
    const Vector even = centredRamp(4);
    EXPECT_EQ(even[0], -2.0f);
    EXPECT_EQ(even[3], 1.0f);
    const Vector odd = centredRamp(5);
    EXPECT_EQ(odd[0], -2.5f);
    EXPECT_EQ(odd[4], 1.5f);

    Vector v(3);
    v[0] = 2.0f;
    v[1] = 4.0f;
    v[2] = 8.0f;
    EXPECT_FLOAT_EQ(v.sampleLinear(0.5f), 3.0f);
    EXPECT_FLOAT_EQ(v.sampleLinear(-0.5f), 1.0f);
    EXPECT_FLOAT_EQ(v.sampleLinear(3.0f), 0.0f);
    EXPECT_EQ(v.max(), 8.0f);
    EXPECT_EQ(v.min(), 2.0f);
}

TEST(Matrix, ProductsAgreeWithBruteForce)
{
    Matrix left(3, 2);
    Matrix right(2, 3);
    for (int i = 0; i < 6; ++i) {
        left.data()[i] = static_cast<float>(i + 1);
        right.data()[i] = static_cast<float>(2 * i - 3);
    }
    const Matrix p = left * right;
    ASSERT_EQ(p.columns(), 2);
    ASSERT_EQ(p.rows(), 2);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            float expected = 0.0f;
            for (int k = 0; k < 3; ++k) expected += left(k, r) * right(c, k);
            EXPECT_EQ(p(c, r), expected);
        }
    Vector v(2);
    v[0] = 1.0f;
    v[1] = -2.0f;
    const Vector out = v * left;
    ASSERT_EQ(out.size(), 3);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(out[c], left(c, 0) - 2.0f * left(c, 1));
    const Matrix t = left.transpose();
    EXPECT_EQ(t(1, 2), left(2, 1));
}

TEST(Transform, ProductReturnsSecondTimesFirst)
{
    Transform scale;
    scale.m[0] = 2.0f;
    Transform shifted = preTranslate(Transform{}, {1.0f, 0.0f, 0.0f});
    // p = (1, 0, 0): product(a, b) = b * a applies b first.
    const Transform shiftThenScale = product(scale, shifted);
    EXPECT_EQ(1.0f * shiftThenScale.m[0] + shiftThenScale.m[12], 4.0f);
    const Transform scaleThenShift = product(shifted, scale);
    EXPECT_EQ(1.0f * scaleThenShift.m[0] + scaleThenShift.m[12], 3.0f);
}

TEST(Volume, SampleTrilinearIgnoresInvalidAndFarPositions)
{
    const Volume v = ramp(4, 3, 2);
    EXPECT_EQ(v.sampleTrilinear(std::nanf(""), 1, 1), 0.0f);
    EXPECT_EQ(v.sampleTrilinear(1, 3.0e9f, 1), 0.0f);
    EXPECT_EQ(v.sampleTrilinear(1, 1, -3.0e9f), 0.0f);
    EXPECT_FLOAT_EQ(v.sampleTrilinear(3.5f, 2, 1), 0.5f * v(3, 2, 1));
    const Vector line(3, 2.0f);
    EXPECT_EQ(line.sampleLinear(5.0e9f), 0.0f);
    EXPECT_EQ(line.sampleLinear(-5.0e9f), 0.0f);
}

TEST(Volume, ResizeCentredMatchesOffsetReferenceForOddDifferences)
{
    const Volume original = ramp(5, 4, 3);
    for (const Dimensions target : {Dimensions{2, 7, 3}, Dimensions{8, 1, 6}, Dimensions{4, 4, 2}}) {
        Volume v = original;
        v.resizeCentred(target);
        ASSERT_EQ(v.dimensions(), target);
        const int ox = (target.x - 5) / 2, oy = (target.y - 4) / 2, oz = (target.z - 3) / 2;
        for (int z = 0; z < target.z; ++z)
            for (int y = 0; y < target.y; ++y)
                for (int x = 0; x < target.x; ++x) {
                    const int sx = x - ox, sy = y - oy, sz = z - oz;
                    const bool inside = sx >= 0 && sx < 5 && sy >= 0 && sy < 4 && sz >= 0 && sz < 3;
                    ASSERT_EQ(v(x, y, z), inside ? original(sx, sy, sz) : 0.0f) << x << "," << y << "," << z;
                }
    }
}

TEST(Volume, MovedFromVolumeRegainsAnArrayWhenAssignedTo)
{
    Volume source = ramp(3, 2, 2);
    Volume taken(std::move(source));
    const Volume other = ramp(2, 3, 2);
    source = other;
    ASSERT_NE(source.data(), nullptr);
    EXPECT_EQ(source.dimensions(), other.dimensions());
    for (std::size_t i = 0; i < other.size(); ++i) EXPECT_EQ(source[i], other[i]);
    Volume empty(std::move(taken));
    const Volume copyOfMoved(taken);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(copyOfMoved.dimensions(), empty.dimensions());
}

TEST(Volume, PadReplicateMatchesClampedReference)
{
    const Volume original = ramp(4, 3, 2);
    Volume v = original;
    v.padReplicate({3, 1, 2});
    ASSERT_EQ(v.dimensions(), (Dimensions{10, 5, 6}));
    for (int z = 0; z < 6; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(v(x, y, z), original(std::clamp(x - 3, 0, 3), std::clamp(y - 1, 0, 2), std::clamp(z - 2, 0, 1)));
    Volume empty(0, 3, 3);
    empty.padReplicate({1, 1, 1});
    ASSERT_EQ(empty.dimensions(), (Dimensions{2, 5, 5}));
    for (std::size_t i = 0; i < empty.size(); ++i) EXPECT_EQ(empty[i], 0.0f);
}

TEST(Vector, ResampleAtOffsetsCentresOnTheOffsetCount)
{
    Vector v(4);
    for (int i = 0; i < 4; ++i) v[i] = static_cast<float>(10 * (i + 1));
    Vector offsets(2);
    offsets[0] = -1.0f;  // reads v at 0
    offsets[1] = 0.5f;   // reads v at 1.5
    const Vector r = v.resampleAtOffsets(offsets);
    EXPECT_EQ(r[0], 10.0f);
    EXPECT_EQ(r[1], 25.0f);
    EXPECT_THROW(Matrix(-2, -3), std::bad_alloc);
}

TEST(Transform, PreTranslateAndProductAgreeWithFullMatrixProducts)
{
    Transform a, b;
    for (int i = 0; i < 16; ++i) {
        a.m[i] = static_cast<float>(i % 5) - 1.5f;
        b.m[i] = static_cast<float>((3 * i) % 7) * 0.25f;
    }
    const Transform ba = product(a, b);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(ba.m[r * 4 + c], b.m[r * 4] * a.m[c] + b.m[r * 4 + 1] * a.m[4 + c] + b.m[r * 4 + 2] * a.m[8 + c] +
                                           b.m[r * 4 + 3] * a.m[12 + c]);
    const Transform shifted = preTranslate(a, {2.0f, -1.0f, 0.5f});
    Transform translation;
    translation.m[12] = 2.0f;
    translation.m[13] = -1.0f;
    translation.m[14] = 0.5f;
    const Transform expected = product(a, translation);
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(shifted.m[i], expected.m[i]);
}
