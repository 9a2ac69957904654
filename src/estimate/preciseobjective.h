// SPDX-License-Identifier: GPL-3.0-or-later
// The objective of the precise estimate on one level of the image pyramid:
//
//   J(d) = 1/2 sum (A(y+d) [1+g]+ - B(y-d) [1-g]+)^2 + gamma B(d)
//
// d is the displacement in voxels along y, g its central difference along y (0 in the
// first and last row), so that A(y+d)(1+g) and B(y-d)(1-g) are the two acquisitions
// corrected with their change of intensity (sampled by cubic B-splines along y). [v]+ =
// max(v, 0): where the map folds one acquisition ([1+g]+ or [1-g]+ at 0), that
// acquisition has piled several places onto one and says nothing about this one, and the
// fit sees the other alone. The field does fold near air cavities; forbidding it (a
// barrier at |g| = 1) bends the map wrongly along the whole line behind such a place.
// B(d) = sum over the voxels of (sum_k f_k D2_k d)^2, D2_k the second difference along
// axis k where the voxel has both neighbours along it (0 otherwise) and f_k = (h_y/h_k)^2:
// the squared Laplacian of the displacement in mm, per voxel volume, which leaves planes
// of any slope free and holds for any voxel size.
#pragma once

#include <array>
#include <vector>

#include "core/volume.h"

struct PreciseWeights {
    double bending = 0.0;  // gamma
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
    double data = 0.0;     // 1/2 sum r^2
    double bending = 0.0;  // B(d), before gamma
    double total(const PreciseWeights& weights) const;
};

ObjectiveValue evaluateObjective(const PreciseLevel& level, const Volume& d);

// |r| of the voxels with signal (q^2 > 0.01) in the rows that have a central difference,
// in storage order.
std::vector<float> residualMagnitudes(const PreciseLevel& level, const Volume& d);

// The Gauss-Newton Hessian of the data term, per voxel: with the residual's derivatives
// p = dr/dd and q = dr/dg and J = diag(p) + diag(q) D (D the central difference along
// y), J'J = P2 + PQ D + D' PQ + D' E D with P2 = p^2, PQ = p q and E = q^2 (PQ and E 0
// in the first and last row).
struct HessianCoefficients {
    Volume p2;
    Volume pq;
    Volume e;
};

// The objective linearised at d for a Gauss-Newton step: the residuals, the Hessian's
// coefficients and the gradient.
struct Linearisation {
    Volume residual;
    HessianCoefficients hessian;
    Volume gradient;
    Volume carried;  // working space
    ObjectiveValue value;
};

void lineariseObjective(const PreciseLevel& level, const PreciseWeights& weights, const Volume& d, Linearisation& out);

// The bending term of a grid: the factors f_k of its axes and 2 gamma.
struct Regularisation {
    std::array<double, 3> factors{};
    double twoGamma = 0.0;
};
Regularisation regularisationOf(const PreciseLevel& level, const PreciseWeights& weights);

// out = H v with H = the coefficients' matrix + 2 gamma M'M (M the weighted Laplacian of
// B); scratch is working space.
void systemProduct(const HessianCoefficients& h, const Regularisation& regularisation, const Volume& v, Volume& out,
                   Volume& scratch);

// The weighted Laplacian M d of B (d and out of one extent, out overwritten), and
// out += 2 gamma M'm.
void bendingLaplacian(const Volume& d, const std::array<double, 3>& factors, Volume& out);
void addBendingGradient(const Volume& m, const std::array<double, 3>& factors, double twoGamma, Volume& out);

// Largest |g| of the map, over the rows that have a central difference.
float largestSlope(const Volume& d);
