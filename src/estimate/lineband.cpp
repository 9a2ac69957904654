// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/lineband.h"

#include <algorithm>
#include <vector>

#include "core/vectorlanes.h"

void factoriseLineBands(const HessianCoefficients& h, const Regularisation& regularisation, LineBandFactors& factors)
{
    const Dimensions extent = h.p2.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    for (Volume* v : {&factors.inverseDiagonal, &factors.first, &factors.second})
        if (v->dimensions() != extent) *v = Volume(extent);
    const std::array<double, 3>& f = regularisation.factors;
    const double twoGamma = regularisation.twoGamma;
    const auto inside = [](int i, int n) { return i > 0 && i + 1 < n; };
    // The bending term 2 gamma M'M along the line, exactly: M has, in the row of a voxel,
    // c = 2 sum f_k over the axes where the voxel has both neighbours, and -f_k at those
    // neighbours. Its diagonal is c^2 plus f_k^2 for every neighbour whose own row reaches
    // back along k; (y, y+1) gets -f_y from the rows of both; (y, y+2) f_y^2 from the row
    // between them.
    const auto centre = [&](int x, int y, int z) {
        return 2.0 * ((inside(x, nx) ? f[0] : 0.0) + (inside(y, ny) ? f[1] : 0.0) + (inside(z, nz) ? f[2] : 0.0));
    };
    const auto neighbours = [&](int i, int n) { return (inside(i - 1, n) ? 1.0 : 0.0) + (inside(i + 1, n) ? 1.0 : 0.0); };
    const std::size_t n = static_cast<std::size_t>(nx);
    // Slices are independent: each line along y lies in one.
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&, nx, ny, nz, n, twoGamma](std::size_t piece) {
        const int z = static_cast<int>(piece);
        // The band of row y: a0 on the diagonal, a1 at (y, y+1), a2 at (y, y+2).
        std::vector<float> a0(n), a1(n), a2(n);
        // The bending term's share of them, which depends on x only near the row's ends:
        // every x from 2 to nx - 3 has all its neighbours along x, and takes x = 2's.
        std::vector<float> bendDiagonal(n), bendFirst(n), bendSecond(n);
        for (int y = 0; y < ny; ++y) {
            for (std::size_t x = 0; x < n; ++x) {
                if (x > 2 && x + 2 < n) {
                    bendDiagonal[x] = bendDiagonal[2];
                    bendFirst[x] = bendFirst[2];
                    bendSecond[x] = bendSecond[2];
                    continue;
                }
                const int xi = static_cast<int>(x);
                const double c = centre(xi, y, z);
                const double next = y + 1 < ny ? centre(xi, y + 1, z) : 0.0;
                const double diagonal = c * c + f[0] * f[0] * neighbours(xi, nx) + f[1] * f[1] * neighbours(y, ny) +
                                        f[2] * f[2] * neighbours(z, nz);
                const double first = -f[1] * ((inside(y, ny) ? c : 0.0) + (inside(y + 1, ny) ? next : 0.0));
                const double second = inside(y + 1, ny) ? f[1] * f[1] : 0.0;
                bendDiagonal[x] = static_cast<float>(twoGamma * diagonal);
                bendFirst[x] = static_cast<float>(twoGamma * first);
                bendSecond[x] = static_cast<float>(twoGamma * second);
            }
            const std::size_t row = h.p2.index(0, y, z);
            const float* p2 = h.p2.data() + row;
            const float* pq = h.pq.data() + row;
            const float* e = h.e.data() + row;
            for (std::size_t x = 0; x < n; ++x) {
                const float eBelow = y > 0 ? e[x - n] : 0.0f;
                const float eAbove = y + 1 < ny ? e[x + n] : 0.0f;
                a0[x] = p2[x] + 0.25f * (eBelow + eAbove) + bendDiagonal[x];
                a1[x] = y + 1 < ny ? 0.5f * (pq[x] - pq[x + n]) + bendFirst[x] : 0.0f;
                a2[x] = y + 2 < ny ? -0.25f * eAbove + bendSecond[x] : 0.0f;
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
    });
}

void solveLineBands(const LineBandFactors& factors, const Volume& r, Volume& out)
{
    const Dimensions extent = r.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    if (out.dimensions() != extent) out = Volume(extent);
    const std::size_t n = static_cast<std::size_t>(nx);
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&, ny, n](std::size_t piece) {
        const std::size_t base = r.index(0, 0, static_cast<int>(piece));
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
    });
}
