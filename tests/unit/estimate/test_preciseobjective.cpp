// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate's objective against a slow double-precision reference written
// here: its value, its gradient against finite differences, the Gauss-Newton Hessian
// product against finite differences of the residuals and of the gradient, the line-band
// relaxation against the Hessian it approximates, and the multigrid V-cycle as a
// symmetric preconditioner that solves bending-dominated systems.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/bspline.h"
#include "estimate/gaussnewton.h"
#include "estimate/lineband.h"
#include "estimate/mappyramid.h"
#include "estimate/multigrid.h"
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
// of the core: residuals with Jacobians clipped at 0, and the bending term from second
// differences along the axes where a voxel has both neighbours.
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
                    r[i] = a[i] * std::max(0.0, 1.0 + g) - b[i] * std::max(0.0, 1.0 - g);
                }
        return r;
    }

    double bending(const Volume& d) const
    {
        const double hy = voxel[1];
        const double f[3] = {std::pow(hy / voxel[0], 2), 1.0, std::pow(hy / voxel[2], 2)};
        const int n[3] = {d.nx(), d.ny(), d.nz()};
        double sum = 0.0;
        for (int z = 0; z < d.nz(); ++z)
            for (int y = 0; y < d.ny(); ++y)
                for (int x = 0; x < d.nx(); ++x) {
                    const int at[3] = {x, y, z};
                    double laplacian = 0.0;
                    for (int k = 0; k < 3; ++k) {
                        if (at[k] == 0 || at[k] == n[k] - 1) continue;
                        int below[3] = {x, y, z}, above[3] = {x, y, z};
                        --below[k];
                        ++above[k];
                        laplacian += f[k] * (2.0 * d(x, y, z) - d(below[0], below[1], below[2]) -
                                             d(above[0], above[1], above[2]));
                    }
                    sum += laplacian * laplacian;
                }
        return sum;
    }

    double objective(const Volume& d) const
    {
        double data = 0.0;
        for (const double r : residuals(d)) data += 0.5 * r * r;
        return data + weights.bending * bending(d);
    }
};

struct Problem {
    Reference reference;
    PreciseLevel level;
};

Problem makeProblem(const Volume& first, const Volume& second)
{
    const std::array<double, 3> voxel{2.0, 3.0, 4.0};
    const PreciseWeights weights{0.05};
    return {{first, second, voxel, weights}, makePreciseLevel(first, second, voxel)};
}

const Dimensions kExtent{9, 14, 4};

Volume hessianTimes(const Problem& problem, const Linearisation& lin, const Volume& v)
{
    Volume out, scratch;
    systemProduct(lin.hessian, regularisationOf(problem.level, problem.reference.weights), v, out, scratch);
    return out;
}

} // namespace

TEST(PreciseObjective, ValueMatchesTheReferenceObjective)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 1), smoothImage(kExtent, 2));
    const Volume d = smoothMap(kExtent, 1.2);
    const ObjectiveValue value = evaluateObjective(problem.level, d);
    const double expected = problem.reference.objective(d);
    EXPECT_NEAR(value.total(problem.reference.weights), expected, 1e-5 * expected);
    EXPECT_NEAR(value.bending, problem.reference.bending(d), 1e-5 * value.bending);
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
// plus the bending term written out.
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
    // B is exactly quadratic: second differences of B(d + a u + b v) give u'(2M'M)v.
    const auto bendingAt = [&](double a, double b) { return ref.bending(plus(plus(d, a, u), b, v)); };
    expected += ref.weights.bending * (bendingAt(1, 1) - bendingAt(1, -1) - bendingAt(-1, 1) + bendingAt(-1, -1)) / 4.0;
    EXPECT_NEAR(dot(u, hessianTimes(problem, lin, v)), expected, 1e-3 * std::fabs(expected));
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
    const Volume hv = hessianTimes(problem, lin, v);
    double error = 0.0, size = 0.0;
    for (std::size_t i = 0; i < hv.size(); ++i) {
        const double difference = (static_cast<double>(up.gradient[i]) - down.gradient[i]) / (2 * h);
        error = std::max(error, std::fabs(hv[i] - difference));
        size = std::max(size, std::fabs(difference));
    }
    EXPECT_LT(error, 2e-3 * size);
}

// Where the map folds one acquisition, that acquisition's Jacobian is clipped at 0: the
// objective stays finite and follows the reference there, value and gradient.
TEST(PreciseObjective, AFoldingMapCountsOnlyTheAcquisitionThatDoesNotFold)
{
    const Problem problem = makeProblem(smoothImage(kExtent, 11), smoothImage(kExtent, 12));
    Volume d = smoothMap(kExtent, 0.5);
    d(4, 7, 2) += 2.5f;  // the central differences at rows 6 and 8 are beyond +1 and -1
    ASSERT_GT(largestSlope(d), 1.0f);
    const double expected = problem.reference.objective(d);
    EXPECT_NEAR(evaluateObjective(problem.level, d).total(problem.reference.weights), expected, 1e-5 * expected);
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, d, lin);
    const Volume v = randomDirection(kExtent, 13);
    const double h = 1e-3;
    const double difference =
        (problem.reference.objective(plus(d, h, v)) - problem.reference.objective(plus(d, -h, v))) / (2 * h);
    EXPECT_NEAR(dot(lin.gradient, v), difference, 2e-3 * std::fabs(difference));
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
    factoriseLineBands(lin.hessian, regularisationOf(problem.level, problem.reference.weights), factors);
    const Volume v = randomDirection(line, 15);
    const Volume hv = hessianTimes(problem, lin, v);
    Volume back;
    solveLineBands(factors, hv, back);
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(back[i], v[i], 1e-3) << "row " << i;
}

// The V-cycle preconditions conjugate gradients only if it is a symmetric positive
// operator: u'M^-1 v = v'M^-1 u and r'M^-1 r > 0.
TEST(Multigrid, TheVCycleIsSymmetricAndPositive)
{
    const Dimensions e{20, 24, 12};
    const Problem problem = makeProblem(smoothImage(e, 16), smoothImage(e, 17));
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, smoothMap(e, 1.0), lin);
    Multigrid multigrid;
    prepareMultigrid(lin.hessian, regularisationOf(problem.level, problem.reference.weights), multigrid);
    ASSERT_GE(multigrid.grids.size(), 2u);
    const Volume u = randomDirection(e, 18), v = randomDirection(e, 19);
    Volume mu, mv;
    applyMultigrid(multigrid, u, mu);
    applyMultigrid(multigrid, v, mv);
    EXPECT_NEAR(dot(u, mv), dot(v, mu), 1e-4 * std::sqrt(dot(u, mu) * dot(v, mv)));
    EXPECT_GT(dot(u, mu), 0.0);
    EXPECT_GT(dot(v, mv), 0.0);
}

// Conjugate gradients preconditioned by the given operator, in double, for H x = b from
// x = 0: stops when the residual is below the tolerance times its start or after the
// iterations given; returns the iterations made and x.
template <typename Preconditioner>
int conjugateGradients(const HessianCoefficients& h, const Regularisation& regularisation, const Volume& b,
                       Preconditioner precondition, double tolerance, int iterations, Volume& x)
{
    const Dimensions e = b.dimensions();
    std::vector<double> xs(b.size(), 0.0), r(b.data(), b.data() + b.size()), p;
    Volume rv(e), z, pv(e), hp, scratch;
    const auto norm = [](const std::vector<double>& v) {
        double sum = 0.0;
        for (const double value : v) sum += value * value;
        return std::sqrt(sum);
    };
    const auto toVolume = [](const std::vector<double>& v, Volume& out) {
        for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<float>(v[i]);
    };
    toVolume(r, rv);
    precondition(rv, z);
    p.assign(z.data(), z.data() + z.size());
    double rz = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) rz += r[i] * z[i];
    const double target = tolerance * norm(r);
    int made = 0;
    while (made < iterations) {
        toVolume(p, pv);
        systemProduct(h, regularisation, pv, hp, scratch);
        double curvature = 0.0;
        for (std::size_t i = 0; i < p.size(); ++i) curvature += p[i] * hp[i];
        const double a = rz / curvature;
        for (std::size_t i = 0; i < p.size(); ++i) {
            xs[i] += a * p[i];
            r[i] -= a * hp[i];
        }
        ++made;
        if (norm(r) <= target) break;
        toVolume(r, rv);
        precondition(rv, z);
        double next = 0.0;
        for (std::size_t i = 0; i < r.size(); ++i) next += r[i] * z[i];
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = z[i] + next / rz * p[i];
        rz = next;
    }
    x = Volume(e);
    toVolume(xs, x);
    return made;
}

template <typename Preconditioner>
int iterationsToSolve(const HessianCoefficients& h, const Regularisation& regularisation, const Volume& b,
                      Preconditioner precondition)
{
    Volume x;
    return conjugateGradients(h, regularisation, b, precondition, 1e-3, 200, x);
}

// Where the bending term dominates, the line bands leave the smooth error across the lines
// to converge slowly; the coarser grids of the V-cycle must carry it.
TEST(Multigrid, SolvesABendingDominatedSystemInAFractionOfTheLineBandsIterations)
{
    const Dimensions e{32, 24, 16};
    Problem problem = makeProblem(smoothImage(e, 20), smoothImage(e, 21) * 0.01f);
    problem.reference.weights.bending = 5.0;
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, Volume(e, 0.0f), lin);
    const Regularisation regularisation = regularisationOf(problem.level, problem.reference.weights);
    Multigrid multigrid;
    prepareMultigrid(lin.hessian, regularisation, multigrid);
    const Volume b = randomDirection(e, 22);
    const int withVCycle = iterationsToSolve(lin.hessian, regularisation, b,
                                             [&](const Volume& r, Volume& z) { applyMultigrid(multigrid, r, z); });
    const int withLineBands = iterationsToSolve(lin.hessian, regularisation, b, [&](const Volume& r, Volume& z) {
        solveLineBands(multigrid.grids[0].band, r, z);
    });
    EXPECT_LT(withVCycle, 60);
    EXPECT_GT(withLineBands, 3 * withVCycle);
}

// Coarse grids receive residuals through the transpose of the interpolation that brings
// their corrections back: <P c, f> = <c, P' f>.
TEST(MapPyramid, TheTransferToCoarserGridsIsTheTransposeOfTheInterpolation)
{
    const Dimensions fine{13, 10, 7};
    const HalvedAxes axes{true, false, true};
    const Dimensions coarse = halvedExtent(fine, axes);
    const Volume c = randomDirection(coarse, 23), f = randomDirection(fine, 24);
    Volume pc(fine), ptf(coarse);
    interpolateToFiner(c, axes, pc);
    transposeToCoarser(f, axes, ptf);
    EXPECT_NEAR(dot(pc, f), dot(c, ptf), 1e-5 * std::sqrt(dot(pc, pc) * dot(f, f)));
}

// A Gauss-Newton step is the preconditioned conjugate-gradient solution of H s = -g with
// the V-cycle: the step taken (whole, as the line search accepts it here) equals the one
// written out in the test after the same number of iterations.
TEST(GaussNewton, AStepIsTheConjugateGradientSolutionOfTheLinearisedSystem)
{
    const Dimensions e{12, 20, 8};
    const Volume image = smoothImage(e, 25);
    Volume shifted(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) shifted(x, y, z) = image(x, std::max(0, y - 1), z);
    Volume second(e);
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = 0.7f * image[i] + 0.3f * shifted[i];
    const Problem problem = makeProblem(image, second);
    const Volume start = smoothMap(e, 0.2);
    Linearisation lin;
    lineariseObjective(problem.level, problem.reference.weights, start, lin);
    const Regularisation regularisation = regularisationOf(problem.level, problem.reference.weights);
    Multigrid multigrid;
    prepareMultigrid(lin.hessian, regularisation, multigrid);
    Volume expected;
    const int iterations = conjugateGradients(lin.hessian, regularisation, lin.gradient * -1.0f,
                                              [&](const Volume& r, Volume& z) { applyMultigrid(multigrid, r, z); },
                                              1e-9, 6, expected);
    ASSERT_EQ(iterations, 6);

    Volume d = start;
    const GaussNewtonReport report = minimiseOnLevel(problem.level, problem.reference.weights, d, {1, 0.0, 6, 1e-9});
    ASSERT_EQ(report.steps, 1);
    ASSERT_EQ(report.evaluations, 1);  // the whole step
    EXPECT_EQ(report.cgIterations, 6);
    const Volume step = plus(d, -1.0, start);
    double error = 0.0;
    for (std::size_t i = 0; i < step.size(); ++i)
        error = std::max(error, std::fabs(static_cast<double>(step[i]) - expected[i]));
    EXPECT_LT(error, 1e-3 * std::sqrt(dot(expected, expected) / static_cast<double>(expected.size())));
}
