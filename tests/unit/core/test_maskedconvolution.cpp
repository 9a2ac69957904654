// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "core/volumegauss.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed, float zeroShare)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-3.0f, 9.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = unit(generator) < zeroShare ? 0.0f : value(generator);
    return v;
}

Matrix slice(const Volume& v)
{
    Matrix m(v.nx(), v.ny());
    std::copy_n(v.data(), static_cast<std::size_t>(v.nx()) * v.ny(), m.data());
    return m;
}

// One output position at a time over the clipped window, outer axis first.
Volume maskedReference(const Volume& data, const Volume& kernel, const Volume& mask, bool normalise, bool keepInput)
{
    const Dimensions e = data.dimensions(), k = kernel.dimensions();
    Volume out(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                float value = 0.0f, sum = 0.0f;
                bool counted = false;
                for (int c = 0; c < k.z; ++c)
                    for (int b = 0; b < k.y; ++b)
                        for (int a = 0; a < k.x; ++a) {
                            const int ix = x + a - k.x / 2, iy = y + b - k.y / 2, iz = z + c - k.z / 2;
                            if (ix < 0 || ix >= e.x || iy < 0 || iy >= e.y || iz < 0 || iz >= e.z) continue;
                            const float m = mask(ix, iy, iz);
                            if (m == 0.0f) continue;
                            counted = true;
                            const float w = m * kernel(a, b, c);
                            value += w * data(ix, iy, iz);
                            if (normalise) sum += w;
                        }
                if (normalise && sum > 0.0f) value = value / sum;
                if (keepInput && !counted) value = data(x, y, z);
                out(x, y, z) = value;
            }
    return out;
}

bool sameBits(const float* a, const float* b, std::size_t n)
{
    return std::memcmp(a, b, n * sizeof(float)) == 0;
}

} // namespace

TEST(MaskedConvolution, ThreeDimensionalFormMatchesPerPositionReferenceBitForBit)
{
    const Dimensions e{13, 9, 6};
    Volume data = randomVolume(e, 1, 0.0f);
    data(4, 4, 2) = std::nanf("");  // masked out below, must not leak
    Volume mask = randomVolume(e, 2, 0.4f);
    mask(4, 4, 2) = 0.0f;
    mask(7, 1, 3) = std::nanf("");
    for (const Dimensions k : {Dimensions{5, 5, 5}, Dimensions{4, 3, 2}, Dimensions{15, 1, 7}})
        for (const bool normalise : {true, false}) {
            const Volume kernel = randomVolume(k, 3, 0.1f);
            Volume result = data;
            maskedConvolve3D(result, kernel, mask, normalise);
            const Volume expected = maskedReference(data, kernel, mask, normalise, false);
            EXPECT_TRUE(sameBits(result.data(), expected.data(), result.size()))
                << "kernel " << k.x << "x" << k.y << "x" << k.z << " normalise " << normalise;
        }
}

TEST(MaskedConvolution, TwoDimensionalFormKeepsInputWhereNothingCounts)
{
    const Dimensions e{11, 8, 1};
    const Volume data = randomVolume(e, 4, 0.0f);
    Volume mask = randomVolume(e, 5, 0.5f);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) mask(x, y, 0) = 0.0f;  // a masked-out corner wider than the kernel
    const Volume kernel = randomVolume({3, 3, 1}, 6, 0.0f);
    for (const bool normalise : {true, false}) {
        Matrix result = slice(data);
        maskedConvolve2D(result, slice(kernel), slice(mask), normalise);
        const Volume expected = maskedReference(data, kernel, mask, normalise, true);
        EXPECT_TRUE(sameBits(result.data(), expected.data(), data.size())) << "normalise " << normalise;
        EXPECT_EQ(result(0, 0), data(0, 0, 0));
    }
}

TEST(MaskedConvolution, ZeroMaskKeepsInputIn2DAndGivesZeroIn3D)
{
    const Volume data = randomVolume({6, 5, 4}, 7, 0.0f);
    const Volume zero(data.dimensions(), 0.0f);
    const Volume kernel = gaussianKernel3D({3, 3, 3}, {1.0, 1.0, 1.0}, {0, 0, 0}, false);
    Volume result = data;
    maskedConvolve3D(result, kernel, zero, true);
    for (std::size_t i = 0; i < result.size(); ++i) EXPECT_EQ(result[i], 0.0f);

    Matrix flat = slice(data);
    maskedConvolve2D(flat, gaussianKernel2D(3, 3, {1.0, 1.0}, {0, 0}, false), Matrix(6, 5, 0.0f), true);
    EXPECT_TRUE(sameBits(flat.data(), data.data(), 30));
}

TEST(MaskedConvolution, FullMaskNormalisedKeepsConstantsUpToTheBorders)
{
    const Volume constant(7, 6, 5, 2.5f);
    Volume result = constant;
    maskedConvolve3D(result, gaussianKernel3D({5, 5, 5}, {1.2, 1.2, 1.2}, {0, 0, 0}, false), Volume(7, 6, 5, 1.0f), true);
    for (std::size_t i = 0; i < result.size(); ++i) EXPECT_NEAR(result[i], 2.5f, 1e-5f);

    // A 1 x 1 x 1 kernel of value 1 keeps masked-in voxels and zeroes the rest.
    const Volume data = randomVolume({5, 4, 3}, 8, 0.0f);
    Volume mask = randomVolume({5, 4, 3}, 9, 0.5f);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = mask[i] != 0.0f ? 1.0f : 0.0f;
    Volume point = data;
    maskedConvolve3D(point, Volume(1, 1, 1, 1.0f), mask, true);
    for (std::size_t i = 0; i < data.size(); ++i) EXPECT_EQ(point[i], mask[i] != 0.0f ? data[i] : 0.0f);
}

// Axis by axis, the normalised Gaussian smoothing gives the three-dimensional kernel's result
// up to rounding, for broad and narrow kernels, kernels longer than the volume along an
// axis, voxels whose window holds no weight (0 in both) and a value not finite where the
// mask is 0.
TEST(MaskedConvolution, SeparableGaussianSmoothingMatchesTheThreeDimensionalKernel)
{
    const Dimensions e{13, 11, 10};
    Volume data = randomVolume(e, 10, 0.0f);
    Volume mask = randomVolume(e, 11, 0.3f);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = std::fabs(mask[i]);
    data(9, 6, 7) = std::nanf("");  // masked out, must not leak
    mask(9, 6, 7) = 0.0f;
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 5; ++x) mask(x, y, z) = 0.0f;  // beyond every window of voxel (0, 0, 0)
    for (const auto& [extent, sigma] : {std::pair{Dimensions{9, 9, 9}, Sigma3{1.0, 2.0, 0.7}},
                                        std::pair{Dimensions{9, 9, 9}, Sigma3{10.0, 8.0, 12.0}},
                                        std::pair{Dimensions{5, 15, 3}, Sigma3{0.8, 3.0, 1.5}}}) {
        Volume expected = data;
        maskedConvolve3D(expected, gaussianKernel3D(extent, sigma, {0, 0, 0}, false), mask, true);
        Volume result = data;
        maskedSmoothSeparable(result, extent, sigma, mask);
        for (std::size_t i = 0; i < data.size(); ++i)
            ASSERT_NEAR(result[i], expected[i], 2e-5f * (1.0f + std::fabs(expected[i])))
                << "voxel " << i << ", kernel " << extent.x << "x" << extent.y << "x" << extent.z;
        EXPECT_EQ(result(0, 0, 0), 0.0f);
        EXPECT_EQ(expected(0, 0, 0), 0.0f);
    }
}
