// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/preciseobjective.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "estimate/splinealongy.h"

namespace {

// Adds 2 alpha (L v) of the smoothness term to out, row (y, z) of the volume.
void addSmoothnessRow(const Volume& v, int y, int z, const std::array<double, 3>& factors, float twoAlpha, float* out)
{
    const int nx = v.nx(), ny = v.ny(), nz = v.nz();
    const float fx = static_cast<float>(factors[0]) * twoAlpha;
    const float fy = static_cast<float>(factors[1]) * twoAlpha;
    const float fz = static_cast<float>(factors[2]) * twoAlpha;
    const float* row = v.data() + v.index(0, y, z);
    const std::size_t slice = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    const float* below = y > 0 ? row - nx : nullptr;
    const float* above = y + 1 < ny ? row + nx : nullptr;
    const float* front = z > 0 ? row - slice : nullptr;
    const float* back = z + 1 < nz ? row + slice : nullptr;
    for (int x = 0; x < nx; ++x) {
        const float c = row[x];
        float sumX = 0.0f;
        if (x > 0) sumX += c - row[x - 1];
        if (x + 1 < nx) sumX += c - row[x + 1];
        float sumY = 0.0f;
        if (below) sumY += c - below[x];
        if (above) sumY += c - above[x];
        float sumZ = 0.0f;
        if (front) sumZ += c - front[x];
        if (back) sumZ += c - back[x];
        out[x] += fx * sumX + fy * sumY + fz * sumZ;
    }
}

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

// Sum of the squared forward differences of the row along x, y and z, with the factors.
double smoothnessRow(const Volume& d, int y, int z, const std::array<double, 3>& factors)
{
    const int nx = d.nx(), ny = d.ny(), nz = d.nz();
    const float* row = d.data() + d.index(0, y, z);
    const std::size_t slice = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    double sumX = 0.0, sumY = 0.0, sumZ = 0.0;
    for (int x = 0; x + 1 < nx; ++x) {
        const float e = row[x + 1] - row[x];
        sumX += static_cast<double>(e * e);
    }
    if (y + 1 < ny)
        for (int x = 0; x < nx; ++x) {
            const float e = row[x + nx] - row[x];
            sumY += static_cast<double>(e * e);
        }
    if (z + 1 < nz)
        for (int x = 0; x < nx; ++x) {
            const float e = row[x + slice] - row[x];
            sumZ += static_cast<double>(e * e);
        }
    return factors[0] * sumX + factors[1] * sumY + factors[2] * sumZ;
}

}  // namespace

PreciseLevel makePreciseLevel(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize)
{
    return {splineCoefficientsAlongY(first), splineCoefficientsAlongY(second), voxelSize};
}

std::array<double, 3> smoothnessFactors(const std::array<double, 3>& voxelSize)
{
    const double hy = voxelSize[1];
    return {(hy / voxelSize[0]) * (hy / voxelSize[0]), 1.0, (hy / voxelSize[2]) * (hy / voxelSize[2])};
}

double ObjectiveValue::total(const PreciseWeights& weights) const
{
    return data + weights.smoothness * smoothness + weights.barrier * barrier;
}

float barrierValue(float g)
{
    const float g2 = g * g;
    if (!(g2 < 1.0f)) return std::numeric_limits<float>::infinity();
    return g2 * (6.0f + 2.0f / (1.0f - g2));
}

float barrierSlope(float g)
{
    const float s = 1.0f - g * g;
    return 12.0f * g + 4.0f * g / (s * s);
}

float barrierCurvature(float g)
{
    const float s = 1.0f - g * g;
    return 12.0f + 4.0f * (1.0f + 3.0f * g * g) / (s * s * s);
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
    const std::size_t stride = static_cast<std::size_t>(nx);
    const std::array<double, 3> factors = smoothnessFactors(level.voxelSize);
    std::vector<float> g(stride);
    ObjectiveValue value;
    for (int z = 0; z < nz; ++z) {
        const float* firstSlice = level.firstSpline.data() + level.firstSpline.index(0, 0, z);
        const float* secondSlice = level.secondSpline.data() + level.secondSpline.index(0, 0, z);
        for (int y = 0; y < ny; ++y) {
            slopeRow(d, y, z, g.data());
            const std::size_t row = d.index(0, y, z);
            const float* shift = d.data() + row;
            const float fy = static_cast<float>(y);
            double data = 0.0;
            double barrier = 0.0;
            for (int x = 0; x < nx; ++x) {
                const float q = barrierValue(g[x]);
                if (!std::isfinite(q)) {
                    value.barrier = std::numeric_limits<double>::infinity();
                    return value;
                }
                barrier += static_cast<double>(q);
                const float a = sampleSplineLine(firstSlice + x, stride, ny, fy + shift[x]);
                const float b = sampleSplineLine(secondSlice + x, stride, ny, fy - shift[x]);
                const float r = a * (1.0f + g[x]) - b * (1.0f - g[x]);
                data += static_cast<double>(r * r);
            }
            value.data += 0.5 * data;
            value.barrier += barrier;
            value.smoothness += smoothnessRow(d, y, z, factors);
        }
    }
    return value;
}

void lineariseObjective(const PreciseLevel& level, const PreciseWeights& weights, const Volume& d, Linearisation& out)
{
    const Dimensions extent = d.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t stride = static_cast<std::size_t>(nx);
    for (Volume* v : {&out.residual, &out.p, &out.q, &out.barrierCurvature, &out.gradient})
        if (v->dimensions() != extent) *v = Volume(extent);
    const std::array<double, 3> factors = smoothnessFactors(level.voxelSize);
    const float beta = static_cast<float>(weights.barrier);
    std::vector<float> g(stride);
    out.value = ObjectiveValue{};

    // First pass: residual and its derivatives per voxel; the gradient volume holds
    // s = q r + beta Q'(g) for the second pass.
    for (int z = 0; z < nz; ++z) {
        const float* firstSlice = level.firstSpline.data() + level.firstSpline.index(0, 0, z);
        const float* secondSlice = level.secondSpline.data() + level.secondSpline.index(0, 0, z);
        for (int y = 0; y < ny; ++y) {
            slopeRow(d, y, z, g.data());
            const bool interior = y > 0 && y + 1 < ny;
            const std::size_t row = d.index(0, y, z);
            const float* shift = d.data() + row;
            float* r = out.residual.data() + row;
            float* p = out.p.data() + row;
            float* q = out.q.data() + row;
            float* c = out.barrierCurvature.data() + row;
            float* s = out.gradient.data() + row;
            const float fy = static_cast<float>(y);
            double data = 0.0;
            double barrier = 0.0;
            for (int x = 0; x < nx; ++x) {
                const float gx = g[x];
                barrier += static_cast<double>(barrierValue(gx));
                const SplineSample a = sampleSplineLineWithSlope(firstSlice + x, stride, ny, fy + shift[x]);
                const SplineSample b = sampleSplineLineWithSlope(secondSlice + x, stride, ny, fy - shift[x]);
                const float residual = a.value * (1.0f + g[x]) - b.value * (1.0f - g[x]);
                data += static_cast<double>(residual * residual);
                r[x] = residual;
                p[x] = a.slope * (1.0f + g[x]) + b.slope * (1.0f - g[x]);
                if (interior) {
                    q[x] = a.value + b.value;
                    c[x] = beta * barrierCurvature(gx);
                    s[x] = q[x] * residual + beta * barrierSlope(gx);
                } else {
                    q[x] = 0.0f;
                    c[x] = 0.0f;
                    s[x] = 0.0f;
                }
            }
            out.value.data += 0.5 * data;
            out.value.barrier += barrier;
            out.value.smoothness += smoothnessRow(d, y, z, factors);
        }
    }

    // Second pass: gradient = p r + D's + 2 alpha L d, with (D's)_y = (s_{y-1} - s_{y+1})/2.
    // Rows are written from the top down, so s of row y+1 is gone when row y needs it:
    // keep the rows of s that are still needed.
    std::vector<float> sAbove(stride), sHere(stride), sBelow(stride);
    const float twoAlpha = static_cast<float>(2.0 * weights.smoothness);
    for (int z = 0; z < nz; ++z) {
        const auto sRow = [&](int y) { return out.gradient.data() + out.gradient.index(0, y, z); };
        std::fill(sBelow.begin(), sBelow.end(), 0.0f);
        std::copy(sRow(0), sRow(0) + nx, sHere.begin());
        for (int y = 0; y < ny; ++y) {
            if (y + 1 < ny)
                std::copy(sRow(y + 1), sRow(y + 1) + nx, sAbove.begin());
            else
                std::fill(sAbove.begin(), sAbove.end(), 0.0f);
            const std::size_t row = d.index(0, y, z);
            const float* r = out.residual.data() + row;
            const float* p = out.p.data() + row;
            float* gradient = out.gradient.data() + row;
            for (int x = 0; x < nx; ++x) gradient[x] = p[x] * r[x] + 0.5f * (sBelow[x] - sAbove[x]);
            addSmoothnessRow(d, y, z, factors, twoAlpha, gradient);
            std::swap(sBelow, sHere);
            std::swap(sHere, sAbove);
        }
    }
}

void hessianProduct(const PreciseLevel& level, const PreciseWeights& weights, const Linearisation& lin,
                    const Volume& v, Volume& out)
{
    const Dimensions extent = v.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t stride = static_cast<std::size_t>(nx);
    if (out.dimensions() != extent) out = Volume(extent);
    const std::array<double, 3> factors = smoothnessFactors(level.voxelSize);
    const float twoAlpha = static_cast<float>(2.0 * weights.smoothness);
    // Per row: Dv, u = p v + q Dv (J v), t = q u + c Dv; out = p u + D't + 2 alpha L v.
    // t of rows y-1 and y+1 is needed for row y: three rows of t are kept.
    std::vector<float> tBelow(stride), tHere(stride), tAbove(stride), uHere(stride), uAbove(stride);
    std::vector<float> dv(stride);
    const auto rowTerms = [&](int y, int z, float* u, float* t) {
        const std::size_t row = v.index(0, y, z);
        const float* vr = v.data() + row;
        const float* p = lin.p.data() + row;
        const float* q = lin.q.data() + row;
        const float* c = lin.barrierCurvature.data() + row;
        if (y == 0 || y + 1 == ny) {
            for (int x = 0; x < nx; ++x) {
                u[x] = p[x] * vr[x];
                t[x] = 0.0f;
            }
            return;
        }
        const float* below = vr - nx;
        const float* above = vr + nx;
        for (int x = 0; x < nx; ++x) {
            const float slope = 0.5f * (above[x] - below[x]);
            u[x] = p[x] * vr[x] + q[x] * slope;
            t[x] = q[x] * u[x] + c[x] * slope;
        }
    };
    for (int z = 0; z < nz; ++z) {
        std::fill(tBelow.begin(), tBelow.end(), 0.0f);
        rowTerms(0, z, uHere.data(), tHere.data());
        for (int y = 0; y < ny; ++y) {
            if (y + 1 < ny)
                rowTerms(y + 1, z, uAbove.data(), tAbove.data());
            else
                std::fill(tAbove.begin(), tAbove.end(), 0.0f);
            const std::size_t row = v.index(0, y, z);
            const float* p = lin.p.data() + row;
            float* o = out.data() + row;
            for (int x = 0; x < nx; ++x) o[x] = p[x] * uHere[x] + 0.5f * (tBelow[x] - tAbove[x]);
            addSmoothnessRow(v, y, z, factors, twoAlpha, o);
            std::swap(tBelow, tHere);
            std::swap(tHere, tAbove);
            std::swap(uHere, uAbove);
        }
    }
}
