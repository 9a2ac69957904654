#include "vdmestimate.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>

#include "distance.h"
#include "mdhslog.h"
#include "simplevdmestimate.h"
#include "vdm.h"

namespace {

constexpr const char* kModule = "src\\vdmestimate";
// Voxels are refined only where one of the undistorted volumes rises above this.
constexpr float kSignalThreshold = 100.0f;
constexpr float kVisitedWeight = 1.0f;
constexpr float kUnvisitedWeight = 0.25f;
constexpr float kNotANumberMarker = -99.0f;

long long processMilliseconds()
{
    return static_cast<long long>(std::clock()) * 1000 / CLOCKS_PER_SEC;
}

// Box extents must be odd so that the box around a voxel matches the kernel, and every
// level needs at least one trial value.
void checkSchedule(const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values)
{
    for (std::size_t level = 0; level < localbox.size(); ++level) {
        const Dimensions extent = localbox[level].dimensions();
        if (extent.x <= 0 || extent.y <= 0 || extent.z <= 0 || extent.x % 2 == 0 || extent.y % 2 == 0 ||
            extent.z % 2 == 0)
            throw std::invalid_argument("Level " + std::to_string(level + 1) +
                                        " of the estimation schedule has a box whose extents are not all odd.");
        if (s_values[level].empty())
            throw std::invalid_argument("Level " + std::to_string(level + 1) +
                                        " of the estimation schedule has no trial values.");
    }
}

// The two volumes undistorted with the VDM, and the sources they were resampled from.
struct Undistorted {
    Volume apSource;
    Volume paSource;
    Volume ap;
    Volume pa;
};

Undistorted undistortBoth(const Volume& vol_ap, const Volume& vol_pa, const Volume& vdm, bool use_ic)
{
    auto [apSource, paSource] = estimationInputs(vol_ap, vol_pa, vdm, use_ic);
    Volume ap(vol_ap.dimensions());
    Volume pa(vol_pa.dimensions());
    applyVdmCubic(ap, apSource, vdm, false);
    applyVdmCubic(pa, paSource, vdm, true);
    return {std::move(apSource), std::move(paSource), std::move(ap), std::move(pa)};
}

double agreement(const Undistorted& volumes, bool use_ssd)
{
    return use_ssd ? meanSsd(volumes.ap, volumes.pa) : ncc(volumes.ap, volumes.pa);
}

// One voxel of a local box, with what every trial needs from it: where it lies, its
// column in the sources, its row, the VDM there and the box kernel's weight for it.
struct BoxVoxel {
    std::size_t index;
    std::size_t column;
    float y;
    float vdm;
    float weight;
};

void prepareBox(const std::vector<VoxelIndex>& boxVoxels, const std::vector<VoxelIndex>& kernelVoxels,
                const Volume& vdm, const Volume& kernel, std::vector<BoxVoxel>& box)
{
    box.resize(boxVoxels.size());
    for (std::size_t i = 0; i < boxVoxels.size(); ++i) {
        const VoxelIndex q = boxVoxels[i];
        const VoxelIndex r = kernelVoxels[i];
        box[i] = {vdm.index(q.x, q.y, q.z), vdm.index(q.x, 0, q.z), static_cast<float>(q.y), vdm(q.x, q.y, q.z),
                  kernel(r.x, r.y, r.z)};
    }
}

// The value of one box voxel resampled along y at h from the source column; positions
// outside the open interval (0, ny - 1) keep the current value. The arithmetic is that of
// the voxel-list resampling of the VDM module.
inline float resampledAt(float h, float top, std::size_t nx, const float* column, float current)
{
    if (!(h > 0.0f && h < top)) return current;
    const int j = static_cast<int>(h);
    const float f = h - static_cast<float>(j);
    return (1.0f - f) * column[static_cast<std::size_t>(j) * nx] + f * column[static_cast<std::size_t>(j + 1) * nx];
}

// One trial correction of the box: both undistorted volumes are resampled inside the box
// at y +- (vdm + scale * weight) and compared there. The same as the voxel-list
// resampling of both volumes followed by the voxel-list SSD (or negated NCC): each box
// voxel is written once and the sums run in list order with the same precisions.
template <bool useSsd> double trialValue(const std::vector<BoxVoxel>& box, float scale, Undistorted& volumes)
{
    const std::size_t nx = static_cast<std::size_t>(volumes.ap.nx());
    const float top = static_cast<float>(volumes.ap.ny() - 1);
    const float* apSource = volumes.apSource.data();
    const float* paSource = volumes.paSource.data();
    float* ap = volumes.ap.data();
    float* pa = volumes.pa.data();
    double sum = 0.0;
    float sumA = 0.0f, sumA2 = 0.0f, sumB = 0.0f, sumB2 = 0.0f, sumAB = 0.0f;
    for (const BoxVoxel& voxel : box) {
        const float shift = voxel.vdm + scale * voxel.weight;
        const float a = resampledAt(voxel.y + shift, top, nx, apSource + voxel.column, ap[voxel.index]);
        const float b = resampledAt(voxel.y + -shift, top, nx, paSource + voxel.column, pa[voxel.index]);
        ap[voxel.index] = a;
        pa[voxel.index] = b;
        if constexpr (useSsd) {
            const double d = a - b;
            sum += d * d;
        } else {
            sumA += a;
            sumA2 += a * a;
            sumB += b;
            sumB2 += b * b;
            sumAB += a * b;
        }
    }
    if constexpr (useSsd) {
        return sum;
    } else {
        const float n = static_cast<float>(box.size());
        const float correlation =
            (n * sumAB - sumA * sumB) / (std::sqrt(n * sumA2 - sumA * sumA) * std::sqrt(n * sumB2 - sumB * sumB));
        return -static_cast<double>(correlation);
    }
}

} // namespace

EstimationSchedule standardEstimationSchedule(const std::array<double, 3>& voxelSize)
{
    struct Level {
        int box;
        int firstK;
        int lastK;
        int stepK;
        float factor;
        double smoothing;
    };
    constexpr Level kLevels[] = {
        {7, -10, 10, 2, 0.5f, 20.0}, {7, -6, 6, 2, 0.4f, 12.0}, {5, -5, 5, 1, 0.3f, 6.0}, {5, -5, 5, 1, 0.15f, 2.0}};
    EstimationSchedule schedule;
    for (const Level& level : kLevels) {
        schedule.localbox.emplace_back(level.box, level.box, level.box, 1.0f);
        std::vector<float> trials;
        for (int k = level.firstK; k <= level.lastK; k += level.stepK)
            trials.push_back(static_cast<float>(k) * level.factor);
        schedule.s_values.push_back(std::move(trials));
        schedule.vdm_smoothing.push_back({level.smoothing / std::sqrt(voxelSize[0]),
                                          level.smoothing / std::sqrt(voxelSize[1]),
                                          level.smoothing / std::sqrt(voxelSize[2])});
    }
    return schedule;
}

void localBox(int x, int y, int z, Dimensions kernel, Dimensions volume, std::vector<VoxelIndex>& boxVoxels,
              std::vector<VoxelIndex>& kernelVoxels)
{
    const int hx = kernel.x / 2;
    const int hy = kernel.y / 2;
    const int hz = kernel.z / 2;
    boxVoxels.clear();
    kernelVoxels.clear();
    const int zEnd = std::min(volume.z - 1, z + hz);
    const int yEnd = std::min(volume.y - 1, y + hy);
    const int xEnd = std::min(volume.x - 1, x + hx);
    for (int zz = std::max(0, z - hz); zz <= zEnd; ++zz)
        for (int yy = std::max(0, y - hy); yy <= yEnd; ++yy)
            for (int xx = std::max(0, x - hx); xx <= xEnd; ++xx) {
                boxVoxels.push_back({xx, yy, zz});
                kernelVoxels.push_back({hx + xx - x, hy + yy - y, hz + zz - z});
            }
}

std::size_t bestTrial(const std::vector<double>& values)
{
    std::size_t best = 0;
    for (std::size_t i = 1; i < values.size(); ++i)
        if (values[best] > values[i]) best = i;
    return best;
}

std::pair<Volume, Volume> estimationInputs(const Volume& vol_ap, const Volume& vol_pa, const Volume& vdm, bool use_ic)
{
    if (!use_ic) return {vol_ap, vol_pa};
    const Volume derivative = vdmDerivativeY(invertVdm(vdm));
    Volume apWeight(vol_ap.dimensions());
    applyVdmLinear(apWeight, -derivative + 1.0f, vdm, false);
    Volume paWeight(vol_pa.dimensions());
    applyVdmLinear(paWeight, derivative + 1.0f, vdm, true);
    return {vol_ap * apWeight, vol_pa * paWeight};
}

Volume estimateVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, bool use_ssd,
                   const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values,
                   const std::vector<Sigma3>& vdm_smoothing, bool use_ic, std::ostream& log, int order,
                   VdmEstimateStatistics* statistics)
{
    check(vol_ap.dimensions() == vol_pa.dimensions(), kModule, 97, "vol_ap.dimensions() == vol_pa.dimensions()");
    check(localbox.size() == s_values.size(), kModule, 98, "localbox.size() == s_values.size()");
    check(localbox.size() == vdm_smoothing.size(), kModule, 99, "localbox.size() == vdm_smoothing.size()");
    checkSchedule(localbox, s_values);

    Volume vdm = estimateColumnwiseVdm(vol_ap, vol_pa, sigma, order, log);
    smoothGaussian(vdm, {1.5, 1.5, 1.5}, {0, 0, 0}, true);

    const char* measure = use_ssd ? "SSD" : "NCC";
    Undistorted current = undistortBoth(vol_ap, vol_pa, vdm, use_ic);
    const double initial = agreement(current, use_ssd);
    log << measure << " after applying smoothed VDM: " << initial << std::flush;
    if (std::isnan(initial)) {
        log << "Not-a-number values detected. Local optimization skipped. Please start again trying higher order."
            << std::flush;
        vdm(0, 0, 0) = kNotANumberMarker;
        return vdm;
    }
    check(current.ap.dimensions() == current.pa.dimensions(), kModule, 151, "dim1 == dim2");

    log << "\nStarting local optimizations" << std::flush;
    const long long start = processMilliseconds();

    const Dimensions extent = vol_ap.dimensions();
    std::vector<VoxelIndex> boxVoxels;
    std::vector<VoxelIndex> kernelVoxels;
    std::vector<BoxVoxel> box;
    std::vector<double> trialValues;
    for (std::size_t level = 0; level < localbox.size(); ++level) {
        const Volume& kernel = localbox[level];
        const std::vector<float>& trials = s_values[level];
        trialValues.resize(trials.size());
        Volume accepted = vdm;
        Volume weights(vdm.dimensions(), kUnvisitedWeight);
        std::size_t visited = 0;
        const std::clock_t sweepStart = std::clock();

        for (int z = 0; z < extent.z; ++z)
            for (int y = 0; y < extent.y; ++y)
                for (int x = 0; x < extent.x; ++x) {
                    if (!(current.ap(x, y, z) > kSignalThreshold || current.pa(x, y, z) > kSignalThreshold)) continue;
                    ++visited;
                    localBox(x, y, z, kernel.dimensions(), vdm.dimensions(), boxVoxels, kernelVoxels);
                    prepareBox(boxVoxels, kernelVoxels, vdm, kernel, box);
                    for (std::size_t t = 0; t < trials.size(); ++t)
                        trialValues[t] = use_ssd ? trialValue<true>(box, trials[t], current)
                                                 : trialValue<false>(box, trials[t], current);
                    weights(x, y, z) = kVisitedWeight;
                    accepted(x, y, z) = accepted(x, y, z) + trials[bestTrial(trialValues)];
                }

        if (statistics != nullptr) {
            statistics->visitedPerLevel.push_back(visited);
            statistics->sweepSeconds.push_back(static_cast<double>(std::clock() - sweepStart) / CLOCKS_PER_SEC);
        }
        vdm = std::move(accepted);
        maskedConvolve3D(vdm, gaussianKernel3D({9, 9, 9}, vdm_smoothing[level], {0, 0, 0}, false), weights, true);
        const int repairs = repairFolds(vdm);
        log << "Smoothed (" << vdm_smoothing[level][0] << ") and needed " << static_cast<unsigned>(repairs)
            << " iterations to improve inverse consistency" << std::flush;

        current = undistortBoth(vol_ap, vol_pa, vdm, use_ic);
        log << "Finished iteration with " << measure << ": " << agreement(current, use_ssd) << std::flush;
    }

    if (use_ssd)
        log << "Other distance measure NCC: " << ncc(current.ap, current.pa) << std::flush;
    else
        log << "Other distance measure SSD: " << meanSsd(current.ap, current.pa) << std::flush;
    const long long end = processMilliseconds();
    log << "\nTime taken: " << static_cast<double>(end - start) / 1000.0 << std::flush;

    log << "Inverse consistency check VDM: " << (countFolds(vdm) == 0 ? "PASSED" : "some inconsistencies found")
        << std::flush;
    return vdm;
}
