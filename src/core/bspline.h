// SPDX-License-Identifier: GPL-3.0-or-later
// Interpolating cubic B-spline with zero coefficients outside the volume.
#pragma once

#include <cmath>
#include <vector>

#include "core/volume.h"

// The four indices f+2, f+1, f, f-1 of one axis at a coordinate with floor f, and their
// weights; indices outside [0, n-1] get weight 0 and a harmless in-range index.
struct AxisWeights {
    int first;  // f + 2: index[k] is first - k where it lies inside
    int index[4];
    double weight[4];
};

// The cubic B-spline's weights of the coefficients f+2, f+1, f, f-1 at t = x - f, for a
// double or a vector of them: the lane samplers do the one-voxel arithmetic exactly.
template <class Real>
[[gnu::always_inline]] inline void cubicWeights(const Real& t, Real (&w)[4])
{
    const Real c = t * t * t / 6.0;
    const Real wm1 = (t - 1.0) * (t / 2.0) + 1.0 / 6.0 - c;
    const Real w1 = t - 2.0 * c + wm1;
    w[0] = c;
    w[1] = w1;
    w[2] = 1.0 - c - w1 - wm1;
    w[3] = wm1;
}

// The weights with which every sample of the spline at the coordinate combines the
// coefficients of one axis; false when no index lies inside (the sample is 0), also for NaN.
// Inline: the samplers call it once for every voxel.
[[gnu::always_inline]] inline bool axisWeights(float coordinate, int n, AxisWeights& out)
{
    const double x = coordinate;
    if (!(x >= -2.0 && x < static_cast<double>(n) + 1.0)) return false;
    const double f = std::floor(x);
    double w[4];
    cubicWeights(x - f, w);
    const int first = static_cast<int>(f) + 2;
    out.first = first;
    for (int k = 0; k < 4; ++k) {
        const int i = first - k;
        const bool inside = i >= 0 && i < n;
        out.index[k] = inside ? i : 0;
        out.weight[k] = inside ? w[k] : 0.0;
    }
    return true;
}

std::vector<double> bsplineCoefficients(const float* values, Dimensions extent);
void sampleBspline(const std::vector<double>& coefficients, Dimensions extent, const std::vector<Point3>& positions,
                   float* results);

// The values that sampleBspline gives at (x, y + sign*shifts(x, y, z), z) for every voxel
// of the extent, written in storage order; faster because x and z are integers.
void sampleBsplineShiftedY(const std::vector<double>& coefficients, Dimensions extent, const Volume& shifts,
                           float sign, float* results);
