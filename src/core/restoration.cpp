// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/restoration.h"

#include <algorithm>
#include <cmath>

#include "core/bspline.h"
#include "core/mdhslog.h"

namespace {

constexpr const char* kModule = "src\\restoration";
constexpr int kNoData = -1;

// One row of W_s: the sample at y + s*vdm(y) combines coefficient first - k with
// weight[k], k = 0..3 (weight 0 outside the line). first is kNoData when the sample
// lies outside the spline's support.
struct SampledRow {
    int first;
    double weight[4];
};

void sampleRows(const float* vdm, std::size_t stride, int n, float sign, SampledRow* rows)
{
    AxisWeights w;
    for (int y = 0; y < n; ++y) {
        SampledRow& row = rows[y];
        // The position as the undistortion computes it, in single precision.
        if (!axisWeights(static_cast<float>(y) + sign * vdm[static_cast<std::size_t>(y) * stride], n, w)) {
            row.first = kNoData;
            continue;
        }
        row.first = w.first;
        for (int k = 0; k < 4; ++k) row.weight[k] = w.weight[k];
    }
}

// The observations of one copy through the prefilter, q = P y (zero beyond the line),
// and which of them count: those whose three values are finite.
void prefilter(const double* y, int n, double* q, unsigned char* keep)
{
    for (int j = 0; j < n; ++j) {
        const double below = j > 0 ? y[j - 1] : 0.0;
        const double above = j + 1 < n ? y[j + 1] : 0.0;
        const double value = (below + 4.0 * y[j] + above) / 6.0;
        keep[j] = std::isfinite(value) ? 1 : 0;
        q[j] = keep[j] ? value : 0.0;
    }
}

// The normal equations of one line in the envelope of their lower triangle, factorised
// in place (L L^T) and solved. Row r holds the columns start[r]..r.
class LineSystem {
public:
    explicit LineSystem(int n)
        : n_(n), start_(static_cast<std::size_t>(n)), offset_(static_cast<std::size_t>(n) + 1),
          bucketStart_(static_cast<std::size_t>(n) + 4), byFirst_(static_cast<std::size_t>(n)),
          solution_(static_cast<std::size_t>(n))
    {
    }

    // Assembles and factorises for the rows of the two copies; keep[s] (null: all)
    // marks the residuals that count. False when no residual constrains the line.
    bool factor(const SampledRow* const rows[2], const unsigned char* const keep[2], double smoothness)
    {
        bool anyData = false;
        for (int r = 0; r < n_; ++r) start_[r] = r > 0 ? r - 1 : 0;
        for (int s = 0; s < 2; ++s) {
            bucket(rows[s]);
            for (int r = 0; r < n_; ++r) {
                const int f = rows[s][r].first;
                if (f == kNoData) continue;
                anyData = anyData || keptOverlap(f, f, keep[s]);
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
                if (a.first == kNoData) continue;
                for (int b = std::max(0, a.first - 3); b <= std::min(n_ + 2, a.first + 3); ++b)
                    for (int i = bucketStart_[b]; i < bucketStart_[b + 1]; ++i) {
                        const int c = byFirst_[i];
                        if (c > r) break;
                        at(r, c) += dot(a, rows[s][c], keep[s]);
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

    // The solution for the right-hand side W_+ q_+ + W_- q_- into out (stride apart),
    // clipped at 0.
    void solve(const SampledRow* const rows[2], const double* const q[2], float* out, std::size_t stride)
    {
        double* z = solution_.data();
        for (int r = 0; r < n_; ++r) {
            double b = 0.0;
            for (int s = 0; s < 2; ++s) {
                const SampledRow& a = rows[s][r];
                if (a.first == kNoData) continue;
                for (int k = 0; k < 4; ++k) {
                    const int j = a.first - k;
                    if (j >= 0 && j < n_) b += a.weight[k] * q[s][j];
                }
            }
            const double* row = lower_.data() + offset_[r];
            for (int c = start_[r]; c < r; ++c) b -= row[c - start_[r]] * z[c];
            z[r] = b / row[r - start_[r]];
        }
        for (int r = n_ - 1; r >= 0; --r) {
            const double* row = lower_.data() + offset_[r];
            z[r] /= row[r - start_[r]];
            for (int c = start_[r]; c < r; ++c) z[c] -= row[c - start_[r]] * z[r];
        }
        for (int r = 0; r < n_; ++r) out[static_cast<std::size_t>(r) * stride] = static_cast<float>(std::max(z[r], 0.0));
    }

private:
    double& at(int r, int c) { return lower_[offset_[r] + static_cast<std::size_t>(c - start_[r])]; }

    // The rows sorted by their first index (counting sort, ascending rows in a bucket).
    void bucket(const SampledRow* rows)
    {
        std::fill(bucketStart_.begin(), bucketStart_.end(), 0);
        for (int r = 0; r < n_; ++r)
            if (rows[r].first != kNoData) ++bucketStart_[rows[r].first + 1];
        for (int b = 0; b < n_ + 3; ++b) bucketStart_[b + 1] += bucketStart_[b];
        std::vector<int>& next = cursor_;
        next.assign(bucketStart_.begin(), bucketStart_.end() - 1);
        for (int r = 0; r < n_; ++r)
            if (rows[r].first != kNoData) byFirst_[next[rows[r].first]++] = r;
    }

    bool keptOverlap(int firstA, int firstB, const unsigned char* keep) const
    {
        for (int j = std::max({std::max(firstA, firstB) - 3, 0}); j <= std::min(std::min(firstA, firstB), n_ - 1); ++j)
            if (!keep || keep[j]) return true;
        return false;
    }

    // Row r of W_s against row c: the sum over the residuals j that both touch.
    double dot(const SampledRow& a, const SampledRow& c, const unsigned char* keep) const
    {
        double sum = 0.0;
        const int last = std::min(std::min(a.first, c.first), n_ - 1);
        for (int j = std::max(std::max(a.first, c.first) - 3, 0); j <= last; ++j)
            if (!keep || keep[j]) sum += a.weight[a.first - j] * c.weight[c.first - j];
        return sum;
    }

    // Cholesky in the envelope: fill-in stays within each row's first column.
    void cholesky()
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

    int n_;
    std::vector<int> start_;
    std::vector<std::size_t> offset_;
    std::vector<int> bucketStart_;
    std::vector<int> byFirst_;
    std::vector<int> cursor_;
    std::vector<double> lower_;
    std::vector<double> solution_;
};

bool allFinite(const double* values, int n)
{
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

}  // namespace

void restorePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings)
{
    check(plus.size() == minus.size(), kModule, 20, "plus.size() == minus.size()");
    check(std::isfinite(settings.smoothness) && settings.smoothness > 0.0, kModule, 21,
          "std::isfinite(settings.smoothness) && settings.smoothness > 0.0");
    for (std::size_t i = 0; i < plus.size(); ++i) {
        check(plus[i].dimensions() == vdm.dimensions(), kModule, 22, "plus[i].dimensions() == vdm.dimensions()");
        check(minus[i].dimensions() == vdm.dimensions(), kModule, 23, "minus[i].dimensions() == vdm.dimensions()");
    }
    const int nx = vdm.nx(), ny = vdm.ny(), nz = vdm.nz();
    const std::size_t pairs = plus.size();
    const std::size_t line = static_cast<std::size_t>(ny);
    std::vector<SampledRow> sampled(2 * line);
    const SampledRow* const rows[2] = {sampled.data(), sampled.data() + line};
    // Per pair: both copies along the line, then both through the prefilter.
    std::vector<double> values(2 * line * pairs), filtered(2 * line * pairs);
    std::vector<unsigned char> kept(2 * line * pairs);
    LineSystem shared(ny), own(ny);
    for (int z = 0; z < nz; ++z)
        for (int x = 0; x < nx; ++x) {
            const std::size_t origin = vdm.index(x, 0, z);
            sampleRows(vdm.data() + origin, static_cast<std::size_t>(nx), ny, 1.0f, sampled.data());
            sampleRows(vdm.data() + origin, static_cast<std::size_t>(nx), ny, -1.0f, sampled.data() + line);
            bool sharedReady = false, sharedUsable = false;
            for (std::size_t p = 0; p < pairs; ++p) {
                double* y = values.data() + 2 * line * p;
                double* q = filtered.data() + 2 * line * p;
                unsigned char* keep = kept.data() + 2 * line * p;
                for (int s = 0; s < 2; ++s) {
                    const float* copy = (s == 0 ? plus[p] : minus[p]).data() + origin;
                    for (int j = 0; j < ny; ++j) y[s * line + j] = copy[static_cast<std::size_t>(j) * nx];
                    prefilter(y + s * line, ny, q + s * line, keep + s * line);
                }
                const double* const observations[2] = {q, q + line};
                float* out = plus[p].data() + origin;
                LineSystem* system = &shared;
                if (allFinite(y, 2 * ny)) {
                    if (!sharedReady) {
                        const unsigned char* const all[2] = {nullptr, nullptr};
                        sharedUsable = shared.factor(rows, all, settings.smoothness);
                        sharedReady = true;
                    }
                    if (!sharedUsable) system = nullptr;
                } else {
                    const unsigned char* const masks[2] = {keep, keep + line};
                    system = own.factor(rows, masks, settings.smoothness) ? &own : nullptr;
                }
                if (system)
                    system->solve(rows, observations, out, static_cast<std::size_t>(nx));
                else
                    for (int j = 0; j < ny; ++j) out[static_cast<std::size_t>(j) * nx] = 0.0f;
            }
        }
}

Volume restorePair(const Volume& plus, const Volume& minus, const Volume& vdm, const RestorationSettings& settings)
{
    std::vector<Volume> result{plus};
    restorePairs(result, {minus}, vdm, settings);
    return std::move(result.front());
}
