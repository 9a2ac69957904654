// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/restorationlines.h"

#include <algorithm>
#include <cmath>

#include "core/bspline.h"
#include "core/threadpool.h"

namespace {

void sampleRows(const float* vdm, std::size_t stride, int n, float sign, SampledRow* rows)
{
    AxisWeights w;
    for (int y = 0; y < n; ++y) {
        SampledRow& row = rows[y];
        // The position as the undistortion computes it, in single precision.
        if (!axisWeights(static_cast<float>(y) + sign * vdm[static_cast<std::size_t>(y) * stride], n, w)) {
            row.first = kNoRowData;
            continue;
        }
        row.first = w.first;
        for (int k = 0; k < 4; ++k) row.weight[k] = w.weight[k];
    }
}

// The observations of one copy through the prefilter, q = P y (zero beyond the line;
// q[j * qStride]), and which of them count: those whose three values are finite.
void prefilter(const double* y, int n, double* q, std::size_t qStride, unsigned char* keep)
{
    for (int j = 0; j < n; ++j) {
        const double below = j > 0 ? y[j - 1] : 0.0;
        const double above = j + 1 < n ? y[j + 1] : 0.0;
        const double value = (below + 4.0 * y[j] + above) / 6.0;
        keep[j] = std::isfinite(value) ? 1 : 0;
        q[static_cast<std::size_t>(j) * qStride] = keep[j] ? value : 0.0;
    }
}

bool allFinite(const double* values, int n)
{
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

// Whether rows with first indices firstA and firstB share a residual that counts.
bool keptOverlap(int firstA, int firstB, const unsigned char* keep, int n)
{
    for (int j = std::max({std::max(firstA, firstB) - 3, 0}); j <= std::min(std::min(firstA, firstB), n - 1); ++j)
        if (!keep || keep[j]) return true;
    return false;
}

// Row r of W_s against row c: the sum over the residuals j that both touch.
double dot(const SampledRow& a, const SampledRow& c, const unsigned char* keep, int n)
{
    double sum = 0.0;
    const int last = std::min(std::min(a.first, c.first), n - 1);
    for (int j = std::max(std::max(a.first, c.first) - 3, 0); j <= last; ++j)
        if (!keep || keep[j]) sum += a.weight[a.first - j] * c.weight[c.first - j];
    return sum;
}

}  // namespace

LineSystem::LineSystem(int n)
    : n_(n), start_(static_cast<std::size_t>(n)), offset_(static_cast<std::size_t>(n) + 1),
      bucketStart_(static_cast<std::size_t>(n) + 4), byFirst_(static_cast<std::size_t>(n))
{
}

bool LineSystem::factor(const SampledRow* const rows[2], const unsigned char* const keep[2], double smoothness)
{
    bool anyData = false;
    for (int r = 0; r < n_; ++r) start_[r] = r > 0 ? r - 1 : 0;
    for (int s = 0; s < 2; ++s) {
        bucket(rows[s]);
        for (int r = 0; r < n_; ++r) {
            const int f = rows[s][r].first;
            if (f == kNoRowData) continue;
            anyData = anyData || keptOverlap(f, f, keep[s], n_);
            for (int b = std::max(0, f - 3); b <= std::min(n_ + 2, f + 3); ++b)
                if (bucketStart_[b] < bucketStart_[b + 1]) start_[r] = std::min(start_[r], byFirst_[bucketStart_[b]]);
        }
    }
    if (!anyData) return false;
    offset_[0] = 0;
    for (int r = 0; r < n_; ++r) offset_[r + 1] = offset_[r] + static_cast<std::size_t>(r - start_[r] + 1);
    lower_.assign(offset_[n_], 0.0);

    for (int s = 0; s < 2; ++s) {
        bucket(rows[s]);
        for (int r = 0; r < n_; ++r) {
            const SampledRow& a = rows[s][r];
            if (a.first == kNoRowData) continue;
            for (int b = std::max(0, a.first - 3); b <= std::min(n_ + 2, a.first + 3); ++b)
                for (int i = bucketStart_[b]; i < bucketStart_[b + 1]; ++i) {
                    const int c = byFirst_[i];
                    if (c > r) break;
                    at(r, c) += dot(a, rows[s][c], keep[s], n_);
                }
        }
    }
    for (int r = 0; r < n_ && n_ > 1; ++r) {
        at(r, r) += smoothness * (r == 0 || r == n_ - 1 ? 1.0 : 2.0);
        if (r > 0) at(r, r - 1) -= smoothness;
    }
    cholesky();
    return true;
}

void LineSystem::solve(const SampledRow* const rows[2], const double* q, double* work, float* out,
                       std::size_t stride) const
{
    solveInLanes<1>(rows, q, work);
    for (int r = 0; r < n_; ++r) out[static_cast<std::size_t>(r) * stride] = static_cast<float>(std::max(work[r], 0.0));
}

void LineSystem::solveLanes(const SampledRow* const rows[2], const double* q, double* z) const
{
    solveInLanes<kRestoredLanes>(rows, q, z);
}

template <int L>
void LineSystem::solveInLanes(const SampledRow* const rows[2], const double* q, double* z) const
{
    for (int r = 0; r < n_; ++r) {
        double b[L] = {};
        for (int s = 0; s < 2; ++s) {
            const SampledRow& a = rows[s][r];
            if (a.first == kNoRowData) continue;
            for (int k = 0; k < 4; ++k) {
                const int j = a.first - k;
                if (j < 0 || j >= n_) continue;
                const double w = a.weight[k];
                const double* qj = q + (static_cast<std::size_t>(s) * static_cast<std::size_t>(n_) + static_cast<std::size_t>(j)) * L;
                for (int i = 0; i < L; ++i) b[i] += w * qj[i];
            }
        }
        const double* row = lower_.data() + offset_[r];
        for (int c = start_[r]; c < r; ++c) {
            const double l = row[c - start_[r]];
            const double* zc = z + static_cast<std::size_t>(c) * L;
            for (int i = 0; i < L; ++i) b[i] -= l * zc[i];
        }
        const double diagonal = row[r - start_[r]];
        for (int i = 0; i < L; ++i) z[static_cast<std::size_t>(r) * L + i] = b[i] / diagonal;
    }
    for (int r = n_ - 1; r >= 0; --r) {
        const double* row = lower_.data() + offset_[r];
        const double diagonal = row[r - start_[r]];
        double* zr = z + static_cast<std::size_t>(r) * L;
        for (int i = 0; i < L; ++i) zr[i] /= diagonal;
        for (int c = start_[r]; c < r; ++c) {
            const double l = row[c - start_[r]];
            double* zc = z + static_cast<std::size_t>(c) * L;
            for (int i = 0; i < L; ++i) zc[i] -= l * zr[i];
        }
    }
}

// The rows sorted by their first index (counting sort, ascending rows in a bucket).
void LineSystem::bucket(const SampledRow* rows)
{
    std::fill(bucketStart_.begin(), bucketStart_.end(), 0);
    for (int r = 0; r < n_; ++r)
        if (rows[r].first != kNoRowData) ++bucketStart_[rows[r].first + 1];
    for (int b = 0; b < n_ + 3; ++b) bucketStart_[b + 1] += bucketStart_[b];
    std::vector<int>& next = cursor_;
    next.assign(bucketStart_.begin(), bucketStart_.end() - 1);
    for (int r = 0; r < n_; ++r)
        if (rows[r].first != kNoRowData) byFirst_[next[rows[r].first]++] = r;
}

// Cholesky in the envelope: fill-in stays within each row's first column.
void LineSystem::cholesky()
{
    for (int r = 0; r < n_; ++r) {
        double* row = lower_.data() + offset_[r];
        for (int c = start_[r]; c <= r; ++c) {
            const double* other = lower_.data() + offset_[c];
            double sum = row[c - start_[r]];
            for (int k = std::max(start_[r], start_[c]); k < c; ++k) sum -= row[k - start_[r]] * other[k - start_[c]];
            if (c < r) {
                row[c - start_[r]] = sum / other[c - start_[c]];
            } else {
                // Positive definite in exact arithmetic; a pivot lost to rounding is
                // kept tiny instead of dividing by zero.
                const double diagonal = row[r - start_[r]];
                row[r - start_[r]] = std::sqrt(std::max(sum, diagonal * 1e-12));
            }
        }
    }
}

SliceLines::SliceLines(const Volume& vdm, int z, double smoothness)
    : nx_(vdm.nx()), ny_(vdm.ny()), smoothness_(smoothness),
      rows_(2 * static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_)),
      usable_(static_cast<std::size_t>(nx_), 0)
{
    shared_.reserve(static_cast<std::size_t>(nx_));
    for (int x = 0; x < nx_; ++x) shared_.emplace_back(ny_);
    forEachBlock(static_cast<std::size_t>(nx_), static_cast<std::size_t>(kRestoredLinesPerPiece), [&](std::size_t begin, std::size_t end) {
        const unsigned char* const all[2] = {nullptr, nullptr};
        for (int x = static_cast<int>(begin); x < static_cast<int>(end); ++x) {
            const float* line = vdm.data() + vdm.index(x, 0, z);
            for (int s = 0; s < 2; ++s)
                sampleRows(line, static_cast<std::size_t>(nx_), ny_, s == 0 ? 1.0f : -1.0f,
                           rows_.data() + (2 * static_cast<std::size_t>(x) + static_cast<std::size_t>(s)) *
                                              static_cast<std::size_t>(ny_));
            const SampledRow* const lineRows[2] = {rows(x, 0), rows(x, 1)};
            usable_[static_cast<std::size_t>(x)] = shared_[static_cast<std::size_t>(x)].factor(lineRows, all, smoothness_) ? 1 : 0;
        }
    });
}

LineScratch::LineScratch(int ny)
    : values(2 * static_cast<std::size_t>(ny)), filtered(2 * static_cast<std::size_t>(ny)),
      lanes(2 * static_cast<std::size_t>(ny) * kRestoredLanes), work(static_cast<std::size_t>(ny) * kRestoredLanes),
      kept(2 * static_cast<std::size_t>(ny)), own(ny)
{
}

void restoreLines(const SliceLines& lines, int x, const LinePairs& pairs, std::size_t stride, LineScratch& scratch,
                  std::size_t outStride)
{
    const int ny = lines.ny();
    const std::size_t line = static_cast<std::size_t>(ny);
    const SampledRow* const rows[2] = {lines.rows(x, 0), lines.rows(x, 1)};
    const LineSystem* shared = lines.shared(x);
    double* y = scratch.values.data();
    double* lanes = scratch.lanes.data();
    unsigned char* keep = scratch.kept.data();
    bool solveShared[kRestoredLanes] = {};
    bool anyShared = false;
    for (int i = 0; i < pairs.count; ++i) {
        for (int s = 0; s < 2; ++s) {
            const float* copy = s == 0 ? pairs.plus[i] : pairs.minus[i];
            for (int j = 0; j < ny; ++j) y[s * line + j] = copy[static_cast<std::size_t>(j) * stride];
        }
        float* out = pairs.out[i];
        const bool finite = allFinite(y, 2 * ny);
        if (finite && pairs.count > 1) {
            // Solved below with the other lanes that share the line's factorisation.
            for (int s = 0; s < 2; ++s)
                prefilter(y + s * line, ny, lanes + static_cast<std::size_t>(s) * line * kRestoredLanes + i,
                          kRestoredLanes, keep + s * line);
            solveShared[i] = shared != nullptr;
            anyShared = anyShared || solveShared[i];
            if (!shared)
                for (int j = 0; j < ny; ++j) out[static_cast<std::size_t>(j) * outStride] = 0.0f;
            continue;
        }
        // A pair alone, or copies that are not finite along the line: solved on its own.
        double* q = scratch.filtered.data();
        for (int s = 0; s < 2; ++s) prefilter(y + s * line, ny, q + s * line, 1, keep + s * line);
        const unsigned char* const masks[2] = {keep, keep + line};
        const LineSystem* system = finite ? shared : scratch.own.factor(rows, masks, lines.smoothness()) ? &scratch.own : nullptr;
        if (system)
            system->solve(rows, q, scratch.work.data(), out, outStride);
        else
            for (int j = 0; j < ny; ++j) out[static_cast<std::size_t>(j) * outStride] = 0.0f;
    }
    if (!anyShared) return;
    // Lanes that the shared solve does not restore carry zeros through it.
    for (int i = 0; i < kRestoredLanes; ++i)
        if (!solveShared[i])
            for (std::size_t j = 0; j < 2 * line; ++j) lanes[j * kRestoredLanes + static_cast<std::size_t>(i)] = 0.0;
    double* z = scratch.work.data();
    shared->solveLanes(rows, lanes, z);
    for (int i = 0; i < pairs.count; ++i) {
        if (!solveShared[i]) continue;
        float* out = pairs.out[i];
        for (int r = 0; r < ny; ++r)
            out[static_cast<std::size_t>(r) * outStride] =
                static_cast<float>(std::max(z[static_cast<std::size_t>(r) * kRestoredLanes + static_cast<std::size_t>(i)], 0.0));
    }
}

std::size_t restorationPieces(std::size_t pairs, int nx, int linesPerPiece)
{
    const std::size_t blocks = static_cast<std::size_t>((nx + linesPerPiece - 1) / linesPerPiece);
    return (pairs + kRestoredLanes - 1) / kRestoredLanes * blocks;
}

RestorationPiece restorationPiece(std::size_t piece, std::size_t pairs, int nx, int linesPerPiece)
{
    const std::size_t blocks = static_cast<std::size_t>((nx + linesPerPiece - 1) / linesPerPiece);
    RestorationPiece result;
    result.first = piece / blocks * kRestoredLanes;
    result.count = static_cast<int>(std::min<std::size_t>(kRestoredLanes, pairs - result.first));
    result.begin = static_cast<int>(piece % blocks) * linesPerPiece;
    result.end = std::min(nx, result.begin + linesPerPiece);
    return result;
}
