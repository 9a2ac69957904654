// SPDX-License-Identifier: GPL-3.0-or-later
// Minimisation of the precise objective on one level: Gauss-Newton steps solved by
// conjugate gradients preconditioned with a multigrid V-cycle, and a backtracking line
// search.
#pragma once

#include "core/volume.h"
#include "estimate/preciseobjective.h"

struct GaussNewtonLimits {
    int steps = 10;                   // Gauss-Newton steps at most
    double relativeDecrease = 1e-6;   // stop when a step lowers the objective by less
    int cgIterations = 4;             // per step
    double cgTolerance = 0.05;        // relative residual of the step's system
};

struct GaussNewtonReport {
    int steps = 0;
    int cgIterations = 0;
    int evaluations = 0;  // objective evaluations in the line searches
    double startObjective = 0.0;
    double endObjective = 0.0;
};

// Improves d in place.
GaussNewtonReport minimiseOnLevel(const PreciseLevel& level, const PreciseWeights& weights, Volume& d,
                                  const GaussNewtonLimits& limits);
