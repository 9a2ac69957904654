// SPDX-License-Identifier: GPL-3.0-or-later
// The preconditioner of the precise estimate's Gauss-Newton systems: the part of the
// Hessian that couples voxels along y (the data term, the barrier and the smoothness along
// y, a band of half-width 2 on every line) plus the diagonal of the smoothness across
// lines, factorised exactly line by line as L D L'.
#pragma once

#include "core/volume.h"
#include "estimate/preciseobjective.h"

struct LineBandFactors {
    Volume inverseDiagonal;  // 1 / D
    Volume first;            // L(y+1, y)
    Volume second;           // L(y+2, y)
};

void factoriseLineBands(const PreciseLevel& level, const PreciseWeights& weights, const Linearisation& lin,
                        LineBandFactors& factors);

// out = M^-1 r with M the factorised band matrix; out may not be r.
void solveLineBands(const LineBandFactors& factors, const Volume& r, Volume& out);
