// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/simplevdmestimate.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/distance.h"
#include "core/linearsampling.h"
#include "core/mdhslog.h"
#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "core/vdm.h"

namespace {

constexpr const char* kModule = "src\\simplevdmestimate";
constexpr int kPasses = 10;
constexpr int kIterations = 10;
// A column is fitted only where both smoothed columns rise above this intensity.
constexpr float kSignalThreshold = 100.0f;

// Columns are addressed by unsigned comparison so that negative indices fail the same
// upper-bound test instead of reading outside the volume.
bool columnInside(const Volume& vol, int row, int slice)
{
    return static_cast<unsigned>(row) < static_cast<unsigned>(vol.nx()) &&
           static_cast<unsigned>(slice) < static_cast<unsigned>(vol.nz());
}

// The columns of a volume stored one after the other, each contiguous along y, so that a
// column fit reads its samples in order; column (x, z) starts at (z * nx + x) * ny.
class ColumnMajor {
public:
    explicit ColumnMajor(const Volume& volume)
        : ny_(static_cast<std::size_t>(volume.ny())), nx_(static_cast<std::size_t>(volume.nx())), data_(volume.size())
    {
        forEachPiece(static_cast<std::size_t>(volume.nz()), [&](std::size_t z) {
            for (int y = 0; y < volume.ny(); ++y) {
                const float* row = volume.data() + volume.index(0, y, static_cast<int>(z));
                float* target = data_.data() + z * nx_ * ny_ + static_cast<std::size_t>(y);
                for (std::size_t x = 0; x < nx_; ++x) target[x * ny_] = row[x];
            }
        });
    }
    const float* column(int x, int z) const
    {
        return data_.data() + (static_cast<std::size_t>(z) * nx_ + static_cast<std::size_t>(x)) * ny_;
    }

private:
    std::size_t ny_;
    std::size_t nx_;
    std::vector<float> data_;
};

// The smoothed intensity and derivative columns of one (x, z), read from the four copies.
struct ColumnData {
    const float* ap;
    const float* pa;
    const float* apDerivative;
    const float* paDerivative;
};

// Working rows of one column fit, allocated once per estimate.
struct FitBuffers {
    explicit FitBuffers(int ny)
        : apOffsets(ny), paOffsets(ny), corrected(ny), reversed(ny), gradientAp(ny), gradientPa(ny),
          jacobianStretch(ny), jacobianShift(ny)
    {
    }
    Vector apOffsets;
    Vector paOffsets;
    Vector corrected;
    Vector reversed;
    Vector gradientAp;  // then the step's terms of the stretch
    Vector gradientPa;  // then the step's terms of the shift
    Vector jacobianStretch;
    Vector jacobianShift;
};

// Fits (a, b) of one column by Gauss-Newton, starting from the given values. The step is
// t = e * (K^T * -(K * K^T)^-1) with the matrix products of the volume module written out
// in their order of summation (float sums from 0, index increasing), without allocating.
void fitColumn(const ColumnData& column, const Vector& ramp, FitBuffers& work, float& a, float& b)
{
    const int ny = ramp.size();
    const float half = static_cast<float>(ny) / 2.0f;
    double best = std::numeric_limits<double>::max();
    double distance = 0.0;
    float step[2] = {0.0f, 0.0f};
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        const float inverseA = 1.0f / a;
        for (int i = 0; i < ny; ++i) {
            work.apOffsets[i] = a * ramp[i] + b;
            work.paOffsets[i] = inverseA * ramp[i] + -b;
        }
        sampleLinearScaled(column.ap, ny, work.apOffsets.data(), half, a, work.corrected.data(), ny);
        sampleLinearScaled(column.pa, ny, work.paOffsets.data(), half, inverseA, work.reversed.data(), ny);
        distance = meanSquaredDifferenceNonZero(work.corrected, work.reversed);
        if ((distance - best) * 100.0 / best > -0.01) break;
        best = distance;

        const float aCubed = a * a * a;
        // Times 1: the samples unchanged.
        sampleLinearScaled(column.apDerivative, ny, work.apOffsets.data(), half, 1.0f, work.gradientAp.data(), ny);
        sampleLinearScaled(column.paDerivative, ny, work.paOffsets.data(), half, 1.0f, work.gradientPa.data(), ny);
        // Element-wise loops apart from the sums, so that they run in vector lanes; each
        // sum keeps its own order.
        for (int i = 0; i < ny; ++i) {
            work.jacobianStretch[i] = (a * work.gradientAp[i] + work.gradientPa[i] / aCubed) * ramp[i];
            work.jacobianShift[i] = a * work.gradientAp[i] + work.gradientPa[i] / a;
        }
        // k0 * k1 and k1 * k0 are the same product, so both off-diagonal sums are one.
        float normal00 = 0.0f, normal10 = 0.0f, normal11 = 0.0f;
        for (int i = 0; i < ny; ++i) {
            const float k0 = work.jacobianStretch[i];
            const float k1 = work.jacobianShift[i];
            normal00 += k0 * k0;
            normal10 += k0 * k1;
            normal11 += k1 * k1;
        }
        Matrix normal(2, 2);
        normal(0, 0) = normal00;
        normal(1, 0) = normal10;
        normal(0, 1) = normal10;
        normal(1, 1) = normal11;
        const Matrix negatedInverse = -inverse2x2(normal);
        const float n00 = negatedInverse(0, 0), n01 = negatedInverse(0, 1);
        const float n10 = negatedInverse(1, 0), n11 = negatedInverse(1, 1);
        for (int i = 0; i < ny; ++i) {
            const float k0 = work.jacobianStretch[i];
            const float k1 = work.jacobianShift[i];
            float y0 = 0.0f;
            y0 += k0 * n00;
            y0 += k1 * n01;
            float y1 = 0.0f;
            y1 += k0 * n10;
            y1 += k1 * n11;
            const float residual = work.corrected[i] - work.reversed[i];
            work.gradientAp[i] = residual * y0;
            work.gradientPa[i] = residual * y1;
        }
        float t0 = 0.0f, t1 = 0.0f;
        for (int i = 0; i < ny; ++i) {
            t0 += work.gradientAp[i];
            t1 += work.gradientPa[i];
        }
        step[0] = t0;
        step[1] = t1;
        a += step[0];
        b += step[1];
    }
    if (distance > best) {
        a -= step[0];
        b -= step[1];
    }
}

// The column's VDM: half the difference of the AP and PA sampling ramps.
Vector columnVdm(const Vector& ramp, float a, float b)
{
    return (ramp.affine(a, b) - ramp.affine(1.0f / a, -b)) / 2.0f;
}

} // namespace

Vector getColumn(const Volume& vol, int row, int slice)
{
    check(columnInside(vol, row, slice), kModule, 30, "row < vol.nx() && slice < vol.nz()");
    Vector column(vol.ny());
    for (int y = 0; y < vol.ny(); ++y) column[y] = vol(row, y, slice);
    return column;
}

void setColumn(Volume& vol, int row, int slice, const Vector& vec)
{
    check(vec.size() == vol.ny(), kModule, 41, "vec.size() == vol.ny()");
    check(columnInside(vol, row, slice), kModule, 42, "row < vol.nx() && slice < vol.nz()");
    for (int y = 0; y < vol.ny(); ++y) vol(row, y, slice) = vec[y];
}

Matrix inverse2x2(const Matrix& mat)
{
    check(mat.columns() == 2 && mat.rows() == 2, kModule, 50, "mat.columns() == 2 && mat.rows() == 2");
    const float m00 = mat(0, 0);
    const float m01 = mat(1, 0);
    const float m10 = mat(0, 1);
    const float m11 = mat(1, 1);
    const float d = 1.0f / (m11 * m00 - m10 * m01);
    Matrix inverse(2, 2);
    inverse(0, 0) = d * m11;
    inverse(1, 0) = -d * m01;
    inverse(0, 1) = -d * m10;
    inverse(1, 1) = d * m00;
    return inverse;
}

namespace {

// estimateColumnwiseVdm; alongsideFit, when given, runs on the calling thread while the
// columns are fitted on the others.
Volume columnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind, std::ostream& log,
                     const std::function<void()>& alongsideFit)
{
    check(vol_ap.dimensions() == vol_pa.dimensions(), kModule, 71, "vol_ap.dimensions() == vol_pa.dimensions()");
    if (vol_ap.size() == 0) throw std::invalid_argument("Cannot estimate a displacement map from empty volumes.");

    const std::vector<Volume> smoothed = smoothedCopies({&vol_ap, &vol_pa}, sigma, {{kind, kind, kind}, {0, 1, 0}});
    const Volume& apSmooth = smoothed[0];
    const Volume& apDerivative = smoothed[1];
    const Volume& paSmooth = smoothed[2];
    const Volume& paDerivative = smoothed[3];

    log << "Column-wise optimisation, sigma: x: " << sigma[0] << ", y: " << sigma[1] << ", sigma.z: " << sigma[2]
        << std::flush;
    log << "SSD of original AP and PA volumes: " << meanSsd(vol_ap, vol_pa) << std::flush;

    const int nx = vol_ap.nx();
    const int ny = vol_ap.ny();
    const int nz = vol_ap.nz();
    Matrix stretch(nx, nz, 1.0f);
    Matrix shift(nx, nz, 0.0f);
    Matrix mask(nx, nz, 1.0f);
    Volume vdm(vol_ap.dimensions(), 0.0f);
    const Vector ramp = centredRamp(ny);
    const Matrix kernel = gaussianKernel2D(5, 5, {1.0, 1.0}, {0, 0}, false);

    // The smoothed copies do not change between passes, and neither does which columns
    // carry signal.
    const ColumnMajor apColumns(apSmooth), paColumns(paSmooth);
    const ColumnMajor apDerivativeColumns(apDerivative), paDerivativeColumns(paDerivative);
    std::vector<std::uint8_t> fitted(static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz));
    forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        for (int x = 0; x < nx; ++x)
            fitted[slice * nx + x] =
                getColumn(apSmooth, x, z).max() > kSignalThreshold && getColumn(paSmooth, x, z).max() > kSignalThreshold;
    });

    // Every column is fitted on its own, the slices side by side.
    const auto fitColumns = [&] {
        for (int pass = 0; pass < kPasses; ++pass) {
            throwIfStopRequested();
            if (pass > 0) {
                maskedConvolve2D(stretch, kernel, mask, true);
                maskedConvolve2D(shift, kernel, mask, true);
            }
            forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t slice) {
                const int z = static_cast<int>(slice);
                FitBuffers work(ny);
                for (int x = 0; x < nx; ++x) {
                    mask(x, z) = 0.0f;
                    if (!fitted[static_cast<std::size_t>(z) * nx + x]) continue;
                    mask(x, z) = 1.0f;
                    const ColumnData column{apColumns.column(x, z), paColumns.column(x, z),
                                            apDerivativeColumns.column(x, z), paDerivativeColumns.column(x, z)};
                    float a = stretch(x, z);
                    float b = shift(x, z);
                    fitColumn(column, ramp, work, a, b);
                    stretch(x, z) = a;
                    shift(x, z) = b;
                    setColumn(vdm, x, z, columnVdm(ramp, a, b));
                }
            });
        }
    };
    if (alongsideFit) {
        BackgroundWork fit(fitColumns);
        alongsideFit();
        fit.join();
    } else {
        fitColumns();
    }

    Volume apCorrected(vol_ap.dimensions());
    Volume paCorrected(vol_pa.dimensions());
    applyVdmLinear(apCorrected, vol_ap, vdm, false);
    applyVdmLinear(paCorrected, vol_pa, vdm, true);
    log << "SSD after applying column wise VDM: " << meanSsd(apCorrected, paCorrected) << std::flush;
    return vdm;
}

}  // namespace

Volume estimateColumnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind,
                             std::ostream& log)
{
    return columnwiseVdm(vol_ap, vol_pa, sigma, kind, log, {});
}

Volume smoothedColumnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind,
                             std::ostream& log)
{
    std::optional<GaussianKernelSpectrum> smoothing;
    Volume vdm = columnwiseVdm(vol_ap, vol_pa, sigma, kind, log, [&] {
        smoothing = gaussianKernelSpectrum(vol_ap.dimensions(), {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    });
    smoothGaussian(vdm, *smoothing);
    return vdm;
}
