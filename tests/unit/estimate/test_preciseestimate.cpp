// SPDX-License-Identifier: GPL-3.0-or-later
// The precise estimate as a whole and its pieces around the objective: the image pyramid,
// the transport start, the minimisation on one level, the recovery of known maps, its
// symmetry and indifference to gains, folds, the refusal of unusable inputs and the check
// against the standard map.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/bspline.h"
#include "core/pairagreement.h"
#include "core/vdm.h"
#include "estimate/gaussnewton.h"
#include "estimate/mappyramid.h"
#include "estimate/preciseestimate.h"
#include "estimate/transportstart.h"
#include "estimate/standardcheck.h"
#include "phantom/phantom.h"

namespace {

// A textured head-like object, 0 outside an ellipsoid, at y shifted by `shift` rows.
double object(double x, double y, double z, Dimensions e)
{
    const double u = (x - 0.5 * (e.x - 1)) / (0.38 * e.x);
    const double v = (y - 0.5 * (e.y - 1)) / (0.36 * e.y);
    const double w = (z - 0.5 * (e.z - 1)) / (0.45 * e.z);
    const double r = u * u + v * v + w * w;
    const double inside = 0.5 * (1.0 + std::tanh((1.0 - r) * 6.0));
    return inside * (500.0 + 150.0 * std::sin(0.9 * x) * std::cos(0.7 * y) + 100.0 * std::sin(0.5 * y + z));
}

Volume shiftedObject(Dimensions e, double shift)
{
    Volume v(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) v(x, y, z) = static_cast<float>(object(x, y - shift, z, e));
    return v;
}

Volume estimate(const Volume& first, const Volume& second, const std::array<double, 3>& voxel = {3.0, 3.0, 3.0})
{
    std::ostringstream log;
    return estimatePreciseVdm(first, second, voxel, log);
}

double rmsOver(const Volume& a, const Volume& b, const std::vector<std::size_t>& voxels)
{
    double sum = 0.0;
    for (std::size_t i : voxels) sum += std::pow(static_cast<double>(a[i]) - b[i], 2);
    return std::sqrt(sum / static_cast<double>(voxels.size()));
}

std::string refusal(const Volume& first, const Volume& second)
{
    try {
        estimate(first, second);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no exception";
}

PhantomVolumes phantom(double peak, double gradientEchoMs = 0.0, Dimensions extent = {40, 40, 16})
{
    PhantomOptions options;
    options.extent = extent;
    options.peakDisplacement = peak;
    options.gradientEchoMs = gradientEchoMs;
    options.floatData = true;
    return makePhantom(options);
}

} // namespace

TEST(MapPyramid, HalvesByBlockMeansAndKeepsShortAxes)
{
    Volume v(5, 8, 3);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 7);
    const HalvedAxes axes = axesToHalve(v.dimensions());
    EXPECT_EQ(axes, (HalvedAxes{false, true, false}));
    const Volume half = halveVolume(v, {true, true, false});
    ASSERT_EQ(half.dimensions(), (Dimensions{3, 4, 3}));
    EXPECT_FLOAT_EQ(half(0, 1, 2), (v(0, 2, 2) + v(1, 2, 2) + v(0, 3, 2) + v(1, 3, 2)) / 4);
    // The last column of an odd extent averages what is there.
    EXPECT_FLOAT_EQ(half(2, 0, 0), (v(4, 0, 0) + v(4, 1, 0)) / 2);
}

TEST(MapPyramid, CarriesAMapToTheFinerGridInFinerVoxels)
{
    const Dimensions coarse{4, 6, 3};
    Volume map(coarse);
    for (int z = 0; z < coarse.z; ++z)
        for (int y = 0; y < coarse.y; ++y)
            for (int x = 0; x < coarse.x; ++x) map(x, y, z) = 0.1f * y + 0.3f;
    const Volume fine = prolongMap(map, {8, 12, 3}, {true, true, false});
    // Fine row y lies at coarse row (y - 0.5)/2; its displacement counts twice the voxels.
    for (int y = 1; y < 11; ++y) EXPECT_NEAR(fine(3, y, 1), 2.0 * (0.1 * (y - 0.5) / 2.0 + 0.3), 1e-5) << y;
    EXPECT_NEAR(fine(3, 0, 1), 0.6, 1e-6);  // the edge row is held
}

// Each line's cumulative signal fixes the map without any search: a pair shifted by
// several voxels either way, the second ten times brighter in some lines, gives the shift
// (within what the floor of dark stretches moves it).
TEST(TransportStart, GivesTheShiftOfEveryLineWhateverItsGain)
{
    const Dimensions e{12, 64, 3};  // the object stays inside the field of view
    for (const double shift : {3.5, -6.0}) {
        const Volume first = shiftedObject(e, shift);
        Volume second = shiftedObject(e, -shift);
        for (int y = 0; y < e.y; ++y) second(5, y, 1) *= 10.0f;
        const Volume map = transportMap(first, second);
        const std::vector<std::size_t> head = headMask(first, second);
        EXPECT_LT(rmsOver(map, Volume(e, static_cast<float>(shift)), head), 0.05) << "shift " << shift;
        for (const std::size_t i : head) ASSERT_NEAR(map[i], shift, 0.15) << "shift " << shift;
    }
}

TEST(GaussNewton, LowersTheObjectiveOfAShiftedPair)
{
    const Dimensions e{16, 24, 6};
    const Volume first = shiftedObject(e, 1.0) * (1.0f / 600.0f);
    const Volume second = shiftedObject(e, -1.0) * (1.0f / 600.0f);
    const PreciseLevel level = makePreciseLevel(first, second, {3.0, 3.0, 3.0});
    Volume d(e, 0.0f);
    const GaussNewtonReport report = minimiseOnLevel(level, {1e-4}, d, {20, 1e-6, 20, 0.1});
    EXPECT_GT(report.steps, 0);
    EXPECT_LT(report.endObjective, 0.05 * report.startObjective);
    EXPECT_NEAR(d(8, 12, 3), 1.0f, 0.05f);
}

TEST(PreciseEstimate, RecoversAUniformShift)
{
    const Dimensions e{32, 40, 12};
    for (const double shift : {1.5, -2.25}) {
        const Volume first = shiftedObject(e, shift);
        const Volume second = shiftedObject(e, -shift);
        const Volume map = estimate(first, second);
        const std::vector<std::size_t> head = headMask(first, second);
        EXPECT_LT(rmsOver(map, Volume(e, static_cast<float>(shift)), head), 0.05) << "shift " << shift;
    }
}

TEST(PreciseEstimate, RecoversTheSmoothFieldOfAPhantom)
{
    const PhantomVolumes p = phantom(3.0);
    const Volume map = estimate(p.first[0], p.second[0]);
    const MapAgreement agreement = compareWithTrueMap(p, map);
    EXPECT_LT(agreement.rmsError, 0.06);
    EXPECT_GT(agreement.correlation, 0.995);
    const std::vector<std::size_t> head = headMask(p.first[0], p.second[0]);
    EXPECT_GT(pairAgreement(p.first[0], p.second[0], map, head), 0.999);
}

TEST(PreciseEstimate, LeftRightPairOfAnisotropicVoxels)
{
    PhantomOptions options;
    options.extent = {36, 28, 14};
    options.voxelSize = {2.0, 3.0, 4.0};
    options.leftRight = true;
    options.peakDisplacement = 3.0;
    const PhantomVolumes p = makePhantom(options);
    // The estimate works with y along the phase encoding, as the plug-in hands it over.
    const Volume map = estimate(p.first[0].transposeXY(), p.second[0].transposeXY(), {3.0, 2.0, 4.0});
    EXPECT_LT(compareWithTrueMap(p, map.transposeXY()).rmsError, 0.06);
}

TEST(PreciseEstimate, SwappingThePairNegatesTheMap)
{
    const PhantomVolumes p = phantom(3.0);
    const Volume map = estimate(p.first[0], p.second[0]);
    const Volume swapped = estimate(p.second[0], p.first[0]);
    float largest = 0.0f;
    for (std::size_t i = 0; i < map.size(); ++i) largest = std::max(largest, std::fabs(map[i] + swapped[i]));
    EXPECT_LT(largest, 1e-3f);
}

// A gain of the whole second volume (a receiver setting), or of its slices (slices of an
// interleaved acquisition before the steady state), is not distortion.
TEST(PreciseEstimate, AGainBetweenTheAcquisitionsDoesNotChangeTheMap)
{
    const PhantomVolumes p = phantom(3.0);
    const Volume map = estimate(p.first[0], p.second[0]);
    Volume slicewise = p.second[0];
    for (int z = 0; z < slicewise.nz(); ++z)
        for (int y = 0; y < slicewise.ny(); ++y)
            for (int x = 0; x < slicewise.nx(); ++x) slicewise(x, y, z) *= z % 2 == 0 ? 1.25f : 0.95f;
    for (const Volume& second : {p.second[0] * 1.15f, slicewise}) {
        const Volume brighter = estimate(p.first[0], second);
        float largest = 0.0f;
        for (std::size_t i = 0; i < map.size(); ++i) largest = std::max(largest, std::fabs(map[i] - brighter[i]));
        EXPECT_LT(largest, 1e-3f);
    }
}

// No neighbours along y more than a voxel apart (the corrected samples keep their order),
// even for a pair that only a fold could match.
TEST(PreciseEstimate, AStrongFieldLeavesNoNeighboursAVoxelApart)
{
    // The largest slope the phantom allows, and a pair that only a fold could match: the
    // second image's object squeezed into a third of its rows.
    const PhantomVolumes p = phantom(5.5);
    ASSERT_GT(p.largestSlope, 0.6);
    const Volume phantomMap = estimate(p.first[0], p.second[0]);
    EXPECT_LT(compareWithTrueMap(p, phantomMap).rmsError, 0.1);
    EXPECT_EQ(countFolds(phantomMap), 0);

    const Dimensions e{16, 40, 6};
    Volume first = shiftedObject(e, 0.0);
    Volume second(e, 0.0f);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x)
                second(x, y, z) = static_cast<float>(3.0 * object(x, 3.0 * (y - 20.0) + 20.0, z, e));
    const Volume map = estimate(first, second);
    EXPECT_EQ(countFolds(map), 0);
    for (std::size_t i = 0; i < map.size(); ++i) ASSERT_TRUE(std::isfinite(map[i]));
}

TEST(PreciseEstimate, RefusesUnusableInputsWithAMessage)
{
    const Dimensions e{12, 16, 4};
    const Volume signal = shiftedObject(e, 0.0);
    EXPECT_EQ(refusal(Volume(e, 0.0f), signal),
              "The precise estimate found no signal in the first volume: no voxel is above 0.");
    Volume withNaN = signal;
    withNaN(3, 4, 1) = std::nanf("");
    EXPECT_EQ(refusal(signal, withNaN), "The precise estimate cannot use the second volume: it holds voxels that are "
                                        "not finite numbers (NaN or infinite).");
    Volume infinite = signal;
    infinite(0, 0, 0) = INFINITY;
    EXPECT_NE(refusal(infinite, signal).find("not finite"), std::string::npos);
    const Volume oneSlice = shiftedObject({12, 16, 1}, 0.0);
    EXPECT_EQ(refusal(oneSlice, oneSlice), "The precise estimate needs volumes of at least 2 slices and 8 rows along "
                                           "the phase encoding; the first volume has 12 x 16 x 1 voxels.");
    EXPECT_EQ(refusal(signal, shiftedObject({12, 16, 5}, 0.0)),
              "The precise estimate needs two volumes of the same extent, not 12 x 16 x 4 (the first volume) and "
              "12 x 16 x 5 (the second volume).");
    // Signal in fewer than one voxel in 200.
    Volume speck(e, 0.0f);
    speck(5, 5, 2) = 100.0f;
    EXPECT_NE(refusal(speck, speck).find("too little signal"), std::string::npos);
}

TEST(PreciseEstimate, LogNamesTheMethodFirstAndReportsEveryLevel)
{
    const PhantomVolumes p = phantom(2.0);
    std::ostringstream log;
    PreciseReport report;
    estimatePreciseVdm(p.first[0], p.second[0], {3.0, 3.0, 3.0}, log, {}, &report);
    // 40 x 40 x 16, 20 x 40 x 8, 10 x 40 x 4, 5 x 40 x 4: y is never halved and z stops at
    // 4 voxels, coarse to fine.
    ASSERT_EQ(report.levels.size(), 4u);
    EXPECT_EQ(report.levels.front().extent, (Dimensions{5, 40, 4}));
    const std::string text = log.str();
    EXPECT_EQ(text.rfind("Running the precise estimate: ", 0), 0u) << text;
    EXPECT_NE(text.find("Level 4 of 4 (40 x 40 x 16 voxels): "), std::string::npos) << text;
}

// The check keeps a map whose corrected pair lines up its edges and drops one that lines
// them up clearly worse: here the true map of a spin-echo phantom against the map halved.
TEST(StandardCheck, PrefersTheMapThatLinesUpTheEdges)
{
    const PhantomVolumes p = phantom(3.0);
    const Volume& truth = p.displacement;
    const Volume halved = truth * 0.5f;
    const CorrectablePair pair(p.first[0], p.second[0]);
    const StandardComparison keep = compareWithStandardMap(pair, truth, halved);
    EXPECT_TRUE(keep.compared);
    EXPECT_TRUE(keep.keepPrecise);
    const StandardComparison drop = compareWithStandardMap(pair, halved, truth);
    EXPECT_FALSE(drop.keepPrecise);
    EXPECT_GT(drop.standardEdges, drop.preciseEdges + 0.03);
    // Maps that differ almost nowhere are not compared: the precise one stays.
    const StandardComparison same = compareWithStandardMap(pair, truth, truth);
    EXPECT_FALSE(same.compared);
    EXPECT_TRUE(same.keepPrecise);
}

// The check's figures written out: each volume corrected by sampling the whole-volume
// B-spline at its shifted positions, the edge strength as the gradient magnitude from
// central differences along x, y and z (0 on the border), and Pearson's correlation in
// double over the head voxels where the maps differ by more than 0.25 voxel.
TEST(StandardCheck, FiguresMatchABruteForceComputation)
{
    const PhantomVolumes p = phantom(4.0, 30.0, {36, 40, 14});
    const Dimensions e = p.first[0].dimensions();
    const Volume& first = p.displacement;
    Volume second(e);
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) second(x, y, z) = 0.6f * first(x, y, z) + 0.1f * static_cast<float>(z % 5);
    const auto edges = [&](const Volume& map) {
        std::vector<Point3> plus, minus;
        for (int z = 0; z < e.z; ++z)
            for (int y = 0; y < e.y; ++y)
                for (int x = 0; x < e.x; ++x) {
                    plus.push_back({float(x), float(y) + map(x, y, z), float(z)});
                    minus.push_back({float(x), float(y) - map(x, y, z), float(z)});
                }
        std::vector<std::vector<double>> magnitudes;
        for (const auto& [image, positions] : {std::pair{&p.first[0], &plus}, std::pair{&p.second[0], &minus}}) {
            std::vector<float> corrected(image->size());
            sampleBspline(bsplineCoefficients(image->data(), e), e, *positions, corrected.data());
            const auto at = [&](int x, int y, int z) { return static_cast<double>(corrected[image->index(x, y, z)]); };
            std::vector<double> magnitude(image->size(), 0.0);
            for (int z = 1; z + 1 < e.z; ++z)
                for (int y = 1; y + 1 < e.y; ++y)
                    for (int x = 1; x + 1 < e.x; ++x)
                        magnitude[image->index(x, y, z)] =
                            std::sqrt(std::pow(0.5 * (at(x + 1, y, z) - at(x - 1, y, z)), 2) +
                                      std::pow(0.5 * (at(x, y + 1, z) - at(x, y - 1, z)), 2) +
                                      std::pow(0.5 * (at(x, y, z + 1) - at(x, y, z - 1)), 2));
            magnitudes.push_back(magnitude);
        }
        return magnitudes;
    };
    std::vector<std::size_t> differing;
    for (const std::size_t i : headMask(p.first[0], p.second[0]))
        if (std::fabs(first[i] - second[i]) > 0.25f) differing.push_back(i);
    const auto correlation = [&](const std::vector<std::vector<double>>& m) {
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (const std::size_t i : differing) {
            sa += m[0][i];
            sb += m[1][i];
            saa += m[0][i] * m[0][i];
            sbb += m[1][i] * m[1][i];
            sab += m[0][i] * m[1][i];
        }
        const double n = static_cast<double>(differing.size());
        return (sab - sa * sb / n) / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
    };
    const StandardComparison check = compareWithStandardMap(CorrectablePair(p.first[0], p.second[0]), first, second);
    ASSERT_TRUE(check.compared);
    EXPECT_EQ(check.differingVoxels, differing.size());
    EXPECT_NEAR(check.preciseEdges, correlation(edges(first)), 1e-4);
    EXPECT_NEAR(check.standardEdges, correlation(edges(second)), 1e-4);
}

// A gradient-echo pair loses signal where the field varies; the precise estimate then
// matches the intensities with a wrong field, and the check finds it against the true map
// standing in for the standard one.
TEST(StandardCheck, DropsThePreciseMapOfAGradientEchoPair)
{
    const PhantomVolumes p = phantom(4.0, 30.0, {48, 48, 20});
    const Volume map = estimate(p.first[0], p.second[0]);
    EXPECT_GT(compareWithTrueMap(p, map).rmsError, 0.15);
    EXPECT_FALSE(compareWithStandardMap(CorrectablePair(p.first[0], p.second[0]), map, p.displacement).keepPrecise);
}
