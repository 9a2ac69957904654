// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/gaussnewton.h"

#include <cmath>

#include "core/stoprequest.h"
#include "core/vectorlanes.h"
#include "estimate/multigrid.h"

namespace {

// Sums in eight interleaved double lanes, added up in lane order at the end: the lanes
// are independent, so the loop vectorises without changing any lane's arithmetic.
constexpr std::size_t kLanes = 8;

double dot(const Volume& a, const Volume& b)
{
    const float* x = a.data();
    const float* y = b.data();
    const std::size_t n = a.size();
    double lanes[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) lanes[k] += static_cast<double>(x[i + k] * y[i + k]);
    for (; i < n; ++i) lanes[0] += static_cast<double>(x[i] * y[i]);
    double sum = 0.0;
    for (double lane : lanes) sum += lane;
    return sum;
}

// Elements per piece of the element-wise loops.
constexpr std::size_t kElementsPerPiece = 16384;

// out = a + s b, element by element.
void addScaled(const Volume& a, float s, const Volume& b, Volume& out)
{
    const float* x = a.data();
    const float* y = b.data();
    float* o = out.data();
    forEachBlockInLanes(out.size(), kElementsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) o[i] = x[i] + s * y[i];
    });
}

struct Workspace {
    Linearisation lin;
    Regularisation regularisation;
    Multigrid multigrid;
    Volume residual, preconditioned, direction, product, trial, scratch;
};

// Solves H step = -gradient approximately; returns the iterations used.
int conjugateGradients(Workspace& w, Volume& step, const GaussNewtonLimits& limits)
{
    const Dimensions extent = w.lin.gradient.dimensions();
    if (step.dimensions() != extent) step = Volume(extent);
    std::fill(step.data(), step.data() + step.size(), 0.0f);
    if (w.residual.dimensions() != extent) w.residual = Volume(extent);
    const float* gradient = w.lin.gradient.data();
    float* residual = w.residual.data();
    forEachBlockInLanes(w.residual.size(), kElementsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) residual[i] = -gradient[i];
    });
    const double target = limits.cgTolerance * std::sqrt(dot(w.residual, w.residual));
    applyMultigrid(w.multigrid, w.residual, w.preconditioned);
    w.direction = w.preconditioned;
    double rz = dot(w.residual, w.preconditioned);
    int iterations = 0;
    while (iterations < limits.cgIterations) {
        systemProduct(w.lin.hessian, w.regularisation, w.direction, w.product, w.scratch);
        const double curvature = dot(w.direction, w.product);
        if (!(curvature > 0.0)) break;
        const float a = static_cast<float>(rz / curvature);
        addScaled(step, a, w.direction, step);
        addScaled(w.residual, -a, w.product, w.residual);
        ++iterations;
        if (std::sqrt(dot(w.residual, w.residual)) <= target) break;
        applyMultigrid(w.multigrid, w.residual, w.preconditioned);
        const double rzNext = dot(w.residual, w.preconditioned);
        const float b = static_cast<float>(rzNext / rz);
        rz = rzNext;
        float* dir = w.direction.data();
        const float* z = w.preconditioned.data();
        forEachBlockInLanes(w.direction.size(), kElementsPerPiece, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) dir[i] = z[i] + b * dir[i];
        });
    }
    return iterations;
}

}  // namespace

GaussNewtonReport minimiseOnLevel(const PreciseLevel& level, const PreciseWeights& weights, Volume& d,
                                  const GaussNewtonLimits& limits)
{
    GaussNewtonReport report;
    Workspace w;
    w.regularisation = regularisationOf(level, weights);
    Volume step;
    lineariseObjective(level, weights, d, w.lin);
    double objective = w.lin.value.total(weights);
    report.startObjective = objective;
    report.endObjective = objective;
    constexpr double kSufficientDecrease = 1e-4;
    constexpr int kHalvings = 12;
    for (int iteration = 0; iteration < limits.steps; ++iteration) {
        throwIfStopRequested();
        prepareMultigrid(w.lin.hessian, w.regularisation, w.multigrid);
        report.cgIterations += conjugateGradients(w, step, limits);
        const double slope = dot(w.lin.gradient, step);
        if (!(slope < 0.0)) break;
        double t = 1.0;
        bool accepted = false;
        double trialObjective = objective;
        for (int halving = 0; halving <= kHalvings; ++halving, t *= 0.5) {
            if (w.trial.dimensions() != d.dimensions()) w.trial = Volume(d.dimensions());
            addScaled(d, static_cast<float>(t), step, w.trial);
            trialObjective = evaluateObjective(level, w.trial).total(weights);
            ++report.evaluations;
            if (trialObjective <= objective + kSufficientDecrease * t * slope) {
                accepted = true;
                break;
            }
        }
        if (!accepted) break;
        std::swap(d, w.trial);
        ++report.steps;
        const double decrease = objective - trialObjective;
        lineariseObjective(level, weights, d, w.lin);
        objective = w.lin.value.total(weights);
        report.endObjective = objective;
        if (decrease < limits.relativeDecrease * std::fabs(objective)) break;
    }
    return report;
}
