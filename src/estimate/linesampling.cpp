// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/linesampling.h"

#include <immintrin.h>

#include <climits>
#include <cstring>

#include "core/threadpool.h"
#include "estimate/splinealongy.h"

namespace {

// A sample at t reads rows floor(t) - 1 .. floor(t) + 2, and t lies in (-2, n + 1).
constexpr int kRowPadding = 3;

std::size_t sliceSize(Dimensions e)
{
    return static_cast<std::size_t>(e.x) * (static_cast<std::size_t>(e.y) + 2 * kRowPadding);
}

// Row 0 of slice z.
const float* sliceStart(const LineSplines& s, int z)
{
    return s.coefficients.data() + static_cast<std::size_t>(z) * sliceSize(s.extent) +
           kRowPadding * static_cast<std::size_t>(s.extent.x);
}

// One line's sample, as sampleSplineLine(WithSlope) computes it; the zero rows stand in
// for the coefficients outside the line, whose terms it leaves out.
void sampleOne(const float* line, std::size_t stride, int n, float t, float* value, float* slope)
{
    if (!(t > -2.0f && t < static_cast<float>(n) + 1.0f)) {
        *value = 0.0f;
        if (slope) *slope = 0.0f;
        return;
    }
    const int f = splinedetail::lowerIndex(t);
    const float u = t - static_cast<float>(f);
    const float* c = line + static_cast<std::ptrdiff_t>(f - 1) * static_cast<std::ptrdiff_t>(stride);
    const float c0 = c[0], c1 = c[stride], c2 = c[2 * stride], c3 = c[3 * stride];
    float w[4];
    splinedetail::valueWeights(u, w);
    *value = w[0] * c0 + w[1] * c1 + w[2] * c2 + w[3] * c3;
    if (slope) {
        splinedetail::slopeWeights(u, w);
        *slope = w[0] * c0 + w[1] * c1 + w[2] * c2 + w[3] * c3;
    }
}

void sampleFrom(const LineSplines& s, int z, int from, const float* t, float* values, float* slopes)
{
    const float* start = sliceStart(s, z);
    const std::size_t stride = static_cast<std::size_t>(s.extent.x);
    for (int x = from; x < s.extent.x; ++x)
        sampleOne(start + x, stride, s.extent.y, t[x], values + x, slopes ? slopes + x : nullptr);
}

typedef float Floats8 __attribute__((vector_size(32)));
typedef int Ints8 __attribute__((vector_size(32)));

[[gnu::target("avx2")]] inline void gather(const float* base, const Ints8& index, Floats8& out)
{
    out = reinterpret_cast<Floats8>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
}

// Eight lines at a time, each lane computing sampleOne; compiled into the AVX2 variant by
// flattening, which inlines the gather into a function of its target.
template <bool withSlopes>
void sampleInLanes(const LineSplines& s, int z, const float* t, float* values, float* slopes)
{
    constexpr int kLanes = 8;
    const int nx = s.extent.x, n = s.extent.y;
    const float* start = sliceStart(s, z);
    const float limit = static_cast<float>(n) + 1.0f;
    Ints8 lane;
    for (int k = 0; k < kLanes; ++k) lane[k] = k;
    int x0 = 0;
    for (; x0 + kLanes <= nx; x0 += kLanes) {
        Floats8 at;
        std::memcpy(&at, t + x0, sizeof at);
        const Ints8 inside = (at > -2.0f) & (at < limit);
        at = inside ? at : Floats8{};
        const Ints8 f = __builtin_convertvector(at + 3.0f, Ints8) - 3;
        const Floats8 u = at - __builtin_convertvector(f, Floats8);
        const Ints8 first = (f - 1) * nx + lane + x0;
        Floats8 c[4];
        for (int k = 0; k < 4; ++k) gather(start, first + k * nx, c[k]);
        const Floats8 v = 1.0f - u;
        const Floats8 u2 = u * u;
        const Floats8 w0 = v * v * v * (1.0f / 6.0f);
        const Floats8 w1 = (4.0f - 6.0f * u2 + 3.0f * u2 * u) * (1.0f / 6.0f);
        const Floats8 w2 = (1.0f + 3.0f * u + 3.0f * u2 - 3.0f * u2 * u) * (1.0f / 6.0f);
        const Floats8 w3 = u2 * u * (1.0f / 6.0f);
        const Floats8 value = inside ? w0 * c[0] + w1 * c[1] + w2 * c[2] + w3 * c[3] : Floats8{};
        std::memcpy(values + x0, &value, sizeof value);
        if constexpr (withSlopes) {
            const Floats8 d0 = -0.5f * v * v;
            const Floats8 d1 = 1.5f * u2 - 2.0f * u;
            const Floats8 d2 = 0.5f + u - 1.5f * u2;
            const Floats8 d3 = 0.5f * u2;
            const Floats8 slope = inside ? d0 * c[0] + d1 * c[1] + d2 * c[2] + d3 * c[3] : Floats8{};
            std::memcpy(slopes + x0, &slope, sizeof slope);
        }
    }
    sampleFrom(s, z, x0, t, values, slopes);
}

[[gnu::target("avx2"), gnu::flatten]] void sampleAvx2(const LineSplines& s, int z, const float* t, float* values,
                                                      float* slopes)
{
    if (slopes) sampleInLanes<true>(s, z, t, values, slopes);
    else sampleInLanes<false>(s, z, t, values, slopes);
}

void samplePortable(const LineSplines& s, int z, const float* t, float* values, float* slopes)
{
    sampleFrom(s, z, 0, t, values, slopes);
}

using Sampler = void (*)(const LineSplines&, int, const float*, float*, float*);

// Lanes index a slice with 32-bit integers.
Sampler fastestSampler(const LineSplines& s)
{
    if (sliceSize(s.extent) > static_cast<std::size_t>(INT_MAX / 2)) return samplePortable;
    if (__builtin_cpu_supports("avx2")) return sampleAvx2;
    return samplePortable;
}

}  // namespace

LineSplines lineSplines(const Volume& image)
{
    const Dimensions e = image.dimensions();
    LineSplines result{e, std::vector<float>(sliceSize(e) * static_cast<std::size_t>(e.z), 0.0f)};
    forEachPiece(static_cast<std::size_t>(e.z), [&](std::size_t z) {
        float* row0 = result.coefficients.data() + z * sliceSize(e) + kRowPadding * static_cast<std::size_t>(e.x);
        sliceSplineCoefficientsAlongY(image, static_cast<int>(z), row0);
    });
    return result;
}

void sampleLines(const LineSplines& splines, int z, const float* t, float* values, float* slopes)
{
    fastestSampler(splines)(splines, z, t, values, slopes);
}
