// SPDX-License-Identifier: GPL-3.0-or-later
// The relaxation of the precise estimate's multigrid preconditioner: the part of the
// Gauss-Newton Hessian that couples voxels along y (the data term and the bending term
// along y, a band of half-width 2 on every line) plus the diagonal of the bending term
// across lines, factorised exactly line by line as L D L'.
#pragma once

#include "core/volume.h"
#include "estimate/preciseobjective.h"

struct LineBandFactors {
    Volume inverseDiagonal;  // 1 / D
    Volume first;            // L(y+1, y)
    Volume second;           // L(y+2, y)
};

void factoriseLineBands(const HessianCoefficients& h, const Regularisation& regularisation, LineBandFactors& factors);

// out = M^-1 r with M the factorised band matrix; out may not be r.
void solveLineBands(const LineBandFactors& factors, const Volume& r, Volume& out);
