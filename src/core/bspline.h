// SPDX-License-Identifier: GPL-3.0-or-later
// Interpolating cubic B-spline with zero coefficients outside the volume.
#pragma once

#include <vector>

#include "core/volume.h"

// The four indices f+2, f+1, f, f-1 of one axis at a coordinate with floor f, and their
// weights; indices outside [0, n-1] get weight 0 and a harmless in-range index.
struct AxisWeights {
    int first;  // f + 2: index[k] is first - k where it lies inside
    int index[4];
    double weight[4];
};

// The weights with which every sample of the spline at the coordinate combines the
// coefficients of one axis; false when no index lies inside (the sample is 0), also for NaN.
bool axisWeights(float coordinate, int n, AxisWeights& out);

std::vector<double> bsplineCoefficients(const float* values, Dimensions extent);
void sampleBspline(const std::vector<double>& coefficients, Dimensions extent, const std::vector<Point3>& positions,
                   float* results);

// The values that sampleBspline gives at (x, y + sign*shifts(x, y, z), z) for every voxel
// of the extent, written in storage order; faster because x and z are integers.
void sampleBsplineShiftedY(const std::vector<double>& coefficients, Dimensions extent, const Volume& shifts,
                           float sign, float* results);
