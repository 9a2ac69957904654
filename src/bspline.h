// Interpolating cubic B-spline with zero coefficients outside the volume.
#pragma once

#include <vector>

#include "volume.h"

std::vector<double> bsplineCoefficients(const float* values, Dimensions extent);
void sampleBspline(const std::vector<double>& coefficients, Dimensions extent, const std::vector<Point3>& positions,
                   float* results);
