// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/vdmestimate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/distance.h"
#include "core/mdhslog.h"
#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "estimate/boxtrialsums.h"
#include "estimate/simplevdmestimate.h"
#include "estimate/trialsampling.h"

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
// outside the open interval (0, ny - 1) keep the current value.
inline float resampledAt(float h, float top, std::size_t nx, const float* column, float current)
{
    if (!(h > 0.0f && h < top)) return current;
    return interpolatedAt(h, nx, column);
}

// The local NCC of n voxels from its five float sums, negated so that smaller is better.
inline double negatedCorrelation(float n, float sumA, float sumA2, float sumB, float sumB2, float sumAB)
{
    return -static_cast<double>(boxCorrelation(n, sumA, sumA2, sumB, sumB2, sumAB));
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
        return negatedCorrelation(static_cast<float>(box.size()), sumA, sumA2, sumB, sumB2, sumAB);
    }
}

// Where a level's sweep writes what it decides: the VDM with the accepted corrections and
// the weight of every visited voxel.
struct LevelResult {
    Volume& accepted;
    Volume& weights;
    std::size_t visited = 0;
};

void acceptBest(int x, int y, int z, const std::vector<float>& trials, const std::vector<double>& trialValues,
                LevelResult& result)
{
    result.weights(x, y, z) = kVisitedWeight;
    result.accepted(x, y, z) = result.accepted(x, y, z) + trials[bestTrial(trialValues)];
}

inline bool hasSignal(const Undistorted& volumes, std::size_t i)
{
    return volumes.ap[i] > kSignalThreshold || volumes.pa[i] > kSignalThreshold;
}

// Any box kernel: every trial resamples the box voxels with their kernel weights.
void sweepAnyBox(Undistorted& volumes, const Volume& vdm, const Volume& kernel, const std::vector<float>& trials,
                 bool useSsd, LevelResult& result)
{
    const Dimensions extent = vdm.dimensions();
    std::vector<VoxelIndex> boxVoxels;
    std::vector<VoxelIndex> kernelVoxels;
    std::vector<BoxVoxel> box;
    std::vector<double> trialValues(trials.size());
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x) {
                if (!hasSignal(volumes, vdm.index(x, y, z))) continue;
                localBox(x, y, z, kernel.dimensions(), extent, boxVoxels, kernelVoxels);
                prepareBox(boxVoxels, kernelVoxels, vdm, kernel, box);
                for (std::size_t t = 0; t < trials.size(); ++t)
                    trialValues[t] = useSsd ? trialValue<true>(box, trials[t], volumes)
                                            : trialValue<false>(box, trials[t], volumes);
                acceptBest(x, y, z, trials, trialValues, result);
                ++result.visited;
            }
}

// Calls action(x, y, z, at) for the voxels of the box whose state byte lacks the given
// bits; at = rowStart(y, z) + x is the voxel's place in state. Most rows of a box need
// nothing, which eight state bytes at a time tell quickly; state has eight spare bytes at
// its end for these reads.
template <typename RowStart, typename Action>
void forEachWithout(const std::uint8_t* state, const BoxRange& box, std::uint8_t bits, RowStart rowStart,
                    Action action)
{
    const std::uint64_t wanted = 0x0101010101010101ull * bits;
    for (int z = box.z0; z <= box.z1; ++z)
        for (int y = box.y0; y <= box.y1; ++y) {
            const std::size_t start = rowStart(y, z) + static_cast<std::size_t>(box.x0);
            const std::uint8_t* row = state + start;
            const int length = box.x1 - box.x0 + 1;
            for (int x = 0; x < length; x += 8) {
                const int n = std::min(8, length - x);
                std::uint64_t word;
                std::memcpy(&word, row + x, sizeof word);
                const std::uint64_t mask = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
                if ((word & wanted & mask) == (wanted & mask)) continue;
                for (int i = x; i < x + n; ++i)
                    if ((row[i] & bits) != bits) action(box.x0 + i, y, z, start + static_cast<std::size_t>(i));
            }
        }
}

// A box kernel that holds one value everywhere. Then the value a voxel takes in a trial
// depends only on the voxel and the trial, not on the box it is resampled in, so it is
// worked out once, when a box first holds the voxel, instead of once for every box that
// holds it. Trials run in list order and a trial that samples outside the column keeps
// the value before it, so a voxel's values over the trials are fixed from its first
// sampling trial on; before that it keeps its current value: the level's starting value
// until a box first holds the voxel, and from then on the value of the last trial.
//
// Voxels are visited in storage order, and whether a voxel has signal depends on whether
// an earlier box held it. One quick pass in that order decides which voxels are visited
// and which visited voxel's box first holds each voxel. Bands of rows are then swept side
// by side: a box sees a voxel as held when the voxel's first holder comes before the
// box's own voxel, as in a single sweep, so the result depends neither on the bands nor
// on the threads. A band keeps records for the slices and rows that the boxes around its
// current slice reach.
class UniformBoxSweep {
public:
    UniformBoxSweep(const Undistorted& volumes, const Volume& vdm, Dimensions box, float weight,
                    const std::vector<float>& trials)
        : volumes_(volumes), vdm_(vdm), extent_(vdm.dimensions()), half_{box.x / 2, box.y / 2, box.z / 2},
          weight_(weight), trials_(trials), count_(trials.size()),
          stride_((trials.size() + kTrialLanes - 1) / kTrialLanes * kTrialLanes), depth_(std::min(box.z, extent_.z))
    {
        paddedTrials_.assign(stride_, 0.0f);
        std::copy(trials.begin(), trials.end(), paddedTrials_.begin());
    }

    void run(bool useSsd, LevelResult& result)
    {
        planVisits();
        const std::size_t bands = static_cast<std::size_t>((extent_.y + kBandRows - 1) / kBandRows);
        std::vector<Band> scratch(static_cast<std::size_t>(parallelThreads()));
        const std::vector<std::size_t> visited = partialsOfPieces<std::size_t>(bands, [&](std::size_t band) {
            return sweepBand(static_cast<int>(band), useSsd, scratch[workerSlot()], result);
        });
        for (const std::size_t count : visited) result.visited += count;
    }

private:
    static constexpr int kBandRows = 8;
    static constexpr std::size_t kNeverHeld = std::numeric_limits<std::size_t>::max();
    // A voxel's state in a band only grows: no record yet, record prepared, last trial's
    // value kept.
    static constexpr std::uint8_t kUnprepared = 0;
    static constexpr std::uint8_t kPrepared = 1;
    static constexpr std::uint8_t kSettled = 3;

    struct FirstSampling {
        std::uint32_t ap;
        std::uint32_t pa;
    };

    // The records of one band, reused by the bands that one thread sweeps.
    struct Band {
        std::vector<float> records;
        std::vector<std::uint8_t> state;  // eight spare bytes at the end for the word reads
        std::vector<FirstSampling> firstSampling;
        // One voxel's samples in every trial (trialStride each), and where they lie inside.
        std::vector<float> apSamples, paSamples;
        std::vector<std::int32_t> apInside, paInside;
    };

    // Where a band's records of slice z, rows [firstRow, firstRow + rows), lie.
    struct BandRing {
        int firstRow;
        std::size_t sliceVoxels;
        int nx;
        int depth;
        std::size_t rowStart(int y, int z) const
        {
            return static_cast<std::size_t>(z % depth) * sliceVoxels +
                   static_cast<std::size_t>(y - firstRow) * static_cast<std::size_t>(nx);
        }
    };

    BoxRange boxAround(int x, int y, int z) const
    {
        return {std::max(0, x - half_.x), std::min(extent_.x - 1, x + half_.x),
                std::max(0, y - half_.y), std::min(extent_.y - 1, y + half_.y),
                std::max(0, z - half_.z), std::min(extent_.z - 1, z + half_.z)};
    }

    // Which voxels the level visits, in storage order: a voxel is visited when it has
    // signal, its values being the last trial's once an earlier visited voxel's box held
    // it. Then every voxel's first holder: the first visited voxel whose box holds it.
    void planVisits()
    {
        const std::size_t n = vdm_.size();
        // Signal before (bit 0) and after (bit 1) a box held the voxel.
        std::vector<std::uint8_t> signal(n);
        forEachPiece(static_cast<std::size_t>(extent_.z), [&](std::size_t slice) {
            const int z = static_cast<int>(slice);
            for (int y = 0; y < extent_.y; ++y)
                for (int x = 0; x < extent_.x; ++x) {
                    const std::size_t i = vdm_.index(x, y, z);
                    float a = volumes_.ap[i];
                    float b = volumes_.pa[i];
                    const bool before = a > kSignalThreshold || b > kSignalThreshold;
                    lastTrialValues(x, y, z, a, b);
                    const bool after = a > kSignalThreshold || b > kSignalThreshold;
                    signal[i] = static_cast<std::uint8_t>((before ? 1 : 0) | (after ? 2 : 0));
                }
        });
        decideVisits(signal);
        findFirstHolders();
    }

    // Where both signals agree the voxel's own one decides. Elsewhere whether an earlier
    // visited voxel lies in the voxel's box decides, counted with running sums of the
    // visited voxels per slice: sat(x, y, z) counts those of slice z left of x and above y.
    void decideVisits(const std::vector<std::uint8_t>& signal)
    {
        const int nx = extent_.x, ny = extent_.y;
        const std::size_t satRow = static_cast<std::size_t>(nx) + 1;
        const std::size_t satSlice = satRow * (static_cast<std::size_t>(ny) + 1);
        std::vector<std::uint32_t> sat(satSlice * static_cast<std::size_t>(extent_.z), 0);
        const auto at = [&](int x, int y, int z) {
            return static_cast<std::size_t>(z) * satSlice + static_cast<std::size_t>(y) * satRow +
                   static_cast<std::size_t>(x);
        };
        // Visited voxels of slice z in columns [x0, x1] and rows [y0, y1] (inclusive).
        const auto count = [&](int x0, int x1, int y0, int y1, int z) {
            return sat[at(x1 + 1, y1 + 1, z)] - sat[at(x0, y1 + 1, z)] - sat[at(x1 + 1, y0, z)] + sat[at(x0, y0, z)];
        };
        std::vector<std::uint32_t> rowPrefix(satRow, 0);
        visited_.assign(vdm_.size(), 0);
        for (int z = 0; z < extent_.z; ++z)
            for (int y = 0; y < ny; ++y) {
                for (int x = 0; x < nx; ++x) {
                    const std::size_t i = vdm_.index(x, y, z);
                    bool visit = signal[i] == 3;
                    if (signal[i] == 1 || signal[i] == 2) {
                        const int x0 = std::max(0, x - half_.x), x1 = std::min(nx - 1, x + half_.x);
                        const int y0 = std::max(0, y - half_.y), y1 = std::min(ny - 1, y + half_.y);
                        bool held = rowPrefix[x] - rowPrefix[x0] > 0 || (y > y0 && count(x0, x1, y0, y - 1, z) > 0);
                        for (int zz = std::max(0, z - half_.z); zz < z && !held; ++zz)
                            held = count(x0, x1, y0, y1, zz) > 0;
                        visit = signal[i] == (held ? 2 : 1);
                    }
                    visited_[i] = visit ? 1 : 0;
                    rowPrefix[x + 1] = rowPrefix[x] + (visit ? 1 : 0);
                }
                for (int x = 0; x <= nx; ++x) sat[at(x, y + 1, z)] = sat[at(x, y, z)] + rowPrefix[x];
            }
    }

    // The smallest index of a visited voxel within the box around every voxel (boxes are
    // symmetric: u lies in the box of w when w lies in the box of u), as running minima
    // along x, y and z; a minimum does not depend on the order it is taken in.
    void findFirstHolders()
    {
        std::vector<std::size_t> own(vdm_.size());
        for (std::size_t i = 0; i < own.size(); ++i) own[i] = visited_[i] != 0 ? i : kNeverHeld;
        firstHolder_.resize(own.size());
        runningMinimum(own, firstHolder_, 0);
        runningMinimum(firstHolder_, own, 1);
        runningMinimum(own, firstHolder_, 2);
    }

    // target at every voxel: the smallest value of source within the box's half extent
    // along the axis (0 x, 1 y, 2 z).
    void runningMinimum(const std::vector<std::size_t>& source, std::vector<std::size_t>& target, int axis) const
    {
        const int length[3] = {extent_.x, extent_.y, extent_.z};
        const int half[3] = {half_.x, half_.y, half_.z};
        const std::size_t stride[3] = {1, static_cast<std::size_t>(extent_.x),
                                       static_cast<std::size_t>(extent_.x) * static_cast<std::size_t>(extent_.y)};
        forEachPiece(static_cast<std::size_t>(extent_.z), [&](std::size_t slice) {
            const int z = static_cast<int>(slice);
            for (int y = 0; y < extent_.y; ++y)
                for (int x = 0; x < extent_.x; ++x) {
                    const int at = axis == 0 ? x : axis == 1 ? y : z;
                    const std::size_t i = vdm_.index(x, y, z);
                    const int low = std::max(0, at - half[axis]);
                    const std::size_t lowest = i - static_cast<std::size_t>(at - low) * stride[axis];
                    const int count = std::min(length[axis] - 1, at + half[axis]) - low + 1;
                    std::size_t first = kNeverHeld;
                    for (int k = 0; k < count; ++k)
                        first = std::min(first, source[lowest + static_cast<std::size_t>(k) * stride[axis]]);
                    target[i] = first;
                }
        });
    }

    // The values (a of AP, b of PA) that the voxel holds after the last trial, from the
    // values before the first.
    void lastTrialValues(int x, int y, int z, float& a, float& b) const
    {
        const std::size_t nx = static_cast<std::size_t>(extent_.x);
        const float top = static_cast<float>(extent_.y - 1);
        const std::size_t column = vdm_.index(x, 0, z);
        const float row = static_cast<float>(y);
        const float displacement = vdm_(x, y, z);
        bool apFound = false;
        bool paFound = false;
        for (std::size_t t = count_; t-- > 0 && !(apFound && paFound);) {
            const float shift = displacement + trials_[t] * weight_;
            const float hA = row + shift;
            if (!apFound && hA > 0.0f && hA < top) {
                a = interpolatedAt(hA, nx, volumes_.apSource.data() + column);
                apFound = true;
            }
            const float hB = row + -shift;
            if (!paFound && hB > 0.0f && hB < top) {
                b = interpolatedAt(hB, nx, volumes_.paSource.data() + column);
                paFound = true;
            }
        }
    }

    // Rows [band * kBandRows, + kBandRows) of every slice; returns the voxels visited.
    std::size_t sweepBand(int band, bool useSsd, Band& scratch, LevelResult& result) const
    {
        const int y0 = band * kBandRows;
        const int y1 = std::min(extent_.y, y0 + kBandRows);
        const int firstRow = std::max(0, y0 - half_.y);
        const BandRing ring{firstRow,
                            static_cast<std::size_t>(std::min(extent_.y, y1 + half_.y) - firstRow) *
                                static_cast<std::size_t>(extent_.x),
                            extent_.x, depth_};
        const std::size_t voxels = static_cast<std::size_t>(depth_) * ring.sliceVoxels;
        if (scratch.records.size() < voxels * 2 * stride_) {
            scratch.records.resize(voxels * 2 * stride_);
            scratch.firstSampling.resize(voxels);
        }
        scratch.state.resize(std::max(scratch.state.size(), voxels + 8));
        for (std::vector<float>* samples : {&scratch.apSamples, &scratch.paSamples}) samples->resize(stride_);
        for (std::vector<std::int32_t>* inside : {&scratch.apInside, &scratch.paInside}) inside->resize(stride_);
        const auto clearSlice = [&](int z) {
            std::fill_n(scratch.state.begin() + static_cast<std::ptrdiff_t>(ring.rowStart(firstRow, z)),
                        ring.sliceVoxels, kUnprepared);
        };
        const auto rowStart = [&ring](int y, int z) { return ring.rowStart(y, z); };

        std::vector<double> trialValues(count_);
        std::vector<double> ssd(stride_);
        std::vector<float> ncc(5 * stride_), correlations(stride_);
        const NccSums nccSums{ncc.data(), ncc.data() + stride_, ncc.data() + 2 * stride_, ncc.data() + 3 * stride_,
                              ncc.data() + 4 * stride_};
        const TrialRecords records{scratch.records.data(), stride_, extent_.x, ring.sliceVoxels, depth_, firstRow};
        std::vector<std::size_t> firstHeld;
        std::size_t visited = 0;
        for (int z = 0; z < extent_.z; ++z) {
            // The slot of the slice that the boxes of this slice reach last was held by a
            // slice that no box reaches any more.
            if (z == 0)
                for (int zz = 0; zz <= std::min(extent_.z - 1, half_.z); ++zz) clearSlice(zz);
            else if (z + half_.z < extent_.z)
                clearSlice(z + half_.z);
            for (int y = y0; y < y1; ++y)
                for (int x = 0; x < extent_.x; ++x) {
                    const std::size_t i = vdm_.index(x, y, z);
                    if (visited_[i] == 0) continue;
                    const BoxRange box = boxAround(x, y, z);
                    // The voxels that this box holds first are settled once it is summed.
                    firstHeld.clear();
                    forEachWithout(scratch.state.data(), box, kSettled, rowStart,
                                   [&](int xx, int yy, int zz, std::size_t at) {
                                       if (scratch.state[at] == kUnprepared) prepare(xx, yy, zz, at, scratch);
                                       if (firstHolder_[vdm_.index(xx, yy, zz)] < i)
                                           settle(at, scratch);
                                       else
                                           firstHeld.push_back(at);
                                   });
                    if (useSsd) {
                        boxSsdSums(records, box, ssd.data());
                        std::copy_n(ssd.begin(), count_, trialValues.begin());
                    } else {
                        boxNccSums(records, box, nccSums);
                        const float n = static_cast<float>((box.x1 - box.x0 + 1) * (box.y1 - box.y0 + 1) *
                                                           (box.z1 - box.z0 + 1));
                        boxCorrelations(nccSums, n, stride_, correlations.data());
                        for (std::size_t t = 0; t < count_; ++t) trialValues[t] = -static_cast<double>(correlations[t]);
                    }
                    for (const std::size_t at : firstHeld) settle(at, scratch);
                    acceptBest(x, y, z, trials_, trialValues, result);
                    ++visited;
                }
        }
        return visited;
    }

    // The voxel's values in every trial, starting from the level's starting value.
    void prepare(int x, int y, int z, std::size_t at, Band& scratch) const
    {
        const std::size_t i = vdm_.index(x, y, z);
        const std::size_t column = vdm_.index(x, 0, z);
        const float row = static_cast<float>(y);
        const std::size_t nx = static_cast<std::size_t>(extent_.x);
        // The padded trials sample in whole groups of lanes; the padding's values go unused.
        sampleTrials({volumes_.apSource.data() + column, nx, extent_.y, row, vdm_[i], weight_, false},
                     paddedTrials_.data(), stride_, scratch.apSamples.data(), scratch.apInside.data());
        sampleTrials({volumes_.paSource.data() + column, nx, extent_.y, row, vdm_[i], weight_, true},
                     paddedTrials_.data(), stride_, scratch.paSamples.data(), scratch.paInside.data());
        float a = volumes_.ap[i];
        float b = volumes_.pa[i];
        FirstSampling first{static_cast<std::uint32_t>(count_), static_cast<std::uint32_t>(count_)};
        float* record = scratch.records.data() + at * 2 * stride_;
        for (std::size_t t = 0; t < count_; ++t) {
            if (scratch.apInside[t] != 0) {
                a = scratch.apSamples[t];
                first.ap = std::min(first.ap, static_cast<std::uint32_t>(t));
            }
            if (scratch.paInside[t] != 0) {
                b = scratch.paSamples[t];
                first.pa = std::min(first.pa, static_cast<std::uint32_t>(t));
            }
            record[t] = a;
            record[stride_ + t] = b;
        }
        std::fill(record + count_, record + stride_, 0.0f);
        std::fill(record + stride_ + count_, record + 2 * stride_, 0.0f);
        scratch.firstSampling[at] = first;
        scratch.state[at] = kPrepared;
    }

    // Once a box held the voxel, the trials before its first sampling one keep the last
    // trial's value.
    void settle(std::size_t at, Band& scratch) const
    {
        const FirstSampling first = scratch.firstSampling[at];
        float* record = scratch.records.data() + at * 2 * stride_;
        std::fill(record, record + first.ap, record[count_ - 1]);
        std::fill(record + stride_, record + stride_ + first.pa, record[stride_ + count_ - 1]);
        scratch.state[at] = kSettled;
    }

    const Undistorted& volumes_;
    const Volume& vdm_;
    const Dimensions extent_;
    const Dimensions half_;
    const float weight_;
    const std::vector<float>& trials_;
    const std::size_t count_;
    std::vector<float> paddedTrials_;  // the trials, then zeros up to stride_
    const std::size_t stride_;
    const int depth_;
    std::vector<std::uint8_t> visited_;
    std::vector<std::size_t> firstHolder_;
};

// The one value of a box kernel that holds the same value everywhere.
std::optional<float> uniformValue(const Volume& kernel)
{
    const float first = kernel[0];
    for (std::size_t i = 0; i < kernel.size(); ++i)
        if (!(kernel[i] == first)) return std::nullopt;
    return first;
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

namespace {

// Levels firstLevel.. of the schedule, from vdm and the pair undistorted by it (current).
// vdm ends as the last level leaves it. With a log, each level's progress is written and
// current ends undistorted by the last level's map; without, nothing is logged and the
// pair is not undistorted again after the last level.
void refineLevels(const Volume& vol_ap, const Volume& vol_pa, Volume& vdm, Undistorted& current, bool use_ssd,
                  const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values,
                  const std::vector<Sigma3>& vdm_smoothing, bool separableSmoothing, std::size_t firstLevel,
                  bool use_ic, std::ostream* log, VdmEstimateStatistics* statistics)
{
    const char* measure = use_ssd ? "SSD" : "NCC";
    for (std::size_t level = firstLevel; level < localbox.size(); ++level) {
        throwIfStopRequested();
        const Volume& kernel = localbox[level];
        const std::vector<float>& trials = s_values[level];
        Volume accepted = vdm;
        Volume weights(vdm.dimensions(), kUnvisitedWeight);
        LevelResult result{accepted, weights};
        const std::clock_t sweepStart = std::clock();
        if (const std::optional<float> weight = uniformValue(kernel))
            UniformBoxSweep(current, vdm, kernel.dimensions(), *weight, trials).run(use_ssd, result);
        else
            sweepAnyBox(current, vdm, kernel, trials, use_ssd, result);

        if (statistics != nullptr) {
            statistics->visitedPerLevel.push_back(result.visited);
            statistics->sweepSeconds.push_back(static_cast<double>(std::clock() - sweepStart) / CLOCKS_PER_SEC);
        }
        vdm = std::move(accepted);
        if (separableSmoothing)
            maskedSmoothSeparable(vdm, {9, 9, 9}, vdm_smoothing[level], weights);
        else
            maskedConvolve3D(vdm, gaussianKernel3D({9, 9, 9}, vdm_smoothing[level], {0, 0, 0}, false), weights, true);
        const int repairs = repairFolds(vdm);
        if (log == nullptr) {
            if (level + 1 < localbox.size()) current = undistortBoth(vol_ap, vol_pa, vdm, use_ic);
            continue;
        }
        *log << "Smoothed (" << vdm_smoothing[level][0] << ") and needed " << static_cast<unsigned>(repairs)
             << " iterations to improve inverse consistency" << std::flush;

        current = undistortBoth(vol_ap, vol_pa, vdm, use_ic);
        *log << "Finished iteration with " << measure << ": " << agreement(current, use_ssd) << std::flush;
    }
}

}  // namespace

Volume estimateVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, bool use_ssd,
                   const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values,
                   const std::vector<Sigma3>& vdm_smoothing, bool use_ic, std::ostream& log, int order,
                   VdmEstimateStatistics* statistics, bool separableSmoothing)
{
    check(vol_ap.dimensions() == vol_pa.dimensions(), kModule, 97, "vol_ap.dimensions() == vol_pa.dimensions()");
    check(localbox.size() == s_values.size(), kModule, 98, "localbox.size() == s_values.size()");
    check(localbox.size() == vdm_smoothing.size(), kModule, 99, "localbox.size() == vdm_smoothing.size()");
    checkSchedule(localbox, s_values);

    Volume vdm = smoothedColumnwiseVdm(vol_ap, vol_pa, sigma, order, log);

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

    refineLevels(vol_ap, vol_pa, vdm, current, use_ssd, localbox, s_values, vdm_smoothing, separableSmoothing, 0,
                 use_ic, &log, statistics);

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

Volume refineVdm(const Volume& vol_ap, const Volume& vol_pa, Volume start, bool use_ssd,
                 const EstimationSchedule& schedule, std::size_t firstLevel, bool use_ic)
{
    check(vol_ap.dimensions() == vol_pa.dimensions() && start.dimensions() == vol_ap.dimensions(), kModule, 152,
          "vol_ap, vol_pa and start of one extent");
    checkSchedule(schedule.localbox, schedule.s_values);
    Undistorted current = undistortBoth(vol_ap, vol_pa, start, use_ic);
    refineLevels(vol_ap, vol_pa, start, current, use_ssd, schedule.localbox, schedule.s_values,
                 schedule.vdm_smoothing, schedule.separableSmoothing, firstLevel, use_ic, nullptr, nullptr);
    return start;
}
