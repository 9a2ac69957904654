// SPDX-License-Identifier: GPL-3.0-or-later
// The preconditioner of the precise estimate's Gauss-Newton systems: one multigrid V-cycle.
// The line bands solve the coupling along y exactly but leave the smooth components across
// lines, which the bending term couples over long distances, to converge slowly; coarser
// grids carry those. Each coarser grid halves the axes as the image pyramid does, and its
// system sums the finer one's coefficients over the halved blocks, scaled as derivatives
// of a trilinearly interpolated correction scale (a Galerkin approximation for smooth
// corrections). Damped line-band relaxation on every grid; trilinear interpolation to the
// finer grid and its transpose to the coarser one.
#pragma once

#include <vector>

#include "core/volume.h"
#include "estimate/lineband.h"
#include "estimate/mappyramid.h"
#include "estimate/preciseobjective.h"

struct SystemGrid {
    HessianCoefficients hessian;  // empty on the finest grid, whose coefficients come from outside
    Regularisation regularisation;
    LineBandFactors band;
    HalvedAxes halving{};  // from the next finer grid to this one
    Volume solution, correction, product, residual, scratch, coarseResidual;  // working space
};

struct Multigrid {
    const HessianCoefficients* finest = nullptr;
    std::vector<SystemGrid> grids;  // finest first
};

// Builds the grids for the system (the coefficients must outlive the preconditioner's use).
void prepareMultigrid(const HessianCoefficients& finest, const Regularisation& regularisation, Multigrid& multigrid);

// z = M^-1 r, one symmetric V-cycle from z = 0; z may not be r.
void applyMultigrid(Multigrid& multigrid, const Volume& r, Volume& z);
