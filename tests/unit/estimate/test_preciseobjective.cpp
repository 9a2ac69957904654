// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate's objective against a slow double-precision reference written
// here: its value, its gradient against finite differences, the Gauss-Newton Hessian
// product against finite differences of the residuals and of the gradient, and the
// line-band preconditioner against the Hessian it approximates.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/bspline.h"
#include "estimate/lineband.h"
#include "estimate/preciseobjective.h"

namespace {

// A smooth textured image, different for each seed.
Volume smoothImage(Dimensions e, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double px = 0.5 + u(random), py = 0.4 + 0.5 * u(random), pz = 0.7 + u(random);
    Volume v(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                v(x, y, z) = static_cast<float>(1.0 + 0.5 * std::sin(px * x + 0.3) * std::cos(py * y) +
                                                0.3 * std::sin(pz * z + py * y));
    return v;
}

// A smooth map whose central differences along y stay below 0.5.
Volume smoothMap(Dimensions e, double amplitude)
{
    Volume d(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                d(x, y, z) = static_cast<float>(amplitude * std::sin(0.4 * y + 0.3 * x) * std::cos(0.5 * z));
    return d;
}

Volume randomDirection(Dimensions e, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Volume v(e);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = u(random);
    return v;
}

Volume plus(const Volume& a, double t, const Volume& b)
{
    Volume out(a.dimensions());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = static_cast<float>(a[i] + t * b[i]);
    return out;
}

double dot(const Volume& a, const Volume& b)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += static_cast<double>(a[i]) * b[i];
    return sum;
}

// The objective written out directly, in double, sampling with the whole-volume B-spline
// of the core: residuals, smoothness over forward differences, barrier on the central
// differences.
struct Reference {
    Volume first, second;
    std::array<double, 3> voxel;
    PreciseWeights weights;

    double centralDifference(const Volume& d, int x, int y, int z) const
    {
        return (y == 0 || y == d.ny() - 1) ? 0.0 : 0.5 * (static_cast<double>(d(x, y + 1, z)) - d(x, y - 1, z));
    }

    std::vector<double> residuals(const Volume& d) const
    {
        const Dimensions e = d.dimensions();
        std::vector<Point3> plusPositions, minusPositions;
        for (int z = 0; z < e.z; ++z)
            for (int y = 0; y < e.y; ++y)
                for (int x = 0; x < e.x; ++x) {
                    plusPositions.push_back({float(x), float(y) + d(x, y, z), float(z)});
                    minusPositions.push_back({float(x), float(y) - d(x, y, z), float(z)});
                }
        std::vector<float> a(d.size()), b(d.size());
        sampleBspline(bsplineCoefficients(first.data(), e), e, plusPositions, a.data());
        sampleBspline(bsplineCoefficients(second.data(), e), e, minusPositions, b.data());
        std::vector<double> r(d.size());
        for (int z = 0; z < e.z; ++z)
            for (int y = 0; y < e.y; ++y)
                for (int x = 0; x < e.x; ++x) {
                    const std::size_t i = d.index(x, y, z);
                    const double g = centralDifference(d, x, y, z);
                    r[i] = a[i] * (1.0 + g) - b[i] * (1.0 - g);
                }
        return r;
    }

    double smoothness(const Volume& d) const
    {
        const double hy = voxel[1];
        double sum = 0.0;
        for (int z = 0; z < d.nz(); ++z)
            for (int y = 0; y < d.ny(); ++y)
                for (int x = 0; x < d.nx(); ++x) {
                    if (x + 1 < d.nx()) sum += std::pow(hy / voxel[0] * (d(x + 1, y, z) - d(x, y, z)), 2);
                    if (y + 1 < d.ny()) sum += std::pow(d(x, y + 1, z) - d(x, y, z), 2);
                    if (z + 1 < d.nz()) sum += std::pow(hy / voxel[2] * (d(x, y, z + 1) - d(x, y, z)), 2);
                }
        return sum;
    }

    double barrier(const Volume& d) const
    {
        double sum = 0.0;
        for (int z = 0; z < d.nz(); ++z)
            for (int y = 0; y < d.ny(); ++y)
                for (int x = 0; x < d.nx(); ++x) {
                    const double g = centralDifference(d, x, y, z);
                    for (const double v : {1.0 + g, 1.0 - g}) sum += (v * v - 1.0) * (v * v - 1.0) / v;
                }
        return sum;
    }

    double objective(const Volume& d) const
    {
        double data = 0.0;
        for (const double r : residuals(d)) data += 0.5 * r * r;
        return data + weights.smoothness * smoothness(d) + weights.barrier * barrier(d);
    }
};

struct Problem {
    Reference reference;
    PreciseLevel level;
};

Problem makeProblem(const Volume& first, const Volume& second)
{
    const std::array<double, 3> voxel{2.0, 3.0, 4.0};
    const PreciseWeights weights{0.05, 0.01};
    return {{first, second, voxel, weights}, makePreciseLevel(first, second, voxel)};
}

const Dimensions kExtent{9, 14, 4};

} // namespace

TEST(PreciseObjective, ValueMatchesTheReferenceObjective)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 1), smoothImage(kExtent, 2));
    const Volume d = smoothMap(kExtent, 1.2);
    const ObjectiveValue value = evaluateObjective(problem.level, d);
    const double expected = problem.reference.objective(d);
    EXPECT_NEAR(value.total(problem.reference.weights), expected, 1e-5 * expected);
    EXPECT_NEAR(value.smoothness, problem.reference.smoothness(d), 1e-5 * value.smoothness);
    EXPECT_NEAR(value.barrier, problem.reference.barrier(d), 1e-4 * value.barrier);
}

TEST(PreciseObjective, GradientMatchesFiniteDifferencesOfTheObjective)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 3), smoothImage(kExtent, 4));
    const Volume d = smoothMap(kExtent, 1.0);
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, d, lin);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const Volume v = randomDirection(kExtent, seed);
        const double h = 1e-3;
        const double difference =
            (problem.reference.objective(plus(d, h, v)) - problem.reference.objective(plus(d, -h, v))) / (2 * h);
        EXPECT_NEAR(dot(lin.gradient, v), difference, 2e-3 * std::fabs(difference)) << "direction " << seed;
    }
}

// Away from a perfect fit the Gauss-Newton Hessian leaves out the residuals' curvature, so
// u'Hv is checked term by term: (Ju).(Jv) with J from finite differences of the residuals,
// plus the smoothness and barrier terms written out.
TEST(PreciseObjective, HessianProductMatchesTheLinearisedResiduals)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 5), smoothImage(kExtent, 6));
    const Reference& ref = problem.reference;
    const Volume d = smoothMap(kExtent, 1.1);
    Linearisation lin;
    lineariseObjective(problem.level, ref.weights, d, lin);
    const Volume u = randomDirection(kExtent, 7);
    const Volume v = randomDirection(kExtent, 8);
    const auto jacobianTimes = [&](const Volume& w) {
        const double h = 1e-2;
        const std::vector<double> up = ref.residuals(plus(d, h, w));
        const std::vector<double> down = ref.residuals(plus(d, -h, w));
        std::vector<double> out(up.size());
        for (std::size_t i = 0; i < up.size(); ++i) out[i] = (up[i] - down[i]) / (2 * h);
        return out;
    };
    const std::vector<double> ju = jacobianTimes(u);
    const std::vector<double> jv = jacobianTimes(v);
    double expected = 0.0;
    for (std::size_t i = 0; i < ju.size(); ++i) expected += ju[i] * jv[i];
    // S and the barrier are exactly quadratic in the differences: second differences of
    // S(d + a u + b v) give u'(2L)v, and the barrier's curvature is Q''(g) per voxel.
    const auto smoothnessAt = [&](double a, double b) { return ref.smoothness(plus(plus(d, a, u), b, v)); };
    expected += ref.weights.smoothness *
                (smoothnessAt(1, 1) - smoothnessAt(1, -1) - smoothnessAt(-1, 1) + smoothnessAt(-1, -1)) / 4.0;
    for (int z = 0; z < kExtent.z; ++z)
        for (int y = 1; y + 1 < kExtent.y; ++y)
            for (int x = 0; x < kExtent.x; ++x)
                expected += ref.weights.barrier * barrierCurvature(static_cast<float>(ref.centralDifference(d, x, y, z))) *
                            ref.centralDifference(u, x, y, z) * ref.centralDifference(v, x, y, z);
    Volume hv;
    hessianProduct(problem.level, ref.weights, lin, v, hv);
    EXPECT_NEAR(dot(u, hv), expected, 1e-3 * std::fabs(expected));
}

// Where both corrected images agree exactly (the same image, map 0) the Gauss-Newton
// Hessian is the Hessian: H v equals the finite difference of the gradient along v.
TEST(PreciseObjective, HessianProductMatchesFiniteDifferencesOfTheGradientAtAPerfectFit)
{
    const Volume image = smoothImage(kExtent, 9);
    const Problem problem = makeProblem(image, image);
    const Volume d(kExtent, 0.0f);
    const Volume v = randomDirection(kExtent, 10);
    Linearisation lin, up, down;
    lineariseObjective(problem.level, problem.reference.weights, d, lin);
    const double h = 1e-3;
    lineariseObjective(problem.level, problem.reference.weights, plus(d, h, v), up);
    lineariseObjective(problem.level, problem.reference.weights, plus(d, -h, v), down);
    Volume hv;
    hessianProduct(problem.level, problem.reference.weights, lin, v, hv);
    double error = 0.0, size = 0.0;
    for (std::size_t i = 0; i < hv.size(); ++i) {
        const double difference = (static_cast<double>(up.gradient[i]) - down.gradient[i]) / (2 * h);
        error = std::max(error, std::fabs(hv[i] - difference));
        size = std::max(size, std::fabs(difference));
    }
    EXPECT_LT(error, 2e-3 * size);
}

TEST(PreciseObjective, BarrierDerivativesMatchFiniteDifferencesAndGrowWithoutBoundTowardsAFold)
{
    for (const float g : {-0.9f, -0.3f, 0.0f, 0.45f, 0.8f}) {
        const double h = 1e-3;
        EXPECT_NEAR(barrierSlope(g), (barrierValue(g + h) - barrierValue(g - h)) / (2 * h),
                    1e-2 * (1 + std::fabs(barrierSlope(g))));
        EXPECT_NEAR(barrierCurvature(g), (barrierSlope(g + h) - barrierSlope(g - h)) / (2 * h),
                    1e-2 * barrierCurvature(g));
    }
    EXPECT_EQ(barrierValue(0.0f), 0.0f);
    EXPECT_FLOAT_EQ(barrierCurvature(0.0f), 16.0f);
    EXPECT_GT(barrierValue(0.999f), 500.0f);
    EXPECT_TRUE(std::isinf(barrierValue(1.0f)));
    EXPECT_TRUE(std::isinf(barrierValue(-1.5f)));
}

TEST(PreciseObjective, AMapThatFoldsHasAnInfiniteObjective)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 11), smoothImage(kExtent, 12));
    Volume d(kExtent, 0.0f);
    d(4, 7, 2) = 2.0f;  // the central differences at rows 6 and 8 are +1 and -1
    EXPECT_TRUE(std::isinf(evaluateObjective(problem.level, d).total(problem.reference.weights)));
    EXPECT_FLOAT_EQ(largestSlope(d), 1.0f);
    d(4, 7, 2) = 1.9f;
    EXPECT_TRUE(std::isfinite(evaluateObjective(problem.level, d).total(problem.reference.weights)));
}

// On a single line along y nothing couples across lines: the band is the whole Gauss-Newton
// Hessian and the preconditioner inverts it.
TEST(LineBand, InvertsTheHessianOfASingleLine)
{
    const Dimensions line{1, 24, 1};
    const Problem problem = makeProblem(smoothImage(line, 13), smoothImage(line, 14));
    const Volume d = smoothMap(line, 1.5);
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, d, lin);
    LineBandFactors factors;
    factoriseLineBands(problem.level, problem.reference.weights, lin, factors);
    const Volume v = randomDirection(line, 15);
    Volume hv, back;
    hessianProduct(problem.level, problem.reference.weights, lin, v, hv);
    solveLineBands(factors, hv, back);
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(back[i], v[i], 1e-3) << "row " << i;
}
