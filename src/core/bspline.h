// SPDX-License-Identifier: GPL-3.0-or-later
// Interpolating cubic B-spline with zero coefficients outside the volume.
#pragma once

#include <vector>

#include "core/volume.h"

std::vector<double> bsplineCoefficients(const float* values, Dimensions extent);
void sampleBspline(const std::vector<double>& coefficients, Dimensions extent, const std::vector<Point3>& positions,
                   float* results);

// The values that sampleBspline gives at (x, y + sign*shifts(x, y, z), z) for every voxel
// of the extent, written in storage order; faster because x and z are integers.
void sampleBsplineShiftedY(const std::vector<double>& coefficients, Dimensions extent, const Volume& shifts,
                           float sign, float* results);
