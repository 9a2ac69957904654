// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/lineband.h"

#include <algorithm>
#include <vector>

void factoriseLineBands(const PreciseLevel& level, const PreciseWeights& weights, const Linearisation& lin,
                        LineBandFactors& factors)
{
    const Dimensions extent = lin.p.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    for (Volume* v : {&factors.inverseDiagonal, &factors.first, &factors.second})
        if (v->dimensions() != extent) *v = Volume(extent);
    const std::array<double, 3> f = smoothnessFactors(level.voxelSize);
    const float twoAlpha = static_cast<float>(2.0 * weights.smoothness);
    const float acrossX = twoAlpha * static_cast<float>(f[0]);
    const float alongY = twoAlpha * static_cast<float>(f[1]);
    const float acrossZ = twoAlpha * static_cast<float>(f[2]);
    const std::size_t n = static_cast<std::size_t>(nx);
    // The band of row y: a0 on the diagonal, a1 at (y, y+1), a2 at (y, y+2), with
    // e = q^2 + beta Q'' the weight of the central difference (0 in the first and last row).
    std::vector<float> a0(n), a1(n), a2(n);
    for (int z = 0; z < nz; ++z) {
        const int zNeighbours = (z > 0 ? 1 : 0) + (z + 1 < nz ? 1 : 0);
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = lin.p.index(0, y, z);
            const float* p = lin.p.data() + row;
            const float* q = lin.q.data() + row;
            const float* c = lin.barrierCurvature.data() + row;
            const int yNeighbours = (y > 0 ? 1 : 0) + (y + 1 < ny ? 1 : 0);
            for (std::size_t x = 0; x < n; ++x) {
                const int xNeighbours = (x > 0 ? 1 : 0) + (x + 1 < n ? 1 : 0);
                const float eBelow = y > 0 ? q[x - n] * q[x - n] + c[x - n] : 0.0f;
                const float eAbove = y + 1 < ny ? q[x + n] * q[x + n] + c[x + n] : 0.0f;
                a0[x] = p[x] * p[x] + 0.25f * (eBelow + eAbove) + alongY * static_cast<float>(yNeighbours) +
                        acrossX * static_cast<float>(xNeighbours) + acrossZ * static_cast<float>(zNeighbours);
                a1[x] = y + 1 < ny ? 0.5f * (p[x] * q[x] - p[x + n] * q[x + n]) - alongY : 0.0f;
                a2[x] = -0.25f * eAbove;
            }
            // L D L' by rows: D_y = a0 - L(y,y-1)^2 D_{y-1} - L(y,y-2)^2 D_{y-2};
            // L(y+1,y) = (a1 - L(y+1,y-1) D_{y-1} L(y,y-1)) / D_y; L(y+2,y) = a2 / D_y.
            float* inverse = factors.inverseDiagonal.data() + row;
            float* l1 = factors.first.data() + row;
            float* l2 = factors.second.data() + row;
            for (std::size_t x = 0; x < n; ++x) {
                float diagonal = a0[x];
                float coupling = a1[x];
                if (y >= 1) {
                    const float l1Below = l1[x - n];
                    const float dBelow = 1.0f / inverse[x - n];
                    diagonal -= l1Below * l1Below * dBelow;
                    if (y >= 2) {
                        const float l2Below2 = l2[x - 2 * n];
                        diagonal -= l2Below2 * l2Below2 / inverse[x - 2 * n];
                    }
                    coupling -= l2[x - n] * dBelow * l1Below;
                }
                // The band is positive definite; a pivot lost to rounding is replaced so that
                // the preconditioner stays positive.
                diagonal = std::max(diagonal, 1e-6f * a0[x] + 1e-30f);
                inverse[x] = 1.0f / diagonal;
                l1[x] = coupling / diagonal;
                l2[x] = a2[x] / diagonal;
            }
        }
    }
}

void solveLineBands(const LineBandFactors& factors, const Volume& r, Volume& out)
{
    const Dimensions extent = r.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    if (out.dimensions() != extent) out = Volume(extent);
    const std::size_t n = static_cast<std::size_t>(nx);
    for (int z = 0; z < nz; ++z) {
        const std::size_t base = r.index(0, 0, z);
        const float* l1 = factors.first.data() + base;
        const float* l2 = factors.second.data() + base;
        const float* inverse = factors.inverseDiagonal.data() + base;
        const float* in = r.data() + base;
        float* o = out.data() + base;
        // Forward: L w = r.
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * n;
            for (std::size_t x = 0; x < n; ++x) {
                float w = in[row + x];
                if (y >= 1) w -= l1[row - n + x] * o[row - n + x];
                if (y >= 2) w -= l2[row - 2 * n + x] * o[row - 2 * n + x];
                o[row + x] = w;
            }
        }
        // Backward: L' v = D^-1 w.
        for (int y = ny - 1; y >= 0; --y) {
            const std::size_t row = static_cast<std::size_t>(y) * n;
            for (std::size_t x = 0; x < n; ++x) {
                float v = o[row + x] * inverse[row + x];
                if (y + 1 < ny) v -= l1[row + x] * o[row + n + x];
                if (y + 2 < ny) v -= l2[row + x] * o[row + 2 * n + x];
                o[row + x] = v;
            }
        }
    }
}
