// SPDX-License-Identifier: GPL-3.0-or-later
// Rigid resampling by cubic B-splines. Every sample reads its 4 x 4 x 4 coefficients from
// the padded coefficients without bounds checks: a coefficient outside the volume is a
// stored 0, and a zero term leaves every sum as it was. Where the processor gathers
// (AVX2), a row is sampled eight voxels at a time; each lane does the scalar arithmetic
// in the scalar order, so both variants give the same bits.
#include <immintrin.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "core/bspline.h"
#include "core/rigidmotion.h"
#include "core/threadpool.h"

namespace {

constexpr int kPad = kSplinePadding;

// The padded grid: strides and the offset of voxel (0, 0, 0).
struct Padded {
    std::size_t row;
    std::size_t slice;
    std::size_t origin;
};

Padded paddedGrid(Dimensions e)
{
    const std::size_t row = static_cast<std::size_t>(e.x) + 2 * kPad;
    const std::size_t slice = row * (static_cast<std::size_t>(e.y) + 2 * kPad);
    return {row, slice, kPad * (slice + row + 1)};
}

// The cubic B-spline weights of the four coefficients around t and the first one's index.
struct Taps {
    int first;
    float weight[4];
};

Taps tapsAt(float t)
{
    const float f = std::floor(t);
    const float u = t - f;
    const float v = 1.0f - u;
    const float u2 = u * u;
    return {static_cast<int>(f) - 1,
            {v * v * v * (1.0f / 6.0f), (4.0f - 6.0f * u2 + 3.0f * u2 * u) * (1.0f / 6.0f),
             (1.0f + 3.0f * u + 3.0f * u2 - 3.0f * u2 * u) * (1.0f / 6.0f), u2 * u * (1.0f / 6.0f)}};
}

bool insideSpline(float x, float y, float z, Dimensions e)
{
    return x > -2.0f && x < e.x + 1.0f && y > -2.0f && y < e.y + 1.0f && z > -2.0f && z < e.z + 1.0f;
}

// The spline at (x, y, z) in voxels: 0 more than two voxels outside.
float sampleAt(const SplineVolume& v, const Padded& grid, float x, float y, float z)
{
    if (!insideSpline(x, y, z, v.extent)) return 0.0f;
    const Taps tx = tapsAt(x), ty = tapsAt(y), tz = tapsAt(z);
    const float* base = v.coefficients.data() + grid.origin + static_cast<std::ptrdiff_t>(tz.first) * grid.slice +
                        static_cast<std::ptrdiff_t>(ty.first) * grid.row + tx.first;
    float sum = 0.0f;
    for (int c = 0; c < 4; ++c) {
        float plane = 0.0f;
        for (int b = 0; b < 4; ++b) {
            const float* at = base + c * grid.slice + b * grid.row;
            const float line = tx.weight[0] * at[0] + tx.weight[1] * at[1] + tx.weight[2] * at[2] + tx.weight[3] * at[3];
            plane += ty.weight[b] * line;
        }
        sum += tz.weight[c] * plane;
    }
    return sum;
}

// One output row (x from 0) starting at position q (voxels) and moving by step per voxel.
struct RowPath {
    double q[3];
    double step[3];
    float lastSlice = -1.0f;  // slice positions clamped into [0, lastSlice] when not negative
};

float clampedToSlices(const RowPath& path, float z)
{
    return path.lastSlice < 0.0f ? z : std::min(std::max(z, 0.0f), path.lastSlice);
}

float positionAt(const RowPath& path, int axis, int x)
{
    const float at = static_cast<float>(path.q[axis] + x * path.step[axis]);
    return axis == 2 ? clampedToSlices(path, at) : at;
}

// Samples voxels [from, nx) of the row one at a time.
void sampleRowFrom(const SplineVolume& v, const Padded& grid, const RowPath& path, int from, float* out)
{
    for (int x = from; x < v.extent.x; ++x)
        out[x] = sampleAt(v, grid, positionAt(path, 0, x), positionAt(path, 1, x), positionAt(path, 2, x));
}

typedef float Floats8 __attribute__((vector_size(32)));
typedef int Ints8 __attribute__((vector_size(32)));
typedef double Doubles8 __attribute__((vector_size(64)));

// The coefficients at the lanes' indices. The lanes' body below is compiled into the AVX2
// variant by flattening, where this gather is inlined into a function of its target.
[[gnu::target("avx2")]] inline void gather(const float* base, const Ints8& index, Floats8& out)
{
    out = reinterpret_cast<Floats8>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
}

// The row in groups of lanes, each lane the scalar sampleAt of its voxel; the voxels
// after the last whole group one at a time.
template <typename F, typename I, typename D>
void sampleRowInLanes(const SplineVolume& v, const Padded& grid, const RowPath& path,
                                                    float* out)
{
    constexpr int kLanes = sizeof(F) / sizeof(float);
    const Dimensions e = v.extent;
    const float* coefficients = v.coefficients.data();
    D lane;
    for (int k = 0; k < kLanes; ++k) lane[k] = k;
    const int row = static_cast<int>(grid.row), slice = static_cast<int>(grid.slice);
    const int origin = static_cast<int>(grid.origin);
    const float limits[3] = {e.x + 1.0f, e.y + 1.0f, e.z + 1.0f};
    int x0 = 0;
    for (; x0 + kLanes <= e.x; x0 += kLanes) {
        const D xs = lane + static_cast<double>(x0);
        F t[3];
        for (int axis = 0; axis < 3; ++axis) t[axis] = __builtin_convertvector(path.q[axis] + xs * path.step[axis], F);
        if (path.lastSlice >= 0.0f) {
            const F first = F{}, last = F{} + path.lastSlice;
            t[2] = t[2] < first ? first : t[2];
            t[2] = t[2] > last ? last : t[2];
        }
        const I inside = (t[0] > -2.0f) & (t[0] < limits[0]) & (t[1] > -2.0f) & (t[1] < limits[1]) & (t[2] > -2.0f) &
                         (t[2] < limits[2]);
        F w[3][4];
        I first = I{} + (origin - slice - row - 1);  // (-1, -1, -1) from the lower neighbours
        for (int axis = 0; axis < 3; ++axis) {
            // floor(t) from the truncation toward 0 (positions outside sample 0 instead).
            const F at = inside ? t[axis] : F{};
            I whole = __builtin_convertvector(at, I);
            whole += __builtin_convertvector(whole, F) > at;
            const F u = at - __builtin_convertvector(whole, F);
            const F r = 1.0f - u;
            const F u2 = u * u;
            w[axis][0] = r * r * r * (1.0f / 6.0f);
            w[axis][1] = (4.0f - 6.0f * u2 + 3.0f * u2 * u) * (1.0f / 6.0f);
            w[axis][2] = (1.0f + 3.0f * u + 3.0f * u2 - 3.0f * u2 * u) * (1.0f / 6.0f);
            w[axis][3] = u2 * u * (1.0f / 6.0f);
            first += whole * (axis == 0 ? 1 : axis == 1 ? row : slice);
        }
        F sum = F{};
        for (int c = 0; c < 4; ++c) {
            F plane = F{};
            for (int b = 0; b < 4; ++b) {
                const I at = first + (c * slice + b * row);
                F a[4];
                for (int k = 0; k < 4; ++k) gather(coefficients, at + k, a[k]);
                const F line = w[0][0] * a[0] + w[0][1] * a[1] + w[0][2] * a[2] + w[0][3] * a[3];
                plane += w[1][b] * line;
            }
            sum += w[2][c] * plane;
        }
        const F result = inside ? sum : F{};
        std::memcpy(out + x0, &result, sizeof result);
    }
    sampleRowFrom(v, grid, path, x0, out);
}

using RowSampler = void (*)(const SplineVolume&, const Padded&, const RowPath&, float*);

void sampleRowPortable(const SplineVolume& v, const Padded& grid, const RowPath& path, float* out)
{
    sampleRowFrom(v, grid, path, 0, out);
}

[[gnu::target("avx2"), gnu::flatten]] void sampleRowAvx2(const SplineVolume& v, const Padded& grid, const RowPath& path, float* out)
{
    sampleRowInLanes<Floats8, Ints8, Doubles8>(v, grid, path, out);
}

// The AVX2 variant where the processor runs it (16 lanes of AVX-512 gathered more slowly
// than 8 on the processors measured); lanes index the padded coefficients with 32-bit
// integers.
RowSampler fastestSampler(const SplineVolume& v)
{
    if (v.coefficients.size() > static_cast<std::size_t>(INT_MAX)) return sampleRowPortable;
    if (__builtin_cpu_supports("avx2")) return sampleRowAvx2;
    return sampleRowPortable;
}

}  // namespace

SplineVolume splineVolume(const Volume& volume)
{
    const Dimensions e = volume.dimensions();
    const std::vector<double> coefficients = bsplineCoefficients(volume.data(), e);
    const Padded grid = paddedGrid(e);
    SplineVolume result{e, std::vector<float>(grid.slice * (static_cast<std::size_t>(e.z) + 2 * kPad), 0.0f)};
    const std::size_t nx = static_cast<std::size_t>(e.x);
    forEachPiece(static_cast<std::size_t>(e.z), [&](std::size_t z) {
        for (std::size_t y = 0; y < static_cast<std::size_t>(e.y); ++y) {
            const double* from = coefficients.data() + (z * static_cast<std::size_t>(e.y) + y) * nx;
            float* to = result.coefficients.data() + grid.origin + z * grid.slice + y * grid.row;
            for (std::size_t x = 0; x < nx; ++x) to[x] = static_cast<float>(from[x]);
        }
    });
    return result;
}

namespace {

Volume resampled(const SplineVolume& v, const std::array<double, 3>& voxelSize, const RigidTransform& transform,
                 bool clampSlices)
{
    const Dimensions e = v.extent;
    const Rotation& r = transform.rotation;
    const Padded grid = paddedGrid(e);
    const RowSampler sampleRow = fastestSampler(v);
    Volume out(e);
    // The position in voxels moves by a fixed step along a row.
    RowPath path{};
    path.lastSlice = clampSlices ? static_cast<float>(e.z - 1) : -1.0f;
    for (int i = 0; i < 3; ++i) path.step[i] = r[i][0] * voxelSize[0] / voxelSize[i];
    forEachPiece(static_cast<std::size_t>(e.z), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        RowPath row = path;
        for (int y = 0; y < e.y; ++y) {
            const std::array<double, 3> p = gridPosition(0, y, z, e, voxelSize);
            for (int i = 0; i < 3; ++i)
                row.q[i] = (r[i][0] * p[0] + r[i][1] * p[1] + r[i][2] * p[2] + transform.translation[i]) / voxelSize[i] +
                           0.5 * ((i == 0 ? e.x : i == 1 ? e.y : e.z) - 1);
            sampleRow(v, grid, row, out.data() + out.index(0, y, z));
        }
    });
    return out;
}

}  // namespace

Volume resampledRigidly(const SplineVolume& v, const std::array<double, 3>& voxelSize,
                        const RigidTransform& transform)
{
    return resampled(v, voxelSize, transform, false);
}

Volume resampledRigidlyWithinSlices(const SplineVolume& v, const std::array<double, 3>& voxelSize,
                                    const RigidTransform& transform)
{
    return resampled(v, voxelSize, transform, true);
}
