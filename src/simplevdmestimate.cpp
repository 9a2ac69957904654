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

// Fits (a, b) of one column by Gauss-Newton, starting from the given values.
void fitColumn(const ColumnData& column, const Vector& ramp, float& a, float& b)
{
    const int ny = ramp.size();
    double best = std::numeric_limits<double>::max();
    double distance = 0.0;
    Vector step(2, 0.0f);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        const float inverseA = 1.0f / a;
        const Vector apOffsets = ramp.affine(a, b);
        const Vector paOffsets = ramp.affine(inverseA, -b);
        const Vector corrected = column.ap.resampleAtOffsets(apOffsets) * a;
        const Vector reversed = column.pa.resampleAtOffsets(paOffsets) * inverseA;
        distance = meanSquaredDifferenceNonZero(corrected, reversed);
        if ((distance - best) * 100.0 / best > -0.01) break;

        const Vector gradientAp = column.apDerivative.resampleAtOffsets(apOffsets);
        const Vector gradientPa = column.paDerivative.resampleAtOffsets(paOffsets);
        best = distance;

        const float aCubed = a * a * a;
        Matrix jacobian(ny, 2);
        for (int i = 0; i < ny; ++i) {
            jacobian(i, 0) = (a * gradientAp[i] + gradientPa[i] / aCubed) * ramp[i];
            jacobian(i, 1) = a * gradientAp[i] + gradientPa[i] / a;
        }
        const Vector residual = corrected - reversed;
        const Matrix transposed = jacobian.transpose();
        const Matrix normal = jacobian * transposed;
        const Matrix inverse = inverse2x2(normal);
        const Matrix projection = transposed * (-inverse);
        step = residual * projection;
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
                fitColumn(column, ramp, a, b);
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
