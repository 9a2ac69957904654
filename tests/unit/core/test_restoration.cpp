// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/restoration.h"
#include "core/vdm.h"
#include "support/assertionmessage.h"
#include "support/restorationmodel.h"

namespace {

// The spline's prefilter (1/6, 4/6, 1/6), zero beyond the line.
Matrix2 prefilter(int n)
{
    Matrix2 p = zeros(n);
    for (int i = 0; i < n; ++i) {
        p[i][i] = 4.0 / 6.0;
        if (i > 0) p[i][i - 1] = 1.0 / 6.0;
        if (i + 1 < n) p[i][i + 1] = 1.0 / 6.0;
    }
    return p;
}

Matrix2 multiply(const Matrix2& a, const Matrix2& b, bool transposeB = false)
{
    const std::size_t n = a.size();
    Matrix2 c = zeros(static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k) c[i][j] += a[i][k] * (transposeB ? b[j][k] : b[k][j]);
    return c;
}

std::vector<double> times(const Matrix2& a, const std::vector<double>& v)
{
    std::vector<double> out(a.size(), 0.0);
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t k = 0; k < v.size(); ++k) out[i] += a[i][k] * v[k];
    return out;
}

// Gaussian elimination with partial pivoting.
std::vector<double> solveDense(Matrix2 a, std::vector<double> b)
{
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double factor = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k) a[r][k] -= factor * a[c][k];
            b[r] -= factor * b[c];
        }
    }
    std::vector<double> x(n);
    for (std::size_t i = n; i-- > 0;) {
        double sum = b[i];
        for (std::size_t k = i + 1; k < n; ++k) sum -= a[i][k] * x[k];
        x[i] = sum / a[i][i];
    }
    return x;
}

std::vector<double> column(const Volume& v, int x, int z)
{
    std::vector<double> line(static_cast<std::size_t>(v.ny()));
    for (int y = 0; y < v.ny(); ++y) line[y] = v(x, y, z);
    return line;
}

// Brute force: f minimising sum_s |P (S_s^T f - y_s)|^2 + smoothness |D f|^2, from the
// dense normal equations, clipped at 0.
Volume denseRestoration(const Volume& plus, const Volume& minus, const Volume& vdm, double smoothness)
{
    const int n = vdm.ny();
    const Matrix2 p = prefilter(n);
    const Matrix2 pp = multiply(p, p);
    const std::vector<Matrix2> operators[2] = {undistortionMatrices(vdm, false), undistortionMatrices(vdm, true)};
    Volume out(vdm.dimensions());
    for (int z = 0; z < vdm.nz(); ++z)
        for (int x = 0; x < vdm.nx(); ++x) {
            Matrix2 normal = zeros(n);
            std::vector<double> rhs(static_cast<std::size_t>(n), 0.0);
            for (int s = 0; s < 2; ++s) {
                const Matrix2& sampling = operators[s][static_cast<std::size_t>(z * vdm.nx() + x)];
                const Matrix2 weighted = multiply(sampling, pp);          // S P P
                const Matrix2 term = multiply(weighted, sampling, true);  // S P P S^T
                const std::vector<double> b = times(weighted, column(s == 0 ? plus : minus, x, z));
                for (int i = 0; i < n; ++i) {
                    rhs[i] += b[i];
                    for (int j = 0; j < n; ++j) normal[i][j] += term[i][j];
                }
            }
            for (int i = 0; i + 1 < n; ++i) {
                normal[i][i] += smoothness;
                normal[i + 1][i + 1] += smoothness;
                normal[i][i + 1] -= smoothness;
                normal[i + 1][i] -= smoothness;
            }
            const std::vector<double> f = solveDense(normal, rhs);
            for (int y = 0; y < n; ++y) out(x, y, z) = static_cast<float>(std::max(f[y], 0.0));
        }
    return out;
}

// Maps with a different amplitude per line: slopes from mild to beyond 1 (a fold).
Volume waveMap(Dimensions extent, const std::vector<float>& amplitudes)
{
    Volume vdm(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int x = 0; x < extent.x; ++x) {
            const float amplitude = amplitudes[static_cast<std::size_t>(z * extent.x + x) % amplitudes.size()];
            for (int y = 0; y < extent.y; ++y)
                vdm(x, y, z) = amplitude * std::sin(6.2831853f * static_cast<float>(y) / static_cast<float>(extent.y) +
                                                    0.7f * static_cast<float>(x + z));
        }
    return vdm;
}

Volume randomCopy(Dimensions extent, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-20.0f, 200.0f);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

// Fine detail along y on a positive background.
Volume detailedObject(Dimensions extent)
{
    Volume f(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x)
                f(x, y, z) = 100.0f + 40.0f * std::sin(2.0f * static_cast<float>(y) + static_cast<float>(x));
    return f;
}

// A map that compresses the plus copy by 60 % (and stretches the minus copy) in the
// middle rows: slope -0.6 there, 0 elsewhere.
Volume compressingMap(Dimensions extent)
{
    Volume vdm(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int x = 0; x < extent.x; ++x) {
            float d = 0.0f;
            for (int y = 0; y < extent.y; ++y) {
                vdm(x, y, z) = d;
                if (y >= extent.y / 4 && y < 3 * extent.y / 4) d -= 0.6f;
            }
            // Centred, so that neither copy leaves the field of view.
            const float shift = vdm(x, extent.y / 2, z);
            for (int y = 0; y < extent.y; ++y) vdm(x, y, z) -= shift;
        }
    return vdm;
}

float maxError(const Volume& a, const Volume& b, int firstRow, int endRow)
{
    float worst = 0.0f;
    for (int z = 0; z < a.nz(); ++z)
        for (int y = firstRow; y < endRow; ++y)
            for (int x = 0; x < a.nx(); ++x) worst = std::max(worst, std::fabs(a(x, y, z) - b(x, y, z)));
    return worst;
}

}  // namespace

TEST(Restoration, BandedSolveEqualsDenseLeastSquaresOfTheUndistortionTransposes)
{
    const Dimensions extent{4, 40, 2};
    // Mild, strong and folding maps; one line without displacement.
    const Volume vdm = waveMap(extent, {0.0f, 1.5f, 3.5f, 5.0f, 9.0f, -4.0f, 2.0f, 12.0f});
    const Volume plus = randomCopy(extent, 1);
    const Volume minus = randomCopy(extent, 2);
    for (const double smoothness : {0.03, 0.001}) {
        RestorationSettings settings;
        settings.smoothness = smoothness;
        const Volume banded = restorePair(plus, minus, vdm, settings);
        const Volume dense = denseRestoration(plus, minus, vdm, smoothness);
        EXPECT_LT(maxError(banded, dense, 0, extent.y), 2e-3f) << "smoothness " << smoothness;
        for (std::size_t i = 0; i < banded.size(); ++i) ASSERT_GE(banded[i], 0.0f);
    }
}

TEST(Restoration, RecoversDetailThatCompressionPiledIntoOneCopy)
{
    const Dimensions extent{3, 48, 2};
    const Volume truth = detailedObject(extent);
    const Volume vdm = compressingMap(extent);
    const Volume plus = acquiredCopy(truth, vdm, false);
    const Volume minus = acquiredCopy(truth, vdm, true);
    RestorationSettings settings;
    settings.smoothness = 1e-5;
    const Volume restored = restorePair(plus, minus, vdm, settings);
    const Volume corrected = undistort(plus, vdm, false, true);
    const int first = extent.y / 4 + 2, end = 3 * extent.y / 4 - 2;
    EXPECT_LT(maxError(restored, truth, first, end), 0.5f);
    EXPECT_GT(maxError(corrected, truth, first, end), 10.0f);
}

TEST(Restoration, ValuesThatAreNotFiniteDropOutOfTheirCopy)
{
    const Dimensions extent{3, 48, 2};
    const Volume truth = detailedObject(extent);
    const Volume vdm = compressingMap(extent);
    const Volume plus = acquiredCopy(truth, vdm, false);
    Volume minus = acquiredCopy(truth, vdm, true);
    minus(1, 5, 0) = std::numeric_limits<float>::quiet_NaN();
    minus(2, 40, 1) = std::numeric_limits<float>::infinity();
    RestorationSettings settings;
    settings.smoothness = 1e-5;
    const Volume restored = restorePair(plus, minus, vdm, settings);
    for (std::size_t i = 0; i < restored.size(); ++i) ASSERT_TRUE(std::isfinite(restored[i])) << i;
    EXPECT_LT(maxError(restored, truth, 2, extent.y - 2), 1.0f);
}

TEST(Restoration, PairsShareAFactorisationWithoutChangingTheirResults)
{
    const Dimensions extent{4, 40, 2};
    const Volume vdm = waveMap(extent, {1.5f, 3.5f, 9.0f});
    std::vector<Volume> plus{randomCopy(extent, 3), randomCopy(extent, 4)};
    std::vector<Volume> minus{randomCopy(extent, 5), randomCopy(extent, 6)};
    minus[1](2, 7, 1) = std::numeric_limits<float>::quiet_NaN();
    const Volume first = restorePair(plus[0], minus[0], vdm);
    const Volume second = restorePair(plus[1], minus[1], vdm);
    restorePairs(plus, minus, vdm);
    EXPECT_EQ(maxError(plus[0], first, 0, extent.y), 0.0f);
    EXPECT_EQ(maxError(plus[1], second, 0, extent.y), 0.0f);
}

TEST(Restoration, RefusesCopiesThatDoNotFitTheMap)
{
    const Volume vdm(4, 8, 2, 0.0f);
    std::vector<Volume> plus{Volume(4, 8, 2, 1.0f)};
    EXPECT_EQ(assertionMessage([&] { restorePairs(plus, {}, vdm); }),
              "assertion failure (src\\restoration:20): plus.size() == minus.size()");
    EXPECT_EQ(assertionMessage([&] { restorePair(Volume(4, 8, 2), Volume(4, 9, 2), vdm); }),
              "assertion failure (src\\restoration:23): minus[i].dimensions() == vdm.dimensions()");
    RestorationSettings settings;
    settings.smoothness = 0.0;
    EXPECT_EQ(assertionMessage([&] { restorePair(Volume(4, 8, 2), Volume(4, 8, 2), vdm, settings); }),
              "assertion failure (src\\restoration:21): std::isfinite(settings.smoothness) && settings.smoothness > 0.0");
}
