// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/preciseobjective.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/threadpool.h"
#include "core/vectorlanes.h"

namespace {

// The central difference of row y (0 in the first and last row), written to g.
void slopeRow(const Volume& d, int y, int z, float* g)
{
    const int nx = d.nx(), ny = d.ny();
    if (y == 0 || y == ny - 1) {
        std::fill(g, g + nx, 0.0f);
        return;
    }
    const float* below = d.data() + d.index(0, y - 1, z);
    const float* above = below + 2 * static_cast<std::size_t>(nx);
    for (int x = 0; x < nx; ++x) g[x] = 0.5f * (above[x] - below[x]);
}

double sumOfSquares(const Volume& v)
{
    double sum = 0.0;
    for (std::size_t i = 0, n = v.size(); i < n; ++i) sum += static_cast<double>(v[i]) * v[i];
    return sum;
}

bool inside(int i, int n)
{
    return i > 0 && i + 1 < n;
}

// One row's working space: the slope, the positions and samples of both acquisitions.
struct RowSamples {
    explicit RowSamples(int nx)
        : g(static_cast<std::size_t>(nx)), firstAt(g.size()), secondAt(g.size()), first(g.size()),
          second(g.size()), firstSlope(g.size()), secondSlope(g.size()), residual(g.size())
    {
    }
    std::vector<float> g, firstAt, secondAt, first, second, firstSlope, secondSlope, residual;
};

// Row y of slice z sampled at y + d (the first acquisition) and y - d (the second), with
// the slope of d along y; with the samples' slopes when asked.
void sampleRow(const PreciseLevel& level, const Volume& d, int y, int z, bool slopes, RowSamples& row)
{
    const int nx = d.nx();
    slopeRow(d, y, z, row.g.data());
    const float* shift = d.data() + d.index(0, y, z);
    const float fy = static_cast<float>(y);
    for (int x = 0; x < nx; ++x) {
        row.firstAt[x] = fy + shift[x];
        row.secondAt[x] = fy - shift[x];
    }
    sampleLines(level.firstSpline, z, row.firstAt.data(), row.first.data(), slopes ? row.firstSlope.data() : nullptr);
    sampleLines(level.secondSpline, z, row.secondAt.data(), row.second.data(), slopes ? row.secondSlope.data() : nullptr);
}

// sum of r^2 over the row's residuals, in order.
double rowSumOfSquares(const std::vector<float>& residual)
{
    double sum = 0.0;
    for (const float r : residual) sum += static_cast<double>(r * r);
    return sum;
}

}  // namespace

PreciseLevel makePreciseLevel(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize)
{
    return {lineSplines(first), lineSplines(second), voxelSize};
}

std::array<double, 3> smoothnessFactors(const std::array<double, 3>& voxelSize)
{
    const double hy = voxelSize[1];
    return {(hy / voxelSize[0]) * (hy / voxelSize[0]), 1.0, (hy / voxelSize[2]) * (hy / voxelSize[2])};
}

double ObjectiveValue::total(const PreciseWeights& weights) const
{
    return data + weights.bending * bending;
}

void bendingLaplacian(const Volume& d, const std::array<double, 3>& factors, Volume& out)
{
    const int nx = d.nx(), ny = d.ny(), nz = d.nz();
    if (nx == 0) return;
    const std::size_t row = static_cast<std::size_t>(nx), slice = row * static_cast<std::size_t>(ny);
    const float fx = static_cast<float>(factors[0]), fy = static_cast<float>(factors[1]),
                fz = static_cast<float>(factors[2]);
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&, nx, ny, nz, row, slice, fx, fy, fz](std::size_t piece) {
        const int z = static_cast<int>(piece);
        for (int y = 0; y < ny; ++y) {
            const std::size_t base = d.index(0, y, z);
            const float* c = d.data() + base;
            float* o = out.data() + base;
            // An axis without both neighbours adds nothing: its weight is 0 and its
            // neighbours stand in for themselves.
            const float wy = inside(y, ny) ? fy : 0.0f;
            const float wz = inside(z, nz) ? fz : 0.0f;
            const float* below = y > 0 ? c - row : c;
            const float* above = y + 1 < ny ? c + row : c;
            const float* front = z > 0 ? c - slice : c;
            const float* back = z + 1 < nz ? c + slice : c;
            const auto acrossLines = [&](int x) {
                return wy * (2.0f * c[x] - below[x] - above[x]) + wz * (2.0f * c[x] - front[x] - back[x]);
            };
            o[0] = acrossLines(0);
            for (int x = 1; x + 1 < nx; ++x) o[x] = acrossLines(x) + fx * (2.0f * c[x] - c[x - 1] - c[x + 1]);
            if (nx > 1) o[nx - 1] = acrossLines(nx - 1);
        }
    });
}

void addBendingGradient(const Volume& m, const std::array<double, 3>& factors, double twoGamma, Volume& out)
{
    // M'm: each axis's second difference is symmetric on the voxels that have it, so a
    // voxel receives 2 f m from itself and -f m from each neighbour, counting only the
    // voxels (itself included) that have the difference along that axis; along x the row
    // is copied with those that lack it set to 0.
    const int nx = m.nx(), ny = m.ny(), nz = m.nz();
    const std::size_t row = static_cast<std::size_t>(nx), slice = row * static_cast<std::size_t>(ny);
    const float fx = static_cast<float>(factors[0] * twoGamma), fy = static_cast<float>(factors[1] * twoGamma),
                fz = static_cast<float>(factors[2] * twoGamma);
    const std::vector<float> zeros(row, 0.0f);
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&, nx, ny, nz, row, slice, fx, fy, fz](std::size_t piece) {
        const int z = static_cast<int>(piece);
        std::vector<float> padded(row + 2, 0.0f);  // padded[x + 1]: m where x has both neighbours
        for (int y = 0; y < ny; ++y) {
            const std::size_t base = m.index(0, y, z);
            const float* c = m.data() + base;
            float* o = out.data() + base;
            const float* below = inside(y - 1, ny) ? c - row : zeros.data();
            const float* above = inside(y + 1, ny) ? c + row : zeros.data();
            const float* front = inside(z - 1, nz) ? c - slice : zeros.data();
            const float* back = inside(z + 1, nz) ? c + slice : zeros.data();
            const float centre = (inside(y, ny) ? 2.0f * fy : 0.0f) + (inside(z, nz) ? 2.0f * fz : 0.0f);
            for (int x = 1; x + 1 < nx; ++x) padded[static_cast<std::size_t>(x) + 1] = c[x];
            const float* mx = padded.data() + 1;
            for (int x = 0; x < nx; ++x) {
                const float acrossLines = centre * c[x] - fy * (below[x] + above[x]) - fz * (front[x] + back[x]);
                o[x] += acrossLines + (2.0f * fx * mx[x] - fx * mx[x - 1] - fx * mx[x + 1]);
            }
        }
    });
}

float largestSlope(const Volume& d)
{
    float largest = 0.0f;
    const int nx = d.nx();
    for (int z = 0; z < d.nz(); ++z)
        for (int y = 1; y + 1 < d.ny(); ++y) {
            const float* below = d.data() + d.index(0, y - 1, z);
            const float* above = below + 2 * static_cast<std::size_t>(nx);
            for (int x = 0; x < nx; ++x) {
                const float g = std::fabs(0.5f * (above[x] - below[x]));
                // NaN counts as the largest slope of all.
                if (!(g <= largest)) largest = std::isnan(g) ? std::numeric_limits<float>::infinity() : g;
            }
        }
    return largest;
}

ObjectiveValue evaluateObjective(const PreciseLevel& level, const Volume& d)
{
    const int nx = d.nx(), ny = d.ny(), nz = d.nz();
    // Each row's sum, added in row order.
    std::vector<double> rowSums(static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz));
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        RowSamples row(nx);
        for (int y = 0; y < ny; ++y) {
            sampleRow(level, d, y, z, false, row);
            for (int x = 0; x < nx; ++x)
                row.residual[x] = row.first[x] * std::max(0.0f, 1.0f + row.g[x]) - row.second[x] * std::max(0.0f, 1.0f - row.g[x]);
            rowSums[slice * static_cast<std::size_t>(ny) + static_cast<std::size_t>(y)] = rowSumOfSquares(row.residual);
        }
    });
    ObjectiveValue value;
    for (const double sum : rowSums) value.data += 0.5 * sum;
    Volume m(d.dimensions());
    bendingLaplacian(d, smoothnessFactors(level.voxelSize), m);
    value.bending = sumOfSquares(m);
    return value;
}

std::vector<float> residualMagnitudes(const PreciseLevel& level, const Volume& d)
{
    const int nx = d.nx(), ny = d.ny(), nz = d.nz();
    std::vector<std::vector<float>> slices(static_cast<std::size_t>(nz));
    forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        RowSamples row(nx);
        for (int y = 1; y + 1 < ny; ++y) {
            sampleRow(level, d, y, z, false, row);
            for (int x = 0; x < nx; ++x) {
                const float a = row.first[x], b = row.second[x];
                const float ja = std::max(0.0f, 1.0f + row.g[x]);
                const float jb = std::max(0.0f, 1.0f - row.g[x]);
                const float q = (ja > 0.0f ? a : 0.0f) + (jb > 0.0f ? b : 0.0f);
                if (q * q > 0.01f) slices[slice].push_back(std::fabs(a * ja - b * jb));
            }
        }
    });
    std::vector<float> magnitudes;
    for (const std::vector<float>& slice : slices) magnitudes.insert(magnitudes.end(), slice.begin(), slice.end());
    return magnitudes;
}

void lineariseObjective(const PreciseLevel& level, const PreciseWeights& weights, const Volume& d, Linearisation& out)
{
    const Dimensions extent = d.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t stride = static_cast<std::size_t>(nx);
    for (Volume* v : {&out.residual, &out.hessian.p2, &out.hessian.pq, &out.hessian.e, &out.gradient, &out.carried})
        if (v->dimensions() != extent) *v = Volume(extent);
    std::vector<double> rowSums(static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz));
    forEachPieceInLanes(static_cast<std::size_t>(nz), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        RowSamples samples(nx);
        // Per voxel: the residual, the Hessian's coefficients, the gradient's own term p r,
        // and q r, which the central difference carries to the neighbours along y.
        for (int y = 0; y < ny; ++y) {
            sampleRow(level, d, y, z, true, samples);
            const bool interior = inside(y, ny);
            const std::size_t row = d.index(0, y, z);
            float* r = out.residual.data() + row;
            float* p2 = out.hessian.p2.data() + row;
            float* pq = out.hessian.pq.data() + row;
            float* e = out.hessian.e.data() + row;
            float* local = out.gradient.data() + row;
            float* carried = out.carried.data() + row;
            const float* g = samples.g.data();
            for (int x = 0; x < nx; ++x) {
                const float a = samples.first[x], b = samples.second[x];
                const float ja = std::max(0.0f, 1.0f + g[x]);
                const float jb = std::max(0.0f, 1.0f - g[x]);
                const float residual = a * ja - b * jb;
                const float p = samples.firstSlope[x] * ja + samples.secondSlope[x] * jb;
                r[x] = residual;
                p2[x] = p * p;
                local[x] = p * residual;
                // A clipped Jacobian does not change with g.
                const float q = interior ? (ja > 0.0f ? a : 0.0f) + (jb > 0.0f ? b : 0.0f) : 0.0f;
                pq[x] = p * q;
                e[x] = q * q;
                carried[x] = q * residual;
            }
            double data = 0.0;
            for (int x = 0; x < nx; ++x) data += static_cast<double>(r[x] * r[x]);
            rowSums[slice * static_cast<std::size_t>(ny) + static_cast<std::size_t>(y)] = data;
        }
        // gradient = p r + D'(q r) + ..., with (D's)_y = (s_{y-1} - s_{y+1})/2.
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = d.index(0, y, z);
            const float* below = y > 0 ? out.carried.data() + row - stride : nullptr;
            const float* above = y + 1 < ny ? out.carried.data() + row + stride : nullptr;
            float* gradient = out.gradient.data() + row;
            for (int x = 0; x < nx; ++x) gradient[x] += 0.5f * ((below ? below[x] : 0.0f) - (above ? above[x] : 0.0f));
        }
    });
    out.value = ObjectiveValue{};
    for (const double sum : rowSums) out.value.data += 0.5 * sum;

    // The bending term's part of the gradient, 2 gamma M'M d.
    const Regularisation regularisation = regularisationOf(level, weights);
    bendingLaplacian(d, regularisation.factors, out.carried);
    out.value.bending = sumOfSquares(out.carried);
    addBendingGradient(out.carried, regularisation.factors, regularisation.twoGamma, out.gradient);
}

Regularisation regularisationOf(const PreciseLevel& level, const PreciseWeights& weights)
{
    return {smoothnessFactors(level.voxelSize), 2.0 * weights.bending};
}

void systemProduct(const HessianCoefficients& h, const Regularisation& regularisation, const Volume& v, Volume& out,
                   Volume& scratch)
{
    const Dimensions extent = v.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t stride = static_cast<std::size_t>(nx);
    if (out.dimensions() != extent) out = Volume(extent);
    if (scratch.dimensions() != extent) scratch = Volume(extent);
    // t = PQ v + E Dv per voxel (0 in the first and last row, where Dv is 0); then
    // out = P2 v + PQ Dv + D't + 2 gamma M'M v.
    const std::size_t slices = static_cast<std::size_t>(nz);
    forEachPieceInLanes(slices, [&, nx, ny, stride](std::size_t piece) {
        const int z = static_cast<int>(piece);
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = v.index(0, y, z);
            float* t = scratch.data() + row;
            if (!inside(y, ny)) {
                std::fill(t, t + nx, 0.0f);
                continue;
            }
            const float* vr = v.data() + row;
            const float* pq = h.pq.data() + row;
            const float* e = h.e.data() + row;
            for (int x = 0; x < nx; ++x) t[x] = pq[x] * vr[x] + e[x] * (0.5f * (vr[x + stride] - vr[x - stride]));
        }
    });
    // The second pass reads t of the neighbouring rows, so it starts after the first ends.
    forEachPieceInLanes(slices, [&, nx, ny, stride](std::size_t piece) {
        const int z = static_cast<int>(piece);
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = v.index(0, y, z);
            const float* vr = v.data() + row;
            const float* p2 = h.p2.data() + row;
            const float* pq = h.pq.data() + row;
            const float* t = scratch.data() + row;
            float* o = out.data() + row;
            if (inside(y, ny)) {
                for (int x = 0; x < nx; ++x)
                    o[x] = p2[x] * vr[x] + pq[x] * (0.5f * (vr[x + stride] - vr[x - stride])) +
                           0.5f * (t[x - stride] - t[x + stride]);
            } else {
                // The first row has no row below, the last none above; t is 0 in both.
                const float* tBelow = y > 0 ? t - stride : nullptr;
                const float* tAbove = y + 1 < ny ? t + stride : nullptr;
                for (int x = 0; x < nx; ++x)
                    o[x] = p2[x] * vr[x] + 0.5f * ((tBelow ? tBelow[x] : 0.0f) - (tAbove ? tAbove[x] : 0.0f));
            }
        }
    });
    bendingLaplacian(v, regularisation.factors, scratch);
    addBendingGradient(scratch, regularisation.factors, regularisation.twoGamma, out);
}
