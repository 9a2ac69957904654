// SPDX-License-Identifier: GPL-3.0-or-later
// Every numeric step that runs on the worker threads gives the same bits on 2, 3 and 8
// threads as on the calling thread alone: extents that no thread count divides, maps
// that fold, and lists longer than one block of the agreement figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/bspline.h"
#include "core/pairagreement.h"
#include "core/restoration.h"
#include "core/restorationblend.h"
#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "core/volumegauss.h"
#include "estimate/estimatelimits.h"
#include "estimate/gaussnewton.h"
#include "estimate/mappyramid.h"
#include "estimate/multigrid.h"
#include "estimate/preciseestimate.h"
#include "estimate/preciseinputs.h"
#include "estimate/preciseobjective.h"
#include "estimate/simplevdmestimate.h"
#include "estimate/standardcheck.h"
#include "estimate/transportstart.h"
#include "estimate/vdmestimate.h"
#include "support/fftfixture.h"

namespace {

Volume randomVolume(Dimensions extent, float low, float high, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(low, high);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

// A bright smooth blob on a dark background, shifted along y by shift voxels.
Volume blob(Dimensions extent, float shift)
{
    Volume v(extent);
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x) {
                const double u = (x - 0.5 * (extent.x - 1)) / (0.35 * extent.x);
                const double w = (y - shift - 0.5 * (extent.y - 1)) / (0.3 * extent.y);
                const double t = (z - 0.5 * (extent.z - 1)) / (0.45 * extent.z);
                v(x, y, z) = static_cast<float>(900.0 * std::exp(-(u * u * u * u + w * w + t * t)) + 0.1 * (x % 5) +
                                                0.07 * (y % 3));
            }
    return v;
}

// The bytes of a volume, so that NaN and signed zeros compare too.
std::string bytesOf(const Volume& v)
{
    std::string bytes(v.size() * sizeof(float), '\0');
    if (v.size() > 0) std::memcpy(bytes.data(), v.data(), bytes.size());
    return bytes + std::to_string(v.nx()) + "x" + std::to_string(v.ny()) + "x" + std::to_string(v.nz());
}

// result() without worker threads, then on 2, 3 and 8 threads: every result the same.
void expectSameOnEveryThreadCount(const std::function<std::string()>& result)
{
    const std::string alone = result();
    for (int threads : {2, 3, 8}) {
        const WorkerThreads workers(threads);
        EXPECT_TRUE(result() == alone) << threads << " threads";
    }
}

const Dimensions kOdd{23, 29, 11};

}  // namespace

TEST(ParallelResults, VolumeReshapingIsTheSameOnAnyThreadCount)
{
    const Volume v = randomVolume(kOdd, -50.0f, 300.0f, 1);
    expectSameOnEveryThreadCount([&] {
        Volume padded = v;
        padded.padReplicate({7, 7, 7});
        Volume grown = v;
        grown.resizeCentred({30, 31, 14});
        Volume shrunk = v;
        shrunk.resizeCentred({9, 12, 5});
        return bytesOf(padded) + bytesOf(grown) + bytesOf(shrunk) + bytesOf(v.transposeXY());
    });
}

// Volumes of several blocks: copies equal their source, fills cover every voxel and the
// count of voxels that are not finite matches a plain count, on every thread count.
TEST(ParallelResults, CopiesFillsAndScansCoverEveryBlock)
{
    const Dimensions large{70, 71, 29};  // three blocks and a bit
    Volume v = randomVolume(large, -50.0f, 300.0f, 5);
    for (std::size_t i = 17; i < v.size(); i += 40009) v[i] = std::nanf("");
    v[v.size() - 1] = -INFINITY;
    std::size_t plainCount = 0;
    for (std::size_t i = 0; i < v.size(); ++i) plainCount += std::isfinite(v[i]) ? 0 : 1;
    expectSameOnEveryThreadCount([&] {
        const Volume copy(v);
        Volume assigned(Dimensions{3, 3, 3});
        assigned = v;
        const Volume filled(large, 2.5f);
        EXPECT_EQ(bytesOf(copy), bytesOf(v));
        EXPECT_EQ(bytesOf(assigned), bytesOf(v));
        EXPECT_EQ(std::count(filled.data(), filled.data() + filled.size(), 2.5f), static_cast<long>(filled.size()));
        EXPECT_EQ(nonFiniteVoxels(v), plainCount);
        return bytesOf(copy) + bytesOf(filled) + std::to_string(nonFiniteVoxels(v));
    });
}

// A pending stop request ends the loops of an estimate, but not a copy or a fill of voxels:
// those end whole and throw nothing (a constructor that threw half-way lost its array).
TEST(ParallelResults, CopiesAndFillsEndWholeWhileAStopIsRequested)
{
    const Dimensions large{70, 71, 29};
    const Volume v = randomVolume(large, -50.0f, 300.0f, 6);
    for (int threads : {1, 3}) {
        const WorkerThreads workers(threads);
        requestStop(SIGTERM);
        std::string copied, assigned, filled, grown;
        EXPECT_NO_THROW({
            const Volume copy(v);
            Volume target(Dimensions{3, 3, 3});
            target = v;
            const Volume fill(large, 2.5f);
            Volume resized = v;
            resized.resizeCentred({72, 73, 31});
            copied = bytesOf(copy);
            assigned = bytesOf(target);
            filled = bytesOf(fill);
            grown = bytesOf(resized);
        }) << threads << " threads";
        withdrawStopRequest();
        EXPECT_TRUE(copied == bytesOf(v)) << threads << " threads";
        EXPECT_TRUE(assigned == bytesOf(v)) << threads << " threads";
        EXPECT_TRUE(filled == bytesOf(Volume(large, 2.5f))) << threads << " threads";
        Volume resized = v;
        resized.resizeCentred({72, 73, 31});
        EXPECT_TRUE(grown == bytesOf(resized)) << threads << " threads";
    }
}

TEST(ParallelResults, ResamplingWithAMapIsTheSameOnAnyThreadCount)
{
    const Volume source = randomVolume(kOdd, 0.0f, 1000.0f, 2);
    // A map with folds (steps above one voxel) and positions outside the column.
    const Volume map = randomVolume(kOdd, -4.0f, 4.0f, 3);
    expectSameOnEveryThreadCount([&] {
        std::string bytes;
        for (const bool reversed : {false, true}) {
            Volume linear(kOdd), cubic(kOdd);
            applyVdmLinear(linear, source, map, reversed);
            applyVdmCubic(cubic, source, map, reversed);
            multiplyByJacobian(cubic, map, reversed);
            bytes += bytesOf(linear) + bytesOf(cubic);
        }
        const std::vector<double> coefficients = bsplineCoefficients(source.data(), kOdd);
        bytes.append(reinterpret_cast<const char*>(coefficients.data()), coefficients.size() * sizeof(double));
        Volume repaired = map;
        const int adjustments = repairFolds(repaired);
        return bytes + bytesOf(undistort(source, map.transposeXY(), true, true)) + bytesOf(vdmDerivativeY(map)) +
               bytesOf(invertVdm(map)) + bytesOf(repaired) + std::to_string(adjustments);
    });
}

// Pairs and pieces of lines on the threads: a run streamed slice by slice, and volumes.
TEST(ParallelResults, RestorationAndCombinationAreTheSameOnAnyThreadCount)
{
    for (const Dimensions extent : {Dimensions{23, 29, 1}, kOdd}) {
        const Volume map = randomVolume(extent, -4.0f, 4.0f, 5);
        std::vector<Volume> plus, minus;
        for (unsigned pair = 0; pair < 5; ++pair) {
            plus.push_back(randomVolume(extent, 0.0f, 1000.0f, 30 + pair));
            minus.push_back(randomVolume(extent, 0.0f, 1000.0f, 40 + pair));
        }
        minus[3](5, 6, 0) = std::nanf("");
        expectSameOnEveryThreadCount([&] {
            std::vector<Volume> restored = plus, combined = plus;
            restorePairs(restored, minus, map);
            combinePairs(combined, minus, map);
            std::string bytes;
            for (std::size_t pair = 0; pair < plus.size(); ++pair) bytes += bytesOf(restored[pair]) + bytesOf(combined[pair]);
            return bytes;
        });
    }
}

TEST(ParallelResults, MaskedConvolutionIsTheSameOnAnyThreadCount)
{
    const Volume data = randomVolume(kOdd, -10.0f, 10.0f, 4);
    Volume mask = randomVolume(kOdd, -1.0f, 1.0f, 5);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = mask[i] > 0.0f ? 1.0f : 0.25f;
    const Volume kernel = gaussianKernel3D({9, 9, 9}, {2.0, 3.0, 1.5}, {0, 0, 0}, false);
    expectSameOnEveryThreadCount([&] {
        Volume normalised = data;
        maskedConvolve3D(normalised, kernel, mask, true);
        Volume plain = data;
        maskedConvolve3D(plain, kernel, mask, false);
        Volume separable = data;
        maskedSmoothSeparable(separable, {9, 9, 9}, {2.0, 3.0, 1.5}, mask);
        return bytesOf(normalised) + bytesOf(plain) + bytesOf(separable) +
               bytesOf(gaussianKernel3D({37, 36, 19}, {4.0, 2.5, 1.0}, {1, 0, 2}, true));
    });
}

class ParallelSmoothing : public HostFftTest {};

TEST_F(ParallelSmoothing, SmoothingAroundTheCallersFftIsTheSameOnAnyThreadCount)
{
    const Volume a = randomVolume(kOdd, 0.0f, 500.0f, 6);
    const Volume b = randomVolume(kOdd, 0.0f, 500.0f, 7);
    expectSameOnEveryThreadCount([&] {
        std::string bytes;
        for (const Volume& copy : smoothedCopies({&a, &b}, {1.5, 2.0, 0.5}, {{0, 0, 0}, {0, 1, 0}})) bytes += bytesOf(copy);
        Volume smoothed = a;
        smoothGaussian(smoothed, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
        return bytes + bytesOf(smoothed);
    });
}

TEST(ParallelResults, AgreementFigureAddsItsBlocksInOneOrder)
{
    const Dimensions extent{64, 56, 23};  // several blocks of the voxel list
    const Volume first = blob(extent, 0.0f);
    const Volume second = blob(extent, 1.5f);
    const Volume map = randomVolume(extent, -0.3f, 0.3f, 8);
    std::vector<std::size_t> voxels;
    for (std::size_t i = 0; i < first.size(); i += 2) voxels.push_back(i);
    ASSERT_GT(voxels.size(), 2u * 16384u);
    double figure = 0.0;
    expectSameOnEveryThreadCount([&] {
        figure = correlationOver(first, second, voxels);
        const CorrectablePair pair(first, second);
        const CorrectedPair corrected = pair.corrected(map, true);
        std::ostringstream text;
        text.precision(17);
        text << figure << ' ' << pair.agreement(map) << ' ' << pairAgreement(first, second, map, voxels);
        return text.str() + bytesOf(corrected.first) + bytesOf(corrected.second);
    });
    // Blocks change only the order of the sums: the plain sums give the same figure to
    // the last few bits.
    double ma = 0, mb = 0;
    for (std::size_t i : voxels) {
        ma += first[i];
        mb += second[i];
    }
    ma /= static_cast<double>(voxels.size());
    mb /= static_cast<double>(voxels.size());
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i : voxels) {
        ab += (first[i] - ma) * (second[i] - mb);
        aa += (first[i] - ma) * (first[i] - ma);
        bb += (second[i] - mb) * (second[i] - mb);
    }
    EXPECT_NEAR(figure, ab / std::sqrt(aa * bb), 1e-12);
}

class ParallelEstimates : public HostFftTest {};

TEST_F(ParallelEstimates, ColumnWiseAndFullEstimatesAreTheSameOnAnyThreadCount)
{
    const Dimensions extent{20, 26, 9};
    const Volume ap = blob(extent, 1.2f);
    const Volume pa = blob(extent, -1.2f);
    const EstimationSchedule schedule = standardEstimationSchedule({3.0, 3.0, 3.0});
    expectSameOnEveryThreadCount([&] {
        std::ostringstream log;
        const Volume columnwise = estimateColumnwiseVdm(ap, pa, {0.5, 4.0 / 3.0, 0.5}, 0, log);
        VdmEstimateStatistics statistics;
        for (const bool ic : {false, true}) {
            const Volume full = estimateVdm(ap, pa, {0.5, 4.0 / 3.0, 0.5}, ic, schedule.localbox, schedule.s_values,
                                            schedule.vdm_smoothing, ic, log, 0, &statistics);
            log << bytesOf(full);
        }
        for (const std::size_t visited : statistics.visitedPerLevel) log << ' ' << visited;
        // The log holds the agreement figures and the visits; the times go.
        std::string text = log.str();
        for (std::size_t at = text.find("Time taken: "); at != std::string::npos; at = text.find("Time taken: ", at + 1))
            text.erase(at, text.find_first_not_of("0123456789.e-", at + 12) - at);
        return bytesOf(columnwise) + text;
    });
}

// The precise estimate as background work while the calling thread makes the standard map
// at half resolution through the host's FFT, as the estimate task runs them, then that map
// refined across the slices: the maps and the precise estimate's log the same as one after
// the other on one thread.
TEST_F(ParallelEstimates, PreciseEstimateBesideTheHalfResolutionCheckIsTheSameOnAnyThreadCount)
{
    const Dimensions extent{24, 28, 10};
    const Volume ap = blob(extent, 1.5f);
    const Volume pa = blob(extent, -1.5f);
    const std::array<double, 3> voxel{3.0, 3.0, 3.0};
    expectSameOnEveryThreadCount([&] {
        std::ostringstream log;
        Volume precise;
        BackgroundWork estimate([&] { precise = estimatePreciseVdm(ap, pa, voxel, log); });
        const Volume coarse = halfResolutionStandardMap(ap, pa, voxel, {});
        estimate.join();
        EXPECT_EQ(coarse.size(), ap.size());
        const Volume refined = refinedStandardMap(ap, pa, voxel, {}, coarse);
        // The log without its processor times.
        return bytesOf(precise) + bytesOf(coarse) + bytesOf(refined) + std::regex_replace(log.str(), std::regex("[0-9][0-9.e+-]* s(?![a-z])"), "T");
    });
}

// The precise estimate's steps: the transport start, the slice gains, the system and its
// multigrid preconditioner (line bands, grid transfers, block sums) and whole Gauss-Newton
// steps, on an extent whose z axis is halved with an odd count and on one too thin to halve.
TEST(ParallelResults, PreciseEstimateStepsAreTheSameOnAnyThreadCount)
{
    for (const Dimensions extent : {kOdd, Dimensions{23, 29, 5}}) {
        const Volume first = blob(extent, 1.3f);
        const Volume second = blob(extent, -1.1f);
        const Volume residual = randomVolume(extent, -1.0f, 1.0f, 17);
        const HalvedAxes axes = axesToHalve(extent);
        const Volume coarse = randomVolume(halvedExtent(extent, axes), -1.0f, 1.0f, 23);
        expectSameOnEveryThreadCount([&] {
            std::vector<double> gains;
            std::string bytes = bytesOf(transportMap(first, second)) + bytesOf(sliceMatched(first, second, &gains));
            for (const double gain : gains) bytes += std::to_string(gain) + ' ';
            Volume restricted(coarse.dimensions()), interpolated(extent);
            transposeToCoarser(residual, axes, restricted);
            interpolateToFiner(coarse, axes, interpolated);
            bytes += bytesOf(restricted) + bytesOf(interpolated) + bytesOf(halveVolume(residual, axes));

            const PreciseLevel level = makePreciseLevel(first * 0.001f, second * 0.001f, {2.0, 2.0, 3.0});
            const PreciseWeights weights{0.05};
            Volume d = transportMap(first, second);
            Linearisation lin;
            lineariseObjective(level, weights, d, lin);
            const Regularisation regularisation = regularisationOf(level, weights);
            Multigrid multigrid;
            prepareMultigrid(lin.hessian, regularisation, multigrid);
            Volume preconditioned, product, scratch;
            applyMultigrid(multigrid, residual, preconditioned);
            systemProduct(lin.hessian, regularisation, residual, product, scratch);
            bytes += bytesOf(lin.gradient) + bytesOf(preconditioned) + bytesOf(product);
            const GaussNewtonReport report = minimiseOnLevel(level, weights, d, GaussNewtonLimits{});
            return bytes + bytesOf(d) + std::to_string(report.steps) + ' ' + std::to_string(report.cgIterations);
        });
    }
}
