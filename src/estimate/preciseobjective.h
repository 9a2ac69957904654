// SPDX-License-Identifier: GPL-3.0-or-later
// The objective of the precise estimate on one level of the image pyramid:
//
//   J(d) = 1/2 sum (A(y+d)(1+g) - B(y-d)(1-g))^2 + alpha S(d) + beta sum Q(g)
//
// d is the displacement in voxels along y, g its central difference along y (0 in the
// first and last row), so that A(y+d)(1+g) and B(y-d)(1-g) are the two acquisitions
// corrected with their change of intensity (sampled by cubic B-splines along y). S sums
// the squared forward differences of d along x, y and z,
// each times (h_y/h_k)^2: the integral of the squared gradient of the displacement in mm,
// divided by the voxel volume, so that the weights hold for any voxel size. Q(g) =
// P(1+g) + P(1-g) with P(v) = (v^2-1)^2/v keeps both Jacobians positive: the map never
// folds.
#pragma once

#include <array>

#include "core/volume.h"

struct PreciseWeights {
    double smoothness = 0.0;  // alpha
    double barrier = 0.0;     // beta
};

// The spline coefficients along y of the two images of one level (the first corrected
// with +d, the second with -d) and the level's voxel size in mm.
struct PreciseLevel {
    Volume firstSpline;
    Volume secondSpline;
    std::array<double, 3> voxelSize{};
};

PreciseLevel makePreciseLevel(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize);

// (h_y/h_x)^2, 1, (h_y/h_z)^2.
std::array<double, 3> smoothnessFactors(const std::array<double, 3>& voxelSize);

struct ObjectiveValue {
    double data = 0.0;        // 1/2 sum r^2
    double smoothness = 0.0;  // S(d), before alpha
    double barrier = 0.0;     // sum Q(g), before beta; infinite where |g| >= 1
    double total(const PreciseWeights& weights) const;
};

// The barrier per voxel, Q(g) = g^2 (6 + 2/(1-g^2)) (infinite for |g| >= 1), and its
// first two derivatives.
float barrierValue(float g);
float barrierSlope(float g);
float barrierCurvature(float g);

// Infinite when some |g| >= 1 (the map folds there).
ObjectiveValue evaluateObjective(const PreciseLevel& level, const Volume& d);

// The objective linearised at d for a Gauss-Newton step: residual r, its derivatives
// p = dr/dd (direct) and q = dr/dg, the barrier's curvature times beta, and the gradient.
// The Gauss-Newton Hessian is J'J + 2 alpha L + beta D' diag(Q'') D with J = diag(p) +
// diag(q) D, D the central difference along y and L the weighted graph Laplacian of S.
struct Linearisation {
    Volume residual;
    Volume p;
    Volume q;
    Volume barrierCurvature;  // beta Q''(g), 0 in the first and last row
    Volume gradient;
    ObjectiveValue value;
};

void lineariseObjective(const PreciseLevel& level, const PreciseWeights& weights, const Volume& d, Linearisation& out);

// out = H v for the Gauss-Newton Hessian H of the linearisation (weights as given there).
void hessianProduct(const PreciseLevel& level, const PreciseWeights& weights, const Linearisation& lin,
                    const Volume& v, Volume& out);

// Largest |g| of the map, over the rows that have a central difference.
float largestSlope(const Volume& d);
