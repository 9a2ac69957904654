// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/restorationblend.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/bspline.h"
#include "core/restorationlines.h"
#include "core/threadpool.h"
#include "core/vdm.h"

namespace {

// The coefficients of a copy's spline summed over z at integer slice z (wz its weights),
// for the columns [begin, end) of every row, column by column, as lane `lane` of `lanes`:
// plane[((x - begin) * ny + y) * lanes + lane].
void slicePlane(const double* coefficients, Dimensions extent, const AxisWeights& wz, int begin, int end, int lane,
                std::size_t lanes, double* plane)
{
    const std::size_t nx = static_cast<std::size_t>(extent.x), ny = static_cast<std::size_t>(extent.y);
    const std::size_t slice = nx * ny;
    const double* layer[4];
    for (int c = 0; c < 4; ++c) layer[c] = coefficients + static_cast<std::size_t>(wz.index[c]) * slice;
    for (int x = begin; x < end; ++x) {
        double* column = plane + static_cast<std::size_t>(x - begin) * ny * lanes + static_cast<std::size_t>(lane);
        for (std::size_t y = 0, i = static_cast<std::size_t>(x); y < ny; ++y, i += nx) {
            double sumZ = 0.0;
            for (int c = 0; c < 4; ++c) sumZ += wz.weight[c] * layer[c][i];
            column[y * lanes] = sumZ;
        }
    }
}

// The intensity-corrected copies of L pairs along line x (out[lane * ny + y]),
// from the rows where the copy samples the spline and its lane-interleaved z-summed plane
// (columns from planeBegin, planeWidth of them): per lane the same operations, in the same
// order, as the undistortion with intensity correction of the whole copy, so the same
// values. sign is +1 for the plus copy and -1 for the minus copy, corrected with -vdm.
template <int L>
void correctedLines(const SampledRow* rows, const AxisWeights& wx, const double* plane, int planeBegin,
                    int planeWidth, const float* vdm, std::size_t stride, float sign, int ny, float* out)
{
    const double* columns[4];
    for (int a = 1; a < 4; ++a) {
        // A column beyond the slice has weight 0 and may read any finite value (a copy
        // holding a value that is not finite has no finite coefficient at all).
        const int index = wx.index[a] - planeBegin;
        columns[a] = plane + static_cast<std::size_t>(index >= 0 && index < planeWidth ? index : 0) *
                                 static_cast<std::size_t>(ny) * L;
    }
    for (int y = 0; y < ny; ++y) {
        const SampledRow& row = rows[y];
        float value[L] = {};
        if (row.first >= 3 && row.first < ny) {
            for (int a = 1; a < 4; ++a) {
                const double* c = columns[a] + static_cast<std::size_t>(row.first) * L;
                const double wa = wx.weight[a];
                for (int i = 0; i < L; ++i) {
                    const double sumY = 0.0 + row.weight[0] * c[i] + row.weight[1] * c[i - L] +
                                        row.weight[2] * c[i - 2 * L] + row.weight[3] * c[i - 3 * L];
                    value[i] += static_cast<float>(wa * sumY);
                }
            }
        } else if (row.first != kNoRowData) {
            // Rows beyond the line have weight 0 and read row 0.
            for (int a = 1; a < 4; ++a)
                for (int i = 0; i < L; ++i) {
                    double sumY = 0.0;
                    for (int b = 0; b < 4; ++b) {
                        const int j = row.first - b;
                        sumY += row.weight[b] * columns[a][static_cast<std::size_t>(j >= 0 && j < ny ? j : 0) * L + i];
                    }
                    value[i] += static_cast<float>(wx.weight[a] * sumY);
                }
        }
        if (y >= 1 && y + 1 < ny) {
            const float factor = jacobianFactor(vdm[static_cast<std::size_t>(y - 1) * stride],
                                                vdm[static_cast<std::size_t>(y + 1) * stride], sign);
            for (float& v : value) v *= factor;
        }
        for (int i = 0; i < L; ++i) out[static_cast<std::size_t>(i) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(y)] = value[i];
    }
}

// The restoration blended with the mean of the finite corrected copies (NaN where
// neither is finite, and then the restoration alone counts), clipped at 0.
float blended(float restored, float plus, float minus, float weight)
{
    const bool usePlus = std::isfinite(plus), useMinus = std::isfinite(minus);
    const float mean = usePlus && useMinus ? 0.5f * (plus + minus)
                       : usePlus           ? plus
                       : useMinus          ? minus
                                           : std::numeric_limits<float>::quiet_NaN();
    const float w = std::isfinite(mean) ? weight : 1.0f;
    const float value = w == 1.0f ? restored : w * restored + (1.0f - w) * mean;
    return std::max(value, 0.0f);
}

}  // namespace

Volume restorationWeights(const Volume& vdm)
{
    const Volume slope = vdmDerivativeY(vdm);
    Volume weights(vdm.dimensions(), 0.0f);
    const int nx = vdm.nx(), ny = vdm.ny(), nz = vdm.nz();
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                float steepest = 0.0f;
                for (int d = -kRestorationReach; d <= kRestorationReach; ++d) {
                    const int row = y + d;
                    if (row < 0 || row >= ny) continue;
                    const float nearness = 1.0f - static_cast<float>(std::abs(d)) / (kRestorationReach + 1);
                    steepest = std::max(steepest, std::fabs(slope(x, row, z)) * nearness);
                }
                const float t = std::clamp((steepest - kMildSlope) / (kSteepSlope - kMildSlope), 0.0f, 1.0f);
                weights(x, y, z) = t * t * (3.0f - 2.0f * t);
            }
    return weights;
}

void combinePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings)
{
    checkRestorationInputs(plus, minus, vdm, settings);
    const Volume weights = restorationWeights(vdm);
    const Dimensions extent = vdm.dimensions();
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t pairs = plus.size();
    // The prefilter couples the slices of a volume: every copy's coefficients are computed
    // once, before its slices are combined.
    std::vector<std::vector<double>> coefficients(nz > 1 ? 2 * pairs : 0);
    for (std::size_t i = 0; i < coefficients.size(); ++i)
        coefficients[i] = bsplineCoefficients((i % 2 == 0 ? plus : minus)[i / 2].data(), extent);
    std::vector<AxisWeights> columns(static_cast<std::size_t>(nx));
    for (int x = 0; x < nx; ++x) axisWeights(static_cast<float>(x), nx, columns[x]);
    // A single slice is one piece per group of pairs, which prefilters its own copies.
    const int linesPerPiece = nz > 1 ? kRestoredLinesPerPiece : std::max(nx, 1);
    const std::size_t stride = static_cast<std::size_t>(nx);

    for (int z = 0; z < nz; ++z) {
        const SliceLines lines(vdm, z, settings.smoothness);
        AxisWeights wz;
        axisWeights(static_cast<float>(z), nz, wz);
        // A piece: a group of pairs restored together along a block of lines.
        forEachPiece(restorationPieces(pairs, nx, linesPerPiece), [&](std::size_t index) {
            const auto [first, count, begin, end] = restorationPiece(index, pairs, nx, linesPerPiece);
            // The corrected values of a line sample the columns beside it too.
            const int planeBegin = std::max(begin - 1, 0), planeEnd = std::min(end + 1, nx);
            const int planeWidth = planeEnd - planeBegin;
            const std::size_t planeSize = static_cast<std::size_t>(planeWidth) * static_cast<std::size_t>(ny);
            // Per copy, the planes of the group's pairs interleaved (unused lanes 0).
            // A group of one pair (a volume) needs no lanes beside it.
            const std::size_t lanes = count == 1 ? 1 : kRestoredLanes;
            std::vector<double> planes(2 * lanes * planeSize);
            for (int i = 0; i < count; ++i)
                for (int s = 0; s < 2; ++s) {
                    const std::size_t pair = first + static_cast<std::size_t>(i);
                    std::vector<double> own;
                    if (nz == 1) own = bsplineCoefficients((s == 0 ? plus : minus)[pair].data(), extent);
                    const double* coefficientsOf = nz == 1 ? own.data() : coefficients[2 * pair + static_cast<std::size_t>(s)].data();
                    slicePlane(coefficientsOf, extent, wz, planeBegin, planeEnd, i, lanes,
                               planes.data() + static_cast<std::size_t>(s) * lanes * planeSize);
                }
            LineScratch scratch(ny);
            const std::size_t line = static_cast<std::size_t>(ny);
            std::vector<float> restored(lanes * line), corrected(2 * lanes * line);
            for (int x = begin; x < end; ++x) {
                const std::size_t origin = vdm.index(x, 0, z);
                LinePairs linePairs;
                linePairs.count = count;
                for (int i = 0; i < count; ++i) {
                    linePairs.plus[i] = plus[first + static_cast<std::size_t>(i)].data() + origin;
                    linePairs.minus[i] = minus[first + static_cast<std::size_t>(i)].data() + origin;
                    linePairs.out[i] = restored.data() + static_cast<std::size_t>(i) * line;
                }
                restoreLines(lines, x, linePairs, stride, scratch, 1);
                for (int s = 0; s < 2; ++s) {
                    const double* plane = planes.data() + static_cast<std::size_t>(s) * lanes * planeSize;
                    float* values = corrected.data() + static_cast<std::size_t>(s) * lanes * line;
                    const float sign = s == 0 ? 1.0f : -1.0f;
                    const AxisWeights& wx = columns[static_cast<std::size_t>(x)];
                    if (lanes == 1)
                        correctedLines<1>(lines.rows(x, s), wx, plane, planeBegin, planeWidth, vdm.data() + origin, stride,
                                          sign, ny, values);
                    else
                        correctedLines<kRestoredLanes>(lines.rows(x, s), wx, plane, planeBegin, planeWidth,
                                                       vdm.data() + origin, stride, sign, ny, values);
                }
                const float* weight = weights.data() + origin;
                for (int i = 0; i < count; ++i) {
                    float* out = plus[first + static_cast<std::size_t>(i)].data() + origin;
                    const float* restoredLine = linePairs.out[i];
                    const float* plusLine = corrected.data() + static_cast<std::size_t>(i) * line;
                    const float* minusLine = plusLine + lanes * line;
                    for (int y = 0; y < ny; ++y) {
                        const std::size_t k = static_cast<std::size_t>(y) * stride;
                        out[k] = blended(restoredLine[y], plusLine[y], minusLine[y], weight[k]);
                    }
                }
            }
        });
    }
}
