// SPDX-License-Identifier: GPL-3.0-or-later
// The lines along y of one slice, prepared once for every pair of copies restored in it
// (see core/restoration.h for the model): where each row of each copy samples the line,
// and the normal equations of the line factorised for copies that are finite along it.
// Pairs then restore their lines independently, so fixed pieces of pairs and lines run on
// any number of threads with the same result.
#pragma once

#include <cstddef>
#include <vector>

#include "core/volume.h"

// Pairs restored together along a line that they share: independent lanes of the same
// operations, which the processor overlaps.
constexpr int kRestoredLanes = 4;

// Lines of a slice prepared and restored per piece of work: a fixed count, so the pieces
// do not depend on the threads.
constexpr int kRestoredLinesPerPiece = 8;

// A piece of a slice's restoration: pairs first .. first + count - 1 (a group of up to
// kRestoredLanes) along the lines begin .. end - 1 (a block of linesPerPiece).
struct RestorationPiece {
    std::size_t first;
    int count;
    int begin, end;
};

// The number of pieces of pairs pairs along nx lines, and piece number `piece` of them
// (group by group, the blocks of lines within a group).
std::size_t restorationPieces(std::size_t pairs, int nx, int linesPerPiece);
RestorationPiece restorationPiece(std::size_t piece, std::size_t pairs, int nx, int linesPerPiece);

// One row of W_s: the sample at y + s*vdm(y) combines coefficient first - k with
// weight[k], k = 0..3 (weight 0 outside the line). first is kNoRowData when the sample
// lies outside the spline's support.
constexpr int kNoRowData = -1;
struct SampledRow {
    int first;
    double weight[4];
};

// The normal equations of one line in the envelope of their lower triangle, factorised
// (L L^T). Row r holds the columns start[r]..r.
class LineSystem {
public:
    explicit LineSystem(int n);

    // Assembles and factorises for the rows of the two copies; keep[s] (null: all)
    // marks the residuals that count. False when no residual constrains the line.
    bool factor(const SampledRow* const rows[2], const unsigned char* const keep[2], double smoothness);

    // The solution for the right-hand side W_+ q_+ + W_- q_- (q[s * n + j]; work: n
    // values) into out (stride apart), clipped at 0.
    void solve(const SampledRow* const rows[2], const double* q, double* work, float* out, std::size_t stride) const;

    // solve for kRestoredLanes right-hand sides at once, each lane with the same operations
    // in the same order as solve: q[(s * n + j) * kRestoredLanes + lane] and the solution
    // z[r * kRestoredLanes + lane], not clipped.
    void solveLanes(const SampledRow* const rows[2], const double* q, double* z) const;

private:
    // The solution for L interleaved right-hand sides, not clipped: solve is L = 1.
    template <int L>
    void solveInLanes(const SampledRow* const rows[2], const double* q, double* z) const;
    double& at(int r, int c) { return lower_[offset_[r] + static_cast<std::size_t>(c - start_[r])]; }
    void bucket(const SampledRow* rows);
    void cholesky();

    int n_;
    std::vector<int> start_;
    std::vector<std::size_t> offset_;
    std::vector<int> bucketStart_;
    std::vector<int> byFirst_;
    std::vector<int> cursor_;
    std::vector<double> lower_;
};

// Slice z of the map, every line x prepared: rows of both copies, and the factorisation
// shared by the pairs whose copies are finite along the line.
class SliceLines {
public:
    SliceLines(const Volume& vdm, int z, double smoothness);

    int nx() const { return nx_; }
    int ny() const { return ny_; }
    double smoothness() const { return smoothness_; }
    // The rows of line x: [0] plus (sampled at y + vdm), [1] minus (at y - vdm).
    const SampledRow* rows(int x, int copy) const
    {
        return rows_.data() + (2 * static_cast<std::size_t>(x) + static_cast<std::size_t>(copy)) * static_cast<std::size_t>(ny_);
    }
    // The shared factorisation of line x; null when no residual constrains the line.
    const LineSystem* shared(int x) const { return usable_[static_cast<std::size_t>(x)] ? &shared_[static_cast<std::size_t>(x)] : nullptr; }

private:
    int nx_, ny_;
    double smoothness_;
    std::vector<SampledRow> rows_;
    std::vector<LineSystem> shared_;
    std::vector<unsigned char> usable_;
};

// The scratch space of one thread restoring lines of ny rows.
struct LineScratch {
    explicit LineScratch(int ny);
    std::vector<double> values, filtered, lanes, work;
    std::vector<unsigned char> kept;
    LineSystem own;
};

// Line x of up to kRestoredLanes pairs: plus[i] and minus[i] point at the line's first
// value (values stride apart), out[i] at the first value of its restoration.
struct LinePairs {
    int count = 0;
    const float* plus[kRestoredLanes] = {};
    const float* minus[kRestoredLanes] = {};
    float* out[kRestoredLanes] = {};
};

// Restores line x of the slice for every pair of lines into its out (values outStride
// apart, which may be the plus copy itself), clipped at 0. Values that are not finite drop
// out of their copy's residuals; a line that nothing constrains is 0.
void restoreLines(const SliceLines& lines, int x, const LinePairs& pairs, std::size_t stride, LineScratch& scratch,
                  std::size_t outStride);
