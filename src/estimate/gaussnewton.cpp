// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/gaussnewton.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/stoprequest.h"
#include "estimate/lineband.h"

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

// a += s b
void addScaled(Volume& a, float s, const Volume& b)
{
    float* x = a.data();
    const float* y = b.data();
    for (std::size_t i = 0, n = a.size(); i < n; ++i) x[i] += s * y[i];
}

struct Workspace {
    Linearisation lin;
    LineBandFactors band;
    Volume residual, preconditioned, direction, product, trial;
};

// Solves H step = -gradient approximately; returns the iterations used.
int conjugateGradients(const PreciseLevel& level, const PreciseWeights& weights, Workspace& w, Volume& step,
                       const GaussNewtonLimits& limits)
{
    const Dimensions extent = w.lin.gradient.dimensions();
    if (step.dimensions() != extent) step = Volume(extent);
    std::fill(step.data(), step.data() + step.size(), 0.0f);
    if (w.residual.dimensions() != extent) w.residual = Volume(extent);
    const float* gradient = w.lin.gradient.data();
    float* residual = w.residual.data();
    for (std::size_t i = 0, n = w.residual.size(); i < n; ++i) residual[i] = -gradient[i];
    const double target = limits.cgTolerance * std::sqrt(dot(w.residual, w.residual));
    solveLineBands(w.band, w.residual, w.preconditioned);
    w.direction = w.preconditioned;
    double rz = dot(w.residual, w.preconditioned);
    int iterations = 0;
    while (iterations < limits.cgIterations) {
        hessianProduct(level, weights, w.lin, w.direction, w.product);
        const double curvature = dot(w.direction, w.product);
        if (!(curvature > 0.0)) break;
        const float a = static_cast<float>(rz / curvature);
        addScaled(step, a, w.direction);
        addScaled(w.residual, -a, w.product);
        ++iterations;
        if (std::sqrt(dot(w.residual, w.residual)) <= target) break;
        solveLineBands(w.band, w.residual, w.preconditioned);
        const double rzNext = dot(w.residual, w.preconditioned);
        const float b = static_cast<float>(rzNext / rz);
        rz = rzNext;
        float* dir = w.direction.data();
        const float* z = w.preconditioned.data();
        for (std::size_t i = 0, n = w.direction.size(); i < n; ++i) dir[i] = z[i] + b * dir[i];
    }
    return iterations;
}

// The largest t in (0, 1] for which d + t step keeps every |central difference| below 1,
// reduced a little so that the barrier stays finite in single precision.
double feasibleFraction(const Volume& d, const Volume& step)
{
    const int nx = d.nx(), ny = d.ny(), nz = d.nz();
    float lanes[kLanes];
    std::fill(lanes, lanes + kLanes, 1.0f);
    // |g + t s| < 1 holds for t < (1 - sign(s) g) / |s|.
    const auto limit = [](float g, float s) {
        const float reach = 1.0f - (s > 0.0f ? g : -g);
        const float speed = std::fabs(s);
        return speed > 0.0f ? reach / speed : 1.0f;
    };
    for (int z = 0; z < nz; ++z)
        for (int y = 1; y + 1 < ny; ++y) {
            const float* dBelow = d.data() + d.index(0, y - 1, z);
            const float* dAbove = d.data() + d.index(0, y + 1, z);
            const float* sBelow = step.data() + step.index(0, y - 1, z);
            const float* sAbove = step.data() + step.index(0, y + 1, z);
            int x = 0;
            for (; x + static_cast<int>(kLanes) <= nx; x += static_cast<int>(kLanes))
                for (std::size_t k = 0; k < kLanes; ++k) {
                    const std::size_t i = static_cast<std::size_t>(x) + k;
                    lanes[k] = std::min(lanes[k], limit(0.5f * (dAbove[i] - dBelow[i]), 0.5f * (sAbove[i] - sBelow[i])));
                }
            for (; x < nx; ++x)
                lanes[0] = std::min(lanes[0], limit(0.5f * (dAbove[x] - dBelow[x]), 0.5f * (sAbove[x] - sBelow[x])));
        }
    const float largest = *std::min_element(lanes, lanes + kLanes);
    return largest >= 1.0f ? 1.0 : 0.95 * static_cast<double>(largest);
}

}  // namespace

GaussNewtonReport minimiseOnLevel(const PreciseLevel& level, const PreciseWeights& weights, Volume& d,
                                  const GaussNewtonLimits& limits)
{
    GaussNewtonReport report;
    Workspace w;
    Volume step;
    lineariseObjective(level, weights, d, w.lin);
    double objective = w.lin.value.total(weights);
    report.startObjective = objective;
    report.endObjective = objective;
    constexpr double kSufficientDecrease = 1e-4;
    constexpr int kHalvings = 12;
    for (int iteration = 0; iteration < limits.steps; ++iteration) {
        throwIfStopRequested();
        factoriseLineBands(level, weights, w.lin, w.band);
        report.cgIterations += conjugateGradients(level, weights, w, step, limits);
        const double slope = dot(w.lin.gradient, step);
        if (!(slope < 0.0)) break;
        double t = feasibleFraction(d, step);
        bool accepted = false;
        double trialObjective = objective;
        for (int halving = 0; halving <= kHalvings; ++halving, t *= 0.5) {
            w.trial = d;
            addScaled(w.trial, static_cast<float>(t), step);
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

