// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstring>
#include <random>

#include "core/volumegauss.h"
#include "support/assertionmessage.h"
#include "support/fftfixture.h"

namespace {

Volume randomVolume(Dimensions extent, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-5.0f, 20.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

int wrap(int i, int n)
{
    return ((i % n) + n) % n;
}

// out(p) = sum over q of v(q) * k(p - q), indices taken modulo the extent.
Volume circularConvolution(const Volume& v, const Volume& k)
{
    const Dimensions e = v.dimensions();
    Volume out(e, 0.0f);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                double sum = 0.0;
                for (int c = 0; c < e.z; ++c)
                    for (int b = 0; b < e.y; ++b)
                        for (int a = 0; a < e.x; ++a)
                            sum += static_cast<double>(v(a, b, c)) * k(wrap(x - a, e.x), wrap(y - b, e.y), wrap(z - c, e.z));
                out(x, y, z) = static_cast<float>(sum);
            }
    return out;
}

double gaussianValue(int t, double sigma, int kind)
{
    const double g = std::exp(-t * t / (2 * sigma * sigma)) / (std::sqrt(2 * std::numbers::pi) * sigma);
    if (kind == 1) return g * -t / (sigma * sigma);
    if (kind == 2) return g * (t * t - sigma * sigma) / std::pow(sigma, 4);
    return g;
}

} // namespace

TEST(GaussianKernel, OneDimensionalKernelsCarryTheAnalyticNormalisation)
{
    for (const int kind : {0, 1, 2, 5}) {
        const std::vector<double> k = gaussianKernel1D(5, 1.3, kind);
        ASSERT_EQ(k.size(), 5u);
        for (int i = 0; i < 5; ++i) EXPECT_NEAR(k[i], gaussianValue(i - 2, 1.3, kind == 5 ? 0 : kind), 1e-15);
    }
    EXPECT_DOUBLE_EQ(gaussianKernel1D(5, 1.0, 0)[2], 1.0 / std::sqrt(2 * std::numbers::pi));
    EXPECT_GT(gaussianKernel1D(5, 1.0, 1)[1], 0.0);
    EXPECT_EQ(gaussianKernel1D(5, 1.0, 1)[2], 0.0);
    const std::vector<double> even = gaussianKernel1D(4, 0.8, 0);
    EXPECT_GT(even[2], even[1]);
    EXPECT_EQ(even[1], even[3]);
    EXPECT_TRUE(gaussianKernel1D(0, 1.0, 0).empty());
}

TEST(GaussianKernel, TruncatesAtSixSigmaAndWrapsTheCentreToZero)
{
    const Volume plain = gaussianKernel3D({64, 13, 1}, {1.0, 1.0, 1.0}, {0, 0, 0}, false);
    // x: centre 32, offsets -7..6 kept; y: 13 voxels are not above 6 sigma + 1, all kept.
    for (int x = 0; x < 64; ++x) EXPECT_EQ(plain(x, 6, 0) != 0.0f, x >= 25 && x <= 38) << "x " << x;
    for (int y = 0; y < 13; ++y) EXPECT_NE(plain(32, y, 0), 0.0f);
    EXPECT_EQ(plain(31, 2, 0), static_cast<float>(gaussianKernel1D(64, 1.0, 0)[31] * gaussianKernel1D(13, 1.0, 0)[2] *
                                                  gaussianKernel1D(1, 1.0, 0)[0]));

    const Volume wrapped = gaussianKernel3D({64, 13, 1}, {1.0, 1.0, 1.0}, {0, 0, 0}, true);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(wrapped(wrap(x + 32, 64), wrap(y + 7, 13), 0), plain(x, y, 0)) << x << "," << y;
    EXPECT_EQ(wrapped(0, 0, 0), plain(32, 6, 0));

    const Matrix flat = gaussianKernel2D(9, 20, {0.5, 1.0}, {1, 0}, false);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 9; ++c) {
            const bool kept = r >= 3 && r <= 16;
            const float expected = static_cast<float>(gaussianKernel1D(9, 0.5, 1)[c] * gaussianKernel1D(20, 1.0, 0)[r]);
            EXPECT_EQ(flat(c, r), kept ? expected : 0.0f) << c << "," << r;
        }
}

class FftConvolve : public HostFftTest {};

TEST_F(FftConvolve, UnitImpulseLeavesTheVolumeUnchanged)
{
    const Volume original = randomVolume({10, 10, 12}, 1);
    Volume v = original;
    Volume impulse(v.dimensions(), 0.0f);
    impulse(0, 0, 0) = 1.0f;
    fftConvolve(v, impulse);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], original[i], 1e-4f);
}

TEST_F(FftConvolve, AgreesWithDirectCircularConvolutionForOddAndEvenExtents)
{
    for (const Dimensions e : {Dimensions{10, 10, 12}, Dimensions{10, 12, 10}, Dimensions{7, 5, 3}}) {
        const Volume original = randomVolume(e, 2);
        const Volume kernel = randomVolume(e, 3);
        Volume v = original;
        fftConvolve(v, kernel);
        const Volume expected = circularConvolution(original, kernel);
        for (std::size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], expected[i], 2e-3f * std::fabs(expected[i]) + 0.05f);
    }
}

TEST_F(FftConvolve, MismatchedExtentsAndMissingFftAreReportedNotCrashed)
{
    Volume v(10, 10, 12, 1.0f);
    EXPECT_EQ(assertionMessage([&] { fftConvolve(v, Volume(10, 12, 10, 1.0f)); }),
              "assertion failure (src\\volumegauss:195): input.dimensions() == kernel.dimensions()");
    fftApi = FftApi{};
    EXPECT_THROW(fftConvolve(v, Volume(10, 10, 12, 1.0f)), std::runtime_error);
}

class SmoothGaussian : public HostFftTest {};

TEST_F(SmoothGaussian, PaddedSmoothingIsConvolutionWithReplicatedEdges)
{
    const Dimensions e{9, 8, 6};
    const Volume original = randomVolume(e, 4);
    Volume v = original;
    smoothGaussian(v, {1.0, 0.7, 1.1}, {0, 1, 0}, true);
    ASSERT_EQ(v.dimensions(), e);
    const std::vector<double> kx = gaussianKernel1D(23, 1.0, 0), ky = gaussianKernel1D(22, 0.7, 1),
                              kz = gaussianKernel1D(20, 1.1, 0);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                double sum = 0.0;
                // The truncation keeps offsets -6..6 along x, -5..4 along y, -7..6 along z.
                for (int c = -7; c <= 6; ++c)
                    for (int b = -5; b <= 4; ++b)
                        for (int a = -6; a <= 6; ++a)
                            sum += kx[11 + a] * ky[11 + b] * kz[10 + c] *
                                   original(std::clamp(x - a, 0, e.x - 1), std::clamp(y - b, 0, e.y - 1),
                                            std::clamp(z - c, 0, e.z - 1));
                ASSERT_NEAR(v(x, y, z), sum, 1e-3) << x << "," << y << "," << z;
            }
}

TEST_F(SmoothGaussian, ConstantVolumeScalesByTheKernelSum)
{
    Volume v(20, 18, 16, 3.0f);
    smoothGaussian(v, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    const Volume kernel = gaussianKernel3D({34, 32, 30}, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    double kernelSum = 0.0;
    for (std::size_t i = 0; i < kernel.size(); ++i) kernelSum += kernel[i];
    EXPECT_NE(kernelSum, 1.0);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], 3.0 * kernelSum, 1e-4);
}

TEST_F(SmoothGaussian, SmoothedCopyLeavesTheSourceAndMatchesPaddedSmoothing)
{
    const Volume source = randomVolume({12, 10, 8}, 5);
    const Volume before = source;
    const Volume copy = smoothedCopy(source, {1.0, 2.0, 1.0}, {0, 0, 2});
    Volume direct = source;
    smoothGaussian(direct, {1.0, 2.0, 1.0}, {0, 0, 2}, true);
    EXPECT_EQ(std::memcmp(copy.data(), direct.data(), copy.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(source.data(), before.data(), source.size() * sizeof(float)), 0);
}

TEST_F(SmoothGaussian, SharedSpectraGiveEverySmoothedCopyBitForBit)
{
    const Volume first = randomVolume({13, 10, 9}, 6);
    const Volume second = randomVolume({13, 10, 9}, 7);
    const Sigma3 sigma{0.5, 1.5, 0.5};
    const std::vector<KernelKinds> kinds{{1, 1, 1}, {0, 1, 0}};
    const std::vector<Volume> copies = smoothedCopies({&first, &second}, sigma, kinds);
    ASSERT_EQ(copies.size(), 4u);
    const Volume* sources[] = {&first, &second};
    for (std::size_t n = 0; n < copies.size(); ++n) {
        const Volume expected = smoothedCopy(*sources[n / 2], sigma, kinds[n % 2]);
        ASSERT_EQ(copies[n].dimensions(), expected.dimensions());
        EXPECT_EQ(std::memcmp(copies[n].data(), expected.data(), expected.size() * sizeof(float)), 0) << "copy " << n;
    }
    const Volume other = randomVolume({13, 10, 8}, 8);
    EXPECT_THROW(smoothedCopies({&first, &other}, sigma, kinds), std::invalid_argument);
}

// A kernel's spectrum made once smooths any volume of its extent as the one-call form
// does, which pads, convolves through fftConvolve and crops; unpadded too. It refuses a
// volume of another extent, and an empty extent needs no transform.
TEST_F(SmoothGaussian, AKernelSpectrumMadeAheadSmoothsEveryVolumeOfItsExtentBitForBit)
{
    const Dimensions e{11, 9, 7};
    const Sigma3 sigma{0.5, 1.25, 0.75};
    for (const bool pad : {true, false}) {
        const GaussianKernelSpectrum kernel = gaussianKernelSpectrum(e, sigma, {0, 1, 0}, pad);
        for (const unsigned seed : {9u, 10u}) {
            Volume expected = randomVolume(e, seed);
            if (pad) expected.padReplicate({7, 7, 7});
            fftConvolve(expected, gaussianKernel3D(expected.dimensions(), sigma, {0, 1, 0}, true));
            if (pad) expected.resizeCentred(e);
            Volume ahead = randomVolume(e, seed);
            smoothGaussian(ahead, kernel);
            Volume oneCall = randomVolume(e, seed);
            smoothGaussian(oneCall, sigma, {0, 1, 0}, pad);
            ASSERT_EQ(ahead.dimensions(), e);
            EXPECT_EQ(std::memcmp(ahead.data(), expected.data(), expected.size() * sizeof(float)), 0) << pad;
            EXPECT_EQ(std::memcmp(oneCall.data(), expected.data(), expected.size() * sizeof(float)), 0) << pad;
        }
        Volume other = randomVolume({11, 9, 8}, 11);
        EXPECT_THROW(smoothGaussian(other, kernel), std::invalid_argument);
    }
    fftApi = FftApi{};
    Volume empty(Dimensions{0, 9, 7});
    smoothGaussian(empty, gaussianKernelSpectrum(empty.dimensions(), sigma, {0, 0, 0}, true));
    EXPECT_EQ(empty.dimensions(), (Dimensions{0, 9, 7}));
}
