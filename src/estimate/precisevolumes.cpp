// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/precisevolumes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "core/pairagreement.h"
#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "estimate/mappyramid.h"
#include "estimate/preciseinputs.h"
#include "estimate/transportstart.h"

namespace {

constexpr double kDegrees = 180.0 / 3.14159265358979323846;
// Motion steps at most in a row.
constexpr int kMotionSteps = 5;
// On the finest level, where a step costs most and the coarser levels have done the work.
constexpr int kFinestMotionSteps = 2;
// A volume's motion has settled when a step changes it by less.
constexpr double kSettledMm = 0.005;
constexpr double kSettledDegrees = 0.005;
// How far, in slices of the finest level, a resampled volume's values near its slab's ends
// reach beyond them: a cubic spline reads two samples either side.
constexpr int kResamplingReach = 2;

// One direction's volumes on every level, fine (0) to coarse.
struct Direction {
    std::vector<std::vector<Volume>> levels;  // [level][volume]
    std::vector<VolumeMotion> motions;
    float sign = 1.0f;
};

Volume meanOf(const std::vector<Volume>& volumes)
{
    Volume mean(volumes.front().dimensions(), 0.0f);
    const float share = 1.0f / static_cast<float>(volumes.size());
    // Each voxel adds the volumes in their order, block by block side by side.
    forEachBlock(mean.size(), 16384, [&](std::size_t begin, std::size_t end) {
        for (const Volume& v : volumes)
            for (std::size_t i = begin; i < end; ++i) mean[i] += v[i];
        for (std::size_t i = begin; i < end; ++i) mean[i] *= share;
    });
    return mean;
}

// The volumes of a level moved back to the reference position with their gains; the
// reference volume itself (index 0 of the first direction) stays.
std::vector<Volume> movedBackVolumes(const std::vector<Volume>& volumes, const std::vector<SplineVolume>& splines,
                                     const std::vector<VolumeMotion>& motions, const std::array<double, 3>& size,
                                     bool motion, bool holdsReference)
{
    std::vector<Volume> moved;
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        if (motion && !(holdsReference && v == 0)) {
            moved.push_back(movedBack(splines[v], size, motions[v]));
        } else {
            Volume scaled = volumes[v];
            const float gain = static_cast<float>(motions[v].gain);
            if (gain != 1.0f)
                for (std::size_t i = 0, n = scaled.size(); i < n; ++i) scaled[i] *= gain;
            moved.push_back(std::move(scaled));
        }
    }
    return moved;
}

// The translation along y of the head in the reference frame, R^-1 t, of every volume of
// the second direction shifted so that its mean is 0.
void holdSecondDirectionAlongY(std::vector<VolumeMotion>& motions)
{
    double mean = 0.0;
    for (const VolumeMotion& m : motions) {
        const RigidTransform back = inverse(m.transform);
        mean -= back.translation[1];
    }
    mean /= static_cast<double>(motions.size());
    for (VolumeMotion& m : motions)
        for (int i = 0; i < 3; ++i) m.transform.translation[i] -= mean * m.transform.rotation[i][1];
}

// The slices at either end of the slab that the motion steps leave out on a level whose
// slices are sliceFactor finest slices thick: a volume moved by resampling, before the
// estimate or by it, takes its values there partly from beyond the slab, where the
// resampler saw nothing (a spline's fall to 0, or a repeated edge slice), and those
// values pulled the turn found by up to 0.2 degrees. At least half the slices stay.
int slabEndSlices(int slices, int sliceFactor)
{
    return std::min((kResamplingReach + sliceFactor - 1) / sliceFactor, slices / 4);
}

// The voxels of the list that lie more than edge slices from the slab's ends.
std::vector<std::size_t> awayFromSlabEnds(const std::vector<std::size_t>& voxels, Dimensions extent, int edge)
{
    const std::size_t slice = static_cast<std::size_t>(extent.x) * static_cast<std::size_t>(extent.y);
    std::vector<std::size_t> kept;
    kept.reserve(voxels.size());
    for (const std::size_t i : voxels) {
        const int z = static_cast<int>(i / slice);
        if (z >= edge && z < extent.z - edge) kept.push_back(i);
    }
    return kept;
}

// Head voxels of one image (above 0.15 times its 99th percentile) away from the slab's ends.
std::vector<std::size_t> signalVoxels(const Volume& image, int edge)
{
    return awayFromSlabEnds(headMask(image, image), image.dimensions(), edge);
}

// Registers until a step changes the motion by less than the settled amounts, at most
// limit times; returns the steps made.
template <typename Step>
int untilSettled(int limit, Step step)
{
    for (int made = 1;; ++made) {
        throwIfStopRequested();
        const MotionStepResult change = step();
        if (made == limit || (change.translationChange < kSettledMm && change.rotationChange < kSettledDegrees))
            return made;
    }
}

// The motion half without the field: the first direction's volumes against the reference
// (its first volume), the second direction's first volume by its lines' totals against
// the reference's (with their growth where the field, the coarser level's map, is steep),
// and its other volumes against that one moved back.
int moveBackWithoutField(std::array<Direction, 2>& directions, const std::array<std::vector<SplineVolume>, 2>& splines,
                         std::size_t at, const std::array<double, 3>& size, const Volume* field, int edge)
{
    const int limit = at == 0 ? kFinestMotionSteps : kMotionSteps;
    const Volume& reference = directions[0].levels[at][0];
    const std::vector<std::size_t> head = signalVoxels(reference, edge);
    int steps = 0;
    for (std::size_t v = 1; v < directions[0].motions.size(); ++v)
        steps += untilSettled(limit, [&] {
            return registerRigidly(movedBack(splines[0][v], size, directions[0].motions[v]), reference, size, head,
                                   directions[0].motions[v]);
        });
    std::vector<VolumeMotion>& second = directions[1].motions;
    steps += untilSettled(limit, [&] {
        return registerLineTotals(movedBack(splines[1][0], size, second[0]), reference, size, second[0], field, edge);
    });
    const Volume secondReference = movedBack(splines[1][0], size, second[0]);
    const std::vector<std::size_t> secondHead = signalVoxels(secondReference, edge);
    for (std::size_t v = 1; v < second.size(); ++v)
        steps += untilSettled(limit, [&] {
            return registerRigidly(movedBack(splines[1][v], size, second[v]), secondReference, size, secondHead, second[v]);
        });
    holdSecondDirectionAlongY(second);
    return steps;
}

// Joint steps of every motion with an affine change of the field; returns the steps made.
// moved holds both directions' volumes moved back as the motions stand, on entry and on
// return.
int jointSteps(std::array<Direction, 2>& directions, const std::array<std::vector<SplineVolume>, 2>& splines,
               std::size_t at, const std::array<double, 3>& size, int edge, Volume& d,
               std::array<std::vector<Volume>, 2>& moved)
{
    return untilSettled(at == 0 ? kFinestMotionSteps : kMotionSteps, [&] {
        std::array<Volume, 2> means;
        for (int k = 0; k < 2; ++k) means[k] = meanOf(moved[k]);
        const std::vector<std::size_t> head = awayFromSlabEnds(
            headMask(correctedWithMap(means[0], d, 1.0f), correctedWithMap(means[1], d, -1.0f)), d.dimensions(), edge);
        std::vector<MotionVolume> volumes;
        for (int k = 0; k < 2; ++k)
            for (std::size_t v = 0; v < moved[k].size(); ++v)
                volumes.push_back({&moved[k][v], k == 0 && v == 0 ? nullptr : &directions[static_cast<std::size_t>(k)].motions[v], k});
        const MotionStepResult change = refineMotionsWithAffineField(volumes, means, size, head, d);
        holdSecondDirectionAlongY(directions[1].motions);
        for (int k = 0; k < 2; ++k) {
            const Direction& direction = directions[static_cast<std::size_t>(k)];
            moved[k] = movedBackVolumes(direction.levels[at], splines[k], direction.motions, size, true, k == 0);
        }
        return change;
    });
}

std::string motionText(const RigidMotion& m)
{
    char text[160];
    std::snprintf(text, sizeof text, "translation %.2f %.2f %.2f mm, rotation %.2f %.2f %.2f degrees",
                  m.translation[0], m.translation[1], m.translation[2], m.rotation[0] * kDegrees,
                  m.rotation[1] * kDegrees, m.rotation[2] * kDegrees);
    return text;
}

}  // namespace

PreciseVolumesResult estimatePreciseVdmOfVolumes(const std::vector<Volume>& firsts, const std::vector<Volume>& seconds,
                                                 const std::vector<std::string>& firstNames,
                                                 const std::vector<std::string>& secondNames,
                                                 const std::array<double, 3>& voxelSize, std::ostream& log,
                                                 const PreciseVolumesSettings& settings)
{
    if (firsts.empty() || seconds.empty() || firstNames.size() != firsts.size() || secondNames.size() != seconds.size())
        throw std::invalid_argument("The precise estimate needs at least one named volume of each direction.");
    for (std::size_t v = 0; v < firsts.size(); ++v)
        for (std::size_t w = 0; w < seconds.size(); ++w)
            if (v == 0 || w == 0) checkPreciseInputs(firsts[v], seconds[w], {firstNames[v], secondNames[w]});
    const std::clock_t start = std::clock();

    // Every volume scaled to the total signal of the reference; then the two directions'
    // means normalised as a pair, whose slice gains and scale every volume takes over.
    const double reference = positiveSum(firsts[0]);
    std::array<Direction, 2> directions;
    directions[1].sign = -1.0f;
    std::array<std::vector<Volume>, 2> scaled;
    for (int k = 0; k < 2; ++k)
        for (const Volume& v : k == 0 ? firsts : seconds)
            scaled[k].push_back(v * static_cast<float>(reference / positiveSum(v)));
    // With motion the slices of the two directions meet only once moved back, and gains per
    // slice would take a shift along z for a gain: each field fit matches the slices of its
    // moved-back means instead.
    const NormalisedPair pair = normalisedPair(meanOf(scaled[0]), meanOf(scaled[1]));
    for (int k = 0; k < 2; ++k)
        for (Volume& v : scaled[k])
            forEachPiece(static_cast<std::size_t>(v.nz()), [&](std::size_t z) {
                const double slice = settings.motion ? pair.secondGain : pair.perSlice[z];
                const float factor = pair.scale * (k == 1 ? static_cast<float>(slice) : 1.0f);
                const std::size_t begin = v.index(0, 0, static_cast<int>(z));
                const std::size_t end = begin + static_cast<std::size_t>(v.nx()) * v.ny();
                for (std::size_t i = begin; i < end; ++i) v[i] *= factor;
            });
    log << "Running the precise estimate of " << firsts.size() << " and " << seconds.size()
        << " volumes" << (settings.motion ? " with their motion" : "")
        << ": intensity-corrected means matched by Gauss-Newton from the per-line transport map (bending weight "
        << settings.precise.bending << " times the residuals' noise variance; gain of the second direction "
        << pair.secondGain << ", per slice " << pair.sliceGains[0] << " to " << pair.sliceGains[1] << ")" << std::flush;

    // Levels from fine (0) to coarse.
    std::vector<Volume> starts{transportMap(pair.first, pair.second)};
    std::vector<HalvedAxes> halvings;
    std::vector<std::array<double, 3>> sizes{voxelSize};
    for (int k = 0; k < 2; ++k) {
        directions[static_cast<std::size_t>(k)].levels.push_back(std::move(scaled[k]));
        directions[static_cast<std::size_t>(k)].motions.assign(k == 0 ? firsts.size() : seconds.size(), VolumeMotion{});
    }
    while (static_cast<int>(sizes.size()) < std::max(settings.precise.levels, 1)) {
        const HalvedAxes axes = acrossLinesToHalve(starts.back().dimensions());
        if (!axes[0] && !axes[2]) break;
        halvings.push_back(axes);
        for (Direction& direction : directions) {
            std::vector<Volume> coarse;
            for (const Volume& v : direction.levels.back()) coarse.push_back(halveVolume(v, axes));
            direction.levels.push_back(std::move(coarse));
        }
        starts.push_back(halveVolume(starts.back(), axes));
        sizes.push_back(halvedVoxelSize(sizes.back(), axes));
    }
    const int levels = static_cast<int>(sizes.size());
    // How many finest slices make one slice of each level.
    std::vector<int> sliceFactors{1};
    for (const HalvedAxes& axes : halvings) sliceFactors.push_back(sliceFactors.back() * (axes[2] ? 2 : 1));

    // With motion, every level first moves the volumes back without the field (a
    // direction's volumes against its first one, the first volume of the second direction
    // by its lines' totals against the reference's), then starts from the transport map of
    // the moved-back means, whose smooth part the coarser level replaces, and fits the
    // field, then takes joint steps of motion and affine field, which the field follows.
    Volume d;
    for (int index = levels - 1; index >= 0; --index) {
        const std::size_t at = static_cast<std::size_t>(index);
        const std::clock_t levelStart = std::clock();
        const Dimensions extent = starts[at].dimensions();
        std::array<std::vector<SplineVolume>, 2> splines;
        int motionSteps = 0;
        const int edge = slabEndSlices(extent.z, sliceFactors[at]);
        // The volumes moved back as the motion stands, and the two directions' means.
        std::array<std::vector<Volume>, 2> moved;
        std::array<Volume, 2> means;
        const auto takeMeans = [&] {
            for (int k = 0; k < 2; ++k) {
                const Direction& direction = directions[static_cast<std::size_t>(k)];
                moved[k] = movedBackVolumes(direction.levels[at], splines[k], direction.motions, sizes[at], settings.motion,
                                            k == 0);
                means[k] = meanOf(moved[k]);
            }
        };
        if (settings.motion) {
            for (int k = 0; k < 2; ++k)
                for (const Volume& v : directions[static_cast<std::size_t>(k)].levels[at]) splines[k].push_back(splineVolume(v));
            const Volume coarser = index < levels - 1 ? prolongMap(d, extent, halvings[at]) : Volume();
            motionSteps =
                moveBackWithoutField(directions, splines, at, sizes[at], index < levels - 1 ? &coarser : nullptr, edge);
            takeMeans();
            starts[at] = transportMap(means[0], means[1]);
            if (index < levels - 1) starts[at + 1] = halveVolume(starts[at], halvings[at]);
        } else {
            takeMeans();
        }
        if (index == levels - 1) {
            d = starts[at];
        } else {
            Volume correction = d;
            for (std::size_t i = 0, n = correction.size(); i < n; ++i) correction[i] -= starts[at + 1][i];
            d = prolongMap(correction, extent, halvings[at]);
            for (std::size_t i = 0, n = d.size(); i < n; ++i) d[i] += starts[at][i];
        }
        const std::size_t slot = static_cast<std::size_t>(levels - 1 - index);
        const GaussNewtonLimits& limits = settings.precise.limits[std::min(slot, settings.precise.limits.size() - 1)];
        // The field half. With motion the joint steps need the level's field: it is fitted
        // before them and again after.
        GaussNewtonReport minimisation;
        double noise = 0.0;
        const int fits = settings.motion ? 2 : 1;
        for (int fit = 0; fit < fits; ++fit) {
            if (fit > 0) {
                motionSteps += jointSteps(directions, splines, at, sizes[at], edge, d, moved);
                for (int k = 0; k < 2; ++k) means[k] = meanOf(moved[k]);
            }
            const Volume second = settings.motion ? sliceMatched(means[0], means[1]) : means[1];
            const PreciseLevel level = makePreciseLevel(means[0], second, sizes[at]);
            noise = residualNoise(level, d);
            minimisation = minimiseOnLevel(level, PreciseWeights{settings.precise.bending * noise * noise}, d, limits);
        }
        log << "Level " << levels - index << " of " << levels << " (" << extentText(extent) << " voxels): "
            << minimisation.steps << " Gauss-Newton steps, objective " << minimisation.startObjective << " -> "
            << minimisation.endObjective << ", noise " << noise;
        if (settings.motion) log << ", " << motionSteps << " motion steps";
        log << ", " << static_cast<double>(std::clock() - levelStart) / CLOCKS_PER_SEC << " s" << std::flush;
        // A coarser level is done with for good.
        if (at > 0)
            for (Direction& direction : directions) direction.levels[at].clear();
    }
    const int repairs = repairFolds(d);
    log << "Folds between neighbours along y repaired in " << repairs << " steps" << std::flush;

    PreciseVolumesResult result{std::move(d), directions[0].motions, directions[1].motions};
    for (int k = 0; k < 2; ++k) {
        const std::vector<VolumeMotion>& motions = k == 0 ? result.first : result.second;
        const std::vector<std::string>& names = k == 0 ? firstNames : secondNames;
        for (std::size_t v = 0; v < motions.size(); ++v) {
            const RigidMotion m = motionOf(motions[v].transform);
            if (settings.motion) log << "Motion of " << names[v] << ": " << motionText(m) << std::flush;
            if (largestTranslation(m) > settings.largestTranslation || rotationAngleDegrees(m) > settings.largestRotation)
                throw std::invalid_argument(
                    "The head in " + names[v] + " lies " + motionText(m) + " from the first volume: beyond " +
                    std::to_string(static_cast<int>(settings.largestTranslation)) + " mm or " +
                    std::to_string(static_cast<int>(settings.largestRotation)) +
                    " degrees, where the estimate cannot tell motion from distortion reliably. No map was made; "
                    "leave that volume out (--volumes) or estimate without --motion.");
        }
    }
    log << "The precise estimate took " << static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC << " s"
        << std::flush;
    return result;
}
