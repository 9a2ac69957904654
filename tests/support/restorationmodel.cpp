// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/restorationmodel.h"

#include "core/vdm.h"

Matrix2 zeros(int n)
{
    return Matrix2(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0));
}

std::vector<Matrix2> undistortionMatrices(const Volume& vdm, bool reversed)
{
    const int n = vdm.ny();
    std::vector<Matrix2> lines(static_cast<std::size_t>(vdm.nx() * vdm.nz()), zeros(n));
    for (int j = 0; j < n; ++j) {
        Volume impulse(vdm.dimensions(), 0.0f);
        for (int z = 0; z < vdm.nz(); ++z)
            for (int x = 0; x < vdm.nx(); ++x) impulse(x, j, z) = 1.0f;
        Volume corrected(vdm.dimensions());
        applyVdmCubic(corrected, impulse, vdm, reversed);
        for (int z = 0; z < vdm.nz(); ++z)
            for (int x = 0; x < vdm.nx(); ++x)
                for (int y = 0; y < n; ++y) lines[static_cast<std::size_t>(z * vdm.nx() + x)][y][j] = corrected(x, y, z);
    }
    return lines;
}

Volume acquiredCopy(const Volume& f, const Volume& vdm, bool reversed)
{
    const std::vector<Matrix2> sampling = undistortionMatrices(vdm, reversed);
    Volume out(f.dimensions());
    for (int z = 0; z < f.nz(); ++z)
        for (int x = 0; x < f.nx(); ++x) {
            const Matrix2& s = sampling[static_cast<std::size_t>(z * f.nx() + x)];
            for (int j = 0; j < f.ny(); ++j) {
                double sum = 0.0;
                for (int y = 0; y < f.ny(); ++y) sum += s[y][j] * f(x, y, z);
                out(x, j, z) = static_cast<float>(sum);
            }
        }
    return out;
}
