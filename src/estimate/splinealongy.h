// SPDX-License-Identifier: GPL-3.0-or-later
// Interpolating cubic B-splines along y only, with every coefficient outside a line taken
// as zero: the sampling of the precise estimate. x and z stay on the grid, so a sample of
// the whole-volume spline at (x, t, z) equals the sample of the line's own spline at t.
#pragma once

#include <cstddef>

#include "core/volume.h"

// The coefficients of every line along y of the image (solved in double, stored in float).
Volume splineCoefficientsAlongY(const Volume& image);

// The same for the lines of slice z alone, written row by row (x fastest) to out.
void sliceSplineCoefficientsAlongY(const Volume& image, int z, float* out);

// Value and derivative along y of one line's spline at position t (voxel units); the
// line's coefficients are line[0], line[stride], ... line[(n-1)*stride]. Positions outside
// (-2, n+1), and NaN, give 0.
struct SplineSample {
    float value = 0.0f;
    float slope = 0.0f;
};

namespace splinedetail {

// Index of the lower neighbour, floor(t), for t inside (-2, n+1).
inline int lowerIndex(float t)
{
    return static_cast<int>(t + 3.0f) - 3;
}

// The weights of coefficients f-1 .. f+2 at the fraction u = t - f, and their derivatives.
inline void valueWeights(float u, float* w)
{
    const float v = 1.0f - u;
    const float u2 = u * u;
    w[0] = v * v * v * (1.0f / 6.0f);
    w[1] = (4.0f - 6.0f * u2 + 3.0f * u2 * u) * (1.0f / 6.0f);
    w[2] = (1.0f + 3.0f * u + 3.0f * u2 - 3.0f * u2 * u) * (1.0f / 6.0f);
    w[3] = u2 * u * (1.0f / 6.0f);
}

inline void slopeWeights(float u, float* w)
{
    const float v = 1.0f - u;
    const float u2 = u * u;
    w[0] = -0.5f * v * v;
    w[1] = 1.5f * u2 - 2.0f * u;
    w[2] = 0.5f + u - 1.5f * u2;
    w[3] = 0.5f * u2;
}

}  // namespace splinedetail

inline float sampleSplineLine(const float* line, std::size_t stride, int n, float t)
{
    if (!(t > -2.0f && t < static_cast<float>(n) + 1.0f)) return 0.0f;
    const int f = splinedetail::lowerIndex(t);
    float w[4];
    splinedetail::valueWeights(t - static_cast<float>(f), w);
    if (f >= 1 && f + 2 < n) {
        const float* c = line + static_cast<std::size_t>(f - 1) * stride;
        return w[0] * c[0] + w[1] * c[stride] + w[2] * c[2 * stride] + w[3] * c[3 * stride];
    }
    float sum = 0.0f;
    for (int k = 0; k < 4; ++k) {
        const int i = f - 1 + k;
        if (i >= 0 && i < n) sum += w[k] * line[static_cast<std::size_t>(i) * stride];
    }
    return sum;
}

inline SplineSample sampleSplineLineWithSlope(const float* line, std::size_t stride, int n, float t)
{
    if (!(t > -2.0f && t < static_cast<float>(n) + 1.0f)) return {};
    const int f = splinedetail::lowerIndex(t);
    const float u = t - static_cast<float>(f);
    float w[4];
    float dw[4];
    splinedetail::valueWeights(u, w);
    splinedetail::slopeWeights(u, dw);
    if (f >= 1 && f + 2 < n) {
        const float* c = line + static_cast<std::size_t>(f - 1) * stride;
        const float c0 = c[0], c1 = c[stride], c2 = c[2 * stride], c3 = c[3 * stride];
        return {w[0] * c0 + w[1] * c1 + w[2] * c2 + w[3] * c3, dw[0] * c0 + dw[1] * c1 + dw[2] * c2 + dw[3] * c3};
    }
    SplineSample s;
    for (int k = 0; k < 4; ++k) {
        const int i = f - 1 + k;
        if (i < 0 || i >= n) continue;
        const float c = line[static_cast<std::size_t>(i) * stride];
        s.value += w[k] * c;
        s.slope += dw[k] * c;
    }
    return s;
}
