#include "simplevdmestimate.h"

#include <limits>
#include <stdexcept>

#include "distance.h"
#include "mdhslog.h"
#include "vdm.h"

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

// The smoothed intensity and derivative columns of one (x, z), read from the four copies.
struct ColumnData {
    Vector ap;
    Vector pa;
    Vector apDerivative;
    Vector paDerivative;
};

// Working rows of one column fit, allocated once per estimate.
struct FitBuffers {
    explicit FitBuffers(int ny)
        : apOffsets(ny), paOffsets(ny), corrected(ny), reversed(ny), jacobianStretch(ny), jacobianShift(ny)
    {
    }
    Vector apOffsets;
    Vector paOffsets;
    Vector corrected;
    Vector reversed;
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
            work.corrected[i] = column.ap.sampleLinear(work.apOffsets[i] + half) * a;
            work.reversed[i] = column.pa.sampleLinear(work.paOffsets[i] + half) * inverseA;
        }
        distance = meanSquaredDifferenceNonZero(work.corrected, work.reversed);
        if ((distance - best) * 100.0 / best > -0.01) break;
        best = distance;

        const float aCubed = a * a * a;
        float normal00 = 0.0f, normal10 = 0.0f, normal01 = 0.0f, normal11 = 0.0f;
        for (int i = 0; i < ny; ++i) {
            const float gradientAp = column.apDerivative.sampleLinear(work.apOffsets[i] + half);
            const float gradientPa = column.paDerivative.sampleLinear(work.paOffsets[i] + half);
            const float k0 = (a * gradientAp + gradientPa / aCubed) * ramp[i];
            const float k1 = a * gradientAp + gradientPa / a;
            work.jacobianStretch[i] = k0;
            work.jacobianShift[i] = k1;
            normal00 += k0 * k0;
            normal10 += k0 * k1;
            normal01 += k1 * k0;
            normal11 += k1 * k1;
        }
        Matrix normal(2, 2);
        normal(0, 0) = normal00;
        normal(1, 0) = normal10;
        normal(0, 1) = normal01;
        normal(1, 1) = normal11;
        const Matrix negatedInverse = -inverse2x2(normal);
        float t0 = 0.0f, t1 = 0.0f;
        for (int i = 0; i < ny; ++i) {
            const float k0 = work.jacobianStretch[i];
            const float k1 = work.jacobianShift[i];
            float y0 = 0.0f;
            y0 += k0 * negatedInverse(0, 0);
            y0 += k1 * negatedInverse(0, 1);
            float y1 = 0.0f;
            y1 += k0 * negatedInverse(1, 0);
            y1 += k1 * negatedInverse(1, 1);
            const float residual = work.corrected[i] - work.reversed[i];
            t0 += residual * y0;
            t1 += residual * y1;
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

Volume estimateColumnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind,
                             std::ostream& log)
{
    check(vol_ap.dimensions() == vol_pa.dimensions(), kModule, 71, "vol_ap.dimensions() == vol_pa.dimensions()");
    if (vol_ap.size() == 0) throw std::invalid_argument("Cannot estimate a displacement map from empty volumes.");

    const Volume apSmooth = smoothedCopy(vol_ap, sigma, {kind, kind, kind});
    const Volume paSmooth = smoothedCopy(vol_pa, sigma, {kind, kind, kind});
    const Volume apDerivative = smoothedCopy(vol_ap, sigma, {0, 1, 0});
    const Volume paDerivative = smoothedCopy(vol_pa, sigma, {0, 1, 0});

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
    FitBuffers work(ny);

    for (int pass = 0; pass < kPasses; ++pass) {
        if (pass > 0) {
            maskedConvolve2D(stretch, kernel, mask, true);
            maskedConvolve2D(shift, kernel, mask, true);
        }
        for (int z = 0; z < nz; ++z) {
            for (int x = 0; x < nx; ++x) {
                mask(x, z) = 0.0f;
                ColumnData column{getColumn(apSmooth, x, z), getColumn(paSmooth, x, z), Vector(), Vector()};
                if (!(column.ap.max() > kSignalThreshold && column.pa.max() > kSignalThreshold)) continue;
                mask(x, z) = 1.0f;
                column.apDerivative = getColumn(apDerivative, x, z);
                column.paDerivative = getColumn(paDerivative, x, z);
                float a = stretch(x, z);
                float b = shift(x, z);
                fitColumn(column, ramp, work, a, b);
                stretch(x, z) = a;
                shift(x, z) = b;
                setColumn(vdm, x, z, columnVdm(ramp, a, b));
            }
        }
    }

    Volume apCorrected(vol_ap.dimensions());
    Volume paCorrected(vol_pa.dimensions());
    applyVdmLinear(apCorrected, vol_ap, vdm, false);
    applyVdmLinear(paCorrected, vol_pa, vdm, true);
    log << "SSD after applying column wise VDM: " << meanSsd(apCorrected, paCorrected) << std::flush;
    return vdm;
}
