// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/distance.h"
#include "core/mdhslog.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "estimate/simplevdmestimate.h"
#include "phantom/phantom.h"
#include "support/assertionmessage.h"
#include "support/fftfixture.h"

namespace {

std::vector<std::string> logged;

void captureEntry(const char* text)
{
    logged.push_back(text);
}

// A smooth textured blob along every axis, peaking near `peak`.
Volume blob(Dimensions extent, float peak, float shiftY = 0.0f)
{
    Volume v(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x) {
                const double u = (x - 0.5 * (extent.x - 1)) / (0.35 * extent.x);
                const double w = (y - shiftY - 0.5 * (extent.y - 1)) / (0.3 * extent.y);
                const double t = (z - 0.5 * (extent.z - 1)) / (0.4 * extent.z);
                const double texture = 1.0 + 0.2 * std::sin(0.9 * (y - shiftY)) * std::cos(0.5 * x);
                v(x, y, z) = static_cast<float>(peak * std::exp(-(u * u + w * w + t * t)) * texture);
            }
    return v;
}

const Sigma3 kPreSmoothing{0.5, 4.0 / 3.0, 0.5};

// A phantom pair displaced by up to 3 voxels, with noise.
PhantomVolumes noisyPhantom(Dimensions extent)
{
    PhantomOptions options;
    options.extent = extent;
    options.peakDisplacement = 3.0;
    options.noise = 10.0;
    return makePhantom(options);
}

// Every case may smooth, so the FFT table is filled for each.
class SimpleVdmEstimate : public HostFftTest {};

} // namespace

TEST_F(SimpleVdmEstimate, ColumnAccessReadsAndWritesTheVoxelsAlongYAndRejectsBadIndices)
{
    Volume v(3, 4, 2);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
    const Vector column = getColumn(v, 2, 1);
    ASSERT_EQ(column.size(), 4);
    for (int y = 0; y < 4; ++y) EXPECT_EQ(column[y], v(2, y, 1));

    Vector fresh(4);
    for (int y = 0; y < 4; ++y) fresh[y] = -1.0f - y;
    const Volume before = v;
    setColumn(v, 1, 0, fresh);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(v(x, y, z), (x == 1 && z == 0) ? fresh[y] : before(x, y, z)) << x << y << z;

    const std::string outside = "assertion failure (src\\simplevdmestimate:30): row < vol.nx() && slice < vol.nz()";
    EXPECT_EQ(assertionMessage([&] { getColumn(v, 3, 0); }), outside);
    EXPECT_EQ(assertionMessage([&] { getColumn(v, 0, 2); }), outside);
    EXPECT_EQ(assertionMessage([&] { getColumn(v, -1, 0); }), outside);
    EXPECT_EQ(assertionMessage([&] { setColumn(v, 5, 0, Vector(3)); }),
              "assertion failure (src\\simplevdmestimate:41): vec.size() == vol.ny()");
    EXPECT_EQ(assertionMessage([&] { setColumn(v, 0, -2, fresh); }),
              "assertion failure (src\\simplevdmestimate:42): row < vol.nx() && slice < vol.nz()");
}

TEST_F(SimpleVdmEstimate, Inverse2x2UndoesTheMatrixAndRejectsOtherShapes)
{
    Matrix m(2, 2);
    m(0, 0) = 2.0f; // first row (2, 1), second row (1, 1): determinant 1
    m(1, 0) = 1.0f;
    m(0, 1) = 1.0f;
    m(1, 1) = 1.0f;
    const Matrix exact = inverse2x2(m);
    EXPECT_EQ(exact(0, 0), 1.0f);
    EXPECT_EQ(exact(1, 0), -1.0f);
    EXPECT_EQ(exact(0, 1), -1.0f);
    EXPECT_EQ(exact(1, 1), 2.0f);

    m(0, 0) = 3.5f;
    m(1, 0) = -1.25f;
    m(0, 1) = 0.75f;
    m(1, 1) = 2.0f;
    const Matrix inverse = inverse2x2(m);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 2; ++k) sum += static_cast<double>(m(k, r)) * inverse(c, k);
            EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-6);
        }
    EXPECT_EQ(assertionMessage([] { inverse2x2(Matrix(2, 3)); }),
              "assertion failure (src\\simplevdmestimate:50): mat.columns() == 2 && mat.rows() == 2");
}

TEST_F(SimpleVdmEstimate, IdenticalInputsGiveAZeroMapAndThreeLogEntries)
{
    const Volume v = blob({20, 24, 10}, 600.0f);
    logged.clear();
    Volume vdm;
    {
        MDHSLog log(captureEntry);
        vdm = estimateColumnwiseVdm(v, v, kPreSmoothing, 0, log);
        ASSERT_EQ(logged.size(), 3u);
    }
    EXPECT_EQ(logged[0], "Column-wise optimisation, sigma: x: 0.5, y: 1.33333, sigma.z: 0.5");
    EXPECT_EQ(logged[1], "SSD of original AP and PA volumes: 0");
    EXPECT_EQ(logged[2], "SSD after applying column wise VDM: 0");
    ASSERT_EQ(vdm.dimensions(), v.dimensions());
    for (std::size_t i = 0; i < vdm.size(); ++i) ASSERT_EQ(vdm[i], 0.0f) << i;
}

TEST_F(SimpleVdmEstimate, DifferentExtentsAreRejectedBeforeAnyLogEntry)
{
    logged.clear();
    MDHSLog log(captureEntry);
    EXPECT_EQ(assertionMessage(
                  [&] { estimateColumnwiseVdm(Volume(8, 8, 4, 1.0f), Volume(8, 8, 5, 1.0f), kPreSmoothing, 0, log); }),
              "assertion failure (src\\simplevdmestimate:71): vol_ap.dimensions() == vol_pa.dimensions()");
    EXPECT_TRUE(logged.empty());
    EXPECT_THROW(estimateColumnwiseVdm(Volume(0, 8, 4), Volume(0, 8, 4), kPreSmoothing, 0, log), std::invalid_argument);
}

// The fit needs both smoothed columns strictly above 100: a constant first volume whose
// smoothed copy peaks at exactly 100 fits nothing, a slightly brighter one fits columns.
// Which constant smooths to exactly 100 depends on the FFT's rounding, so it is searched
// for over a few extents, one float step at a time.
TEST_F(SimpleVdmEstimate, ASmoothedColumnMaximumOfExactly100IsNotFitted)
{
    const auto smoothedMaximum = [](Dimensions extent, float value) {
        const Volume s = smoothedCopy(Volume(extent, value), kPreSmoothing, {0, 0, 0});
        float largest = -std::numeric_limits<float>::infinity();
        for (std::size_t i = 0; i < s.size(); ++i) largest = std::max(largest, s[i]);
        return largest;
    };
    Dimensions extent{};
    float value = 0.0f;
    for (const Dimensions candidate : {Dimensions{14, 12, 4}, Dimensions{10, 16, 6}, Dimensions{12, 16, 5},
                                       Dimensions{10, 20, 4}, Dimensions{14, 16, 4}}) {
        float c = 100.0f / smoothedMaximum(candidate, 1.0f);
        for (int step = 0; step < 60; ++step) c = std::nextafter(c, 0.0f);
        for (int step = 0; step < 120 && value == 0.0f; ++step, c = std::nextafter(c, 1000.0f))
            if (smoothedMaximum(candidate, c) == 100.0f) {
                extent = candidate;
                value = c;
            }
        if (value != 0.0f) break;
    }
    ASSERT_NE(value, 0.0f) << "no constant found whose smoothed maximum is exactly 100";

    const Volume second = blob(extent, 800.0f, 1.5f);
    MDHSLog log(captureEntry);
    const Volume atThreshold = estimateColumnwiseVdm(Volume(extent, value), second, kPreSmoothing, 0, log);
    for (std::size_t i = 0; i < atThreshold.size(); ++i) ASSERT_EQ(atThreshold[i], 0.0f) << i;

    float above = std::nextafter(value, 1000.0f);
    while (!(smoothedMaximum(extent, above) > 100.0f)) above = std::nextafter(above, 1000.0f);
    const Volume overThreshold = estimateColumnwiseVdm(Volume(extent, above), second, kPreSmoothing, 0, log);
    std::size_t fitted = 0;
    for (std::size_t i = 0; i < overThreshold.size(); ++i) fitted += overThreshold[i] != 0.0f;
    EXPECT_GT(fitted, 0u);
}

namespace {

// The whole estimate written with the vector and matrix operations of the volume module,
// step by step as the method states it: the reference for bit-for-bit comparison.
Volume referenceColumnwise(const Volume& ap, const Volume& pa, const Sigma3& sigma)
{
    const Volume apSmooth = smoothedCopy(ap, sigma, {0, 0, 0});
    const Volume paSmooth = smoothedCopy(pa, sigma, {0, 0, 0});
    const Volume apDerivative = smoothedCopy(ap, sigma, {0, 1, 0});
    const Volume paDerivative = smoothedCopy(pa, sigma, {0, 1, 0});
    const int nx = ap.nx(), ny = ap.ny(), nz = ap.nz();
    Matrix stretch(nx, nz, 1.0f), shift(nx, nz, 0.0f), mask(nx, nz, 1.0f);
    Volume vdm(ap.dimensions(), 0.0f);
    const Vector r = centredRamp(ny);
    const Matrix kernel = gaussianKernel2D(5, 5, {1.0, 1.0}, {0, 0}, false);
    for (int pass = 0; pass < 10; ++pass) {
        if (pass > 0) {
            maskedConvolve2D(stretch, kernel, mask, true);
            maskedConvolve2D(shift, kernel, mask, true);
        }
        for (int z = 0; z < nz; ++z)
            for (int x = 0; x < nx; ++x) {
                mask(x, z) = 0.0f;
                const Vector apColumn = getColumn(apSmooth, x, z), paColumn = getColumn(paSmooth, x, z);
                if (!(apColumn.max() > 100.0f && paColumn.max() > 100.0f)) continue;
                mask(x, z) = 1.0f;
                float a = stretch(x, z), b = shift(x, z);
                double best = std::numeric_limits<double>::max(), d = 0.0;
                Vector t(2, 0.0f);
                for (int iteration = 0; iteration < 10; ++iteration) {
                    const Vector apAt = r.affine(a, b), paAt = r.affine(1.0f / a, -b);
                    const Vector A = apColumn.resampleAtOffsets(apAt) * a;
                    const Vector P = paColumn.resampleAtOffsets(paAt) * (1.0f / a);
                    d = meanSquaredDifferenceNonZero(A, P);
                    if ((d - best) * 100.0 / best > -0.01) break;
                    const Vector gA = getColumn(apDerivative, x, z).resampleAtOffsets(apAt);
                    const Vector gP = getColumn(paDerivative, x, z).resampleAtOffsets(paAt);
                    best = d;
                    Matrix K(ny, 2);
                    for (int i = 0; i < ny; ++i) {
                        K(i, 0) = (a * gA[i] + gP[i] / (a * a * a)) * r[i];
                        K(i, 1) = a * gA[i] + gP[i] / a;
                    }
                    t = (A - P) * (K.transpose() * (-inverse2x2(K * K.transpose())));
                    a += t[0];
                    b += t[1];
                }
                if (d > best) {
                    a -= t[0];
                    b -= t[1];
                }
                stretch(x, z) = a;
                shift(x, z) = b;
                setColumn(vdm, x, z, (r.affine(a, b) - r.affine(1.0f / a, -b)) / 2.0f);
            }
    }
    return vdm;
}

} // namespace

TEST_F(SimpleVdmEstimate, MatchesTheVectorAndMatrixReferenceBitForBit)
{
    const PhantomVolumes phantom = noisyPhantom({32, 36, 10});
    MDHSLog log(captureEntry);
    const Volume vdm = estimateColumnwiseVdm(phantom.first[0], phantom.second[0], kPreSmoothing, 0, log);
    const Volume expected = referenceColumnwise(phantom.first[0], phantom.second[0], kPreSmoothing);
    ASSERT_EQ(vdm.dimensions(), expected.dimensions());
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < vdm.size(); ++i) {
        ASSERT_EQ(vdm[i], expected[i]) << "voxel " << i;
        nonZero += vdm[i] != 0.0f;
    }
    EXPECT_GT(nonZero, vdm.size() / 4);
}

// On a phantom with a known map, the fast estimate (column-wise, then the usual 1.5-voxel
// smoothing) brings the corrected pair much closer and follows the true map.
TEST_F(SimpleVdmEstimate, RecoversThePhantomMapAndAlignsTheCorrectedPair)
{
    PhantomOptions options;
    options.extent = {48, 48, 24};
    options.peakDisplacement = 3.0;
    const PhantomVolumes phantom = makePhantom(options);
    const Volume& first = phantom.first[0];
    const Volume& second = phantom.second[0];

    MDHSLog log(captureEntry);
    Volume vdm = estimateColumnwiseVdm(first, second, kPreSmoothing, 0, log);
    smoothGaussian(vdm, {1.5, 1.5, 1.5}, {0, 0, 0}, true);

    Volume firstCorrected(first.dimensions());
    Volume secondCorrected(first.dimensions());
    applyVdmCubic(firstCorrected, first, vdm, false);
    applyVdmCubic(secondCorrected, second, vdm, true);
    const double before = meanSsd(first, second);
    const double after = meanSsd(firstCorrected, secondCorrected);
    // With the true map the pair still differs by the stretch factors 1/(1 +- d').
    applyVdmCubic(firstCorrected, first, phantom.displacement, false);
    applyVdmCubic(secondCorrected, second, phantom.displacement, true);
    const double floor = meanSsd(firstCorrected, secondCorrected);

    const MapAgreement map = compareWithTrueMap(phantom, vdm);
    std::printf("fast estimate on 48x48x24: mean SSD %.1f -> %.1f (true map %.1f), map correlation %.3f, RMS error "
                "%.3f voxels (true map RMS %.3f)\n",
                before, after, floor, map.correlation, map.rmsError, map.rmsTrue);
    EXPECT_LT(after, 0.4 * before);
    EXPECT_LT(after, 1.3 * floor);
    EXPECT_GT(map.correlation, 0.8);
    EXPECT_LT(map.rmsError, 0.5 * map.rmsTrue);
}

// The fast estimate's map: its smoothing kernel is transformed while the columns are fitted
// on the other threads, and the map is the column-wise map smoothed afterwards, bit for
// bit, on one thread or several, with the same log.
TEST_F(SimpleVdmEstimate, SmoothedMapIsTheColumnwiseMapSmoothedOnAnyThreadCount)
{
    const PhantomVolumes phantom = noisyPhantom({30, 34, 9});
    logged.clear();
    MDHSLog log(captureEntry);
    Volume expected = estimateColumnwiseVdm(phantom.first[0], phantom.second[0], kPreSmoothing, 0, log);
    smoothGaussian(expected, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    const std::vector<std::string> expectedLog = logged;
    for (const int threads : {1, 2, 3}) {
        const WorkerThreads workers(threads);
        logged.clear();
        const Volume vdm = smoothedColumnwiseVdm(phantom.first[0], phantom.second[0], kPreSmoothing, 0, log);
        ASSERT_EQ(vdm.dimensions(), expected.dimensions());
        EXPECT_EQ(std::memcmp(vdm.data(), expected.data(), expected.size() * sizeof(float)), 0) << threads;
        EXPECT_EQ(logged, expectedLog) << threads;
    }
}
