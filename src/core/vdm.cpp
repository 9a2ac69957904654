// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/vdm.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/bspline.h"
#include "core/mdhslog.h"
#include "core/threadpool.h"

namespace {

constexpr const char* kModule = "src\\vdm";

// The three preconditions shared by the resampling operations, checked in this order.
void checkResampling(const Volume& dst, const Volume& src, const Volume& vdm, int firstLine)
{
    check(dst.dimensions() == src.dimensions(), kModule, firstLine, "dst.dimensions() == src.dimensions()");
    check(vdm.dimensions() == src.dimensions(), kModule, firstLine + 1, "vdm.dimensions() == src.dimensions()");
    check(&dst != &src, kModule, firstLine + 2, "&dst != &src");
}

float direction(bool reversed)
{
    return reversed ? -1.0f : 1.0f;
}

bool allFinite(const Volume& v)
{
    constexpr std::uint32_t exponent = 0x7f800000u;
    const std::size_t n = v.size();
    std::uint32_t nonFinite = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, v.data() + i, sizeof bits);
        nonFinite |= static_cast<std::uint32_t>((bits & exponent) == exponent);
    }
    return nonFinite == 0;
}

} // namespace

void applyVdmLinear(Volume& dst, const Volume& src, const Volume& vdm, bool reversed)
{
    checkResampling(dst, src, vdm, 14);
    const float s = direction(reversed);
    const int nx = src.nx(), ny = src.ny(), nz = src.nz();
    if (!allFinite(src)) {
        // Non-finite source values reach neighbours through zero weights; the full
        // trilinear sample keeps that behaviour.
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    dst(x, y, z) = src.sampleTrilinear(static_cast<float>(x), static_cast<float>(y) + s * vdm(x, y, z),
                                                       static_cast<float>(z));
        return;
    }
    // x and z are integers, so the trilinear sample reduces to a blend of two rows; the
    // neighbours with weight 0 add nothing to finite sums.
    const std::size_t slice = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t z) {
        const float* plane = src.data() + z * slice;
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = z * slice + static_cast<std::size_t>(y) * nx;
            const float* d = vdm.data() + row;
            float* out = dst.data() + row;
            const float fy = static_cast<float>(y);
            for (int x = 0; x < nx; ++x) {
                const float h = fy + s * d[x];
                const int j0 = interpolationFloor(h);
                const float w1 = h - static_cast<float>(j0);
                const float w0 = 1.0f - w1;
                float sum = 0.0f;
                if (j0 >= 0 && j0 < ny) sum += w0 * plane[static_cast<std::size_t>(j0) * nx + x];
                if (j0 + 1 >= 0 && j0 + 1 < ny) sum += w1 * plane[static_cast<std::size_t>(j0 + 1) * nx + x];
                out[x] = sum;
            }
        }
    });
}

void applyVdmLinearReversed(Volume& dst, const Volume& src, const Volume& vdm)
{
    applyVdmLinear(dst, src, vdm, true);
}

void applyVdmLinearLocal(Volume& dst, const Volume& src, const Volume& vdm, const std::vector<VoxelIndex>& voxels,
                         const Volume& update, const std::vector<VoxelIndex>& updateVoxels, float scale,
                         bool reversed)
{
    checkResampling(dst, src, vdm, 41);
    const float s = direction(reversed);
    const float top = static_cast<float>(dst.ny() - 1);
    for (std::size_t i = 0; i < voxels.size(); ++i) {
        const VoxelIndex q = voxels[i];
        const VoxelIndex r = updateVoxels[i];
        const float h = static_cast<float>(q.y) + s * (vdm(q.x, q.y, q.z) + scale * update(r.x, r.y, r.z));
        if (!(h > 0.0f && h < top)) continue;
        const int j = static_cast<int>(h);
        const float f = h - static_cast<float>(j);
        dst(q.x, q.y, q.z) = (1.0f - f) * src(q.x, j, q.z) + f * src(q.x, j + 1, q.z);
    }
}

void applyVdmLinearLocalReversed(Volume& dst, const Volume& src, const Volume& vdm,
                                 const std::vector<VoxelIndex>& voxels, const Volume& update,
                                 const std::vector<VoxelIndex>& updateVoxels, float scale)
{
    applyVdmLinearLocal(dst, src, vdm, voxels, update, updateVoxels, scale, true);
}

void applyVdmCubic(Volume& dst, const Volume& src, const Volume& vdm, bool reversed)
{
    checkResampling(dst, src, vdm, 70);
    const float s = direction(reversed);
    const std::vector<double> coefficients = bsplineCoefficients(src.data(), src.dimensions());
    sampleBsplineShiftedY(coefficients, src.dimensions(), vdm, s, dst.data());
}

void applyVdmCubicReversed(Volume& dst, const Volume& src, const Volume& vdm)
{
    applyVdmCubic(dst, src, vdm, true);
}

void multiplyByJacobian(Volume& corrected, const Volume& vdm, bool reversed)
{
    check(corrected.dimensions() == vdm.dimensions(), kModule, 140, "corrected.dimensions() == vdm.dimensions()");
    const float s = direction(reversed);
    const int nx = vdm.nx(), ny = vdm.ny();
    forEachPiece(static_cast<std::size_t>(vdm.nz()), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        for (int y = 1; y + 1 < ny; ++y) {
            const float* below = vdm.data() + vdm.index(0, y - 1, z);
            const float* above = vdm.data() + vdm.index(0, y + 1, z);
            float* target = corrected.data() + corrected.index(0, y, z);
            for (int x = 0; x < nx; ++x) target[x] *= jacobianFactor(below[x], above[x], s);
        }
    });
}

Volume undistort(const Volume& src, const Volume& vdm, bool transposed, bool intensityCorrection)
{
    Volume result(vdm.dimensions());
    if (transposed)
        applyVdmCubic(result, src.transposeXY(), vdm);
    else
        applyVdmCubic(result, src, vdm);
    if (intensityCorrection) multiplyByJacobian(result, vdm);
    return transposed ? result.transposeXY() : result;
}

Volume vdmDerivativeY(const Volume& vdm)
{
    Volume out(vdm.dimensions(), 0.0f);
    const int nx = vdm.nx();
    forEachPiece(static_cast<std::size_t>(vdm.nz()), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        for (int y = 1; y < vdm.ny() - 1; ++y) {
            const float* below = vdm.data() + vdm.index(0, y - 1, z);
            const float* above = vdm.data() + vdm.index(0, y + 1, z);
            float* target = out.data() + out.index(0, y, z);
            for (int x = 0; x < nx; ++x) target[x] = (above[x] - below[x]) * 0.5f;
        }
    });
    return out;
}

Volume invertVdm(const Volume& vdm)
{
    // Rows outside a column's mapped range get no position from the inversion; they
    // are set to 0 so that every voxel of the result is defined.
    Volume out(vdm.dimensions(), 0.0f);
    const int ny = vdm.ny();
    forEachPiece(static_cast<std::size_t>(vdm.nz()), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        std::vector<float> mapped(static_cast<std::size_t>(std::max(ny, 0)));
        for (int x = 0; x < vdm.nx(); ++x) {
            for (int y = 0; y < ny; ++y) mapped[y] = static_cast<float>(y) + vdm(x, y, z);
            for (int j = 0; j < ny; ++j) {
                const float target = static_cast<float>(j);
                const int n = static_cast<int>(std::upper_bound(mapped.begin(), mapped.end(), target) - mapped.begin());
                if (n == 0 || n == ny) continue;
                const float a = mapped[n - 1];
                const float b = mapped[n];
                const float position = static_cast<float>(n - 1) + (target - a) / (b - a);
                out(x, j, z) = position - target;
            }
        }
    });
    return out;
}

int countFolds(const Volume& vdm)
{
    int folds = 0;
    for (int z = 0; z < vdm.nz(); ++z)
        for (int y = 0; y + 1 < vdm.ny(); ++y) {
            const float* row = vdm.data() + vdm.index(0, y, z);
            const float* next = vdm.data() + vdm.index(0, y + 1, z);
            for (int x = 0; x < vdm.nx(); ++x)
                if (std::fabs(row[x] - next[x]) > 1.0f) ++folds;
        }
    return folds;
}

int repairFolds(Volume& vdm)
{
    constexpr float step = 0.05f;
    const std::size_t nx = static_cast<std::size_t>(vdm.nx());
    // Columns are repaired on their own, the slices side by side.
    const std::vector<int> slices = partialsOfPieces<int>(static_cast<std::size_t>(vdm.nz()), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        int adjustments = 0;
        for (int x = 0; x < vdm.nx(); ++x) {
            float* column = &vdm(x, 0, z);
            bool changed = true;
            while (changed) {
                changed = false;
                for (int y = 0; y + 1 < vdm.ny(); ++y) {
                    float& a = column[static_cast<std::size_t>(y) * nx];
                    float& b = column[static_cast<std::size_t>(y + 1) * nx];
                    // An infinite value would be adjusted forever without changing.
                    if (!(std::fabs(a - b) > 1.0f) || !std::isfinite(a) || !std::isfinite(b)) continue;
                    if (a > b) {
                        a -= step;
                        b += step;
                    } else {
                        a += step;
                        b -= step;
                    }
                    ++adjustments;
                    changed = true;
                }
            }
        }
        return adjustments;
    });
    int adjustments = 0;
    for (const int count : slices) adjustments += count;
    return adjustments;
}
