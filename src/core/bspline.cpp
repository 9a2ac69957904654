// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/bspline.h"

#include <algorithm>
#include <cmath>

#include "core/threadpool.h"

namespace {

constexpr double kSixth = 1.0 / 6.0;
// Neighbouring z lines solved together per piece of work.
constexpr std::size_t kLanesPerPiece = 1024;

// Pivots p[0..n-1] and multipliers u[0..n-2] of the Thomas algorithm for the tridiagonal
// system (1/6, 4/6, 1/6) with zero coefficients outside the line. One table serves every
// line length up to n because the first and last rows look like the inner ones.
struct ThomasFactors {
    std::vector<double> pivot;
    std::vector<double> multiplier;
};

ThomasFactors thomasFactors(int n)
{
    ThomasFactors f{std::vector<double>(static_cast<std::size_t>(n)),
                    std::vector<double>(static_cast<std::size_t>(std::max(n - 1, 1)))};
    f.pivot[0] = 1.5;
    f.multiplier[0] = 0.25;
    for (int i = 1; i < n - 1; ++i) {
        f.pivot[i] = 1.0 / ((4.0 - f.multiplier[i - 1]) * kSixth);
        f.multiplier[i] = f.pivot[i] * kSixth;
    }
    if (n > 1) f.pivot[n - 1] = 1.0 / ((4.0 - f.multiplier[n - 2]) * kSixth);
    return f;
}

// Solves `count` interleaved lines at once: line element i of lane l is at
// g[i*stride + l]. The lanes are independent, so the inner loops vectorise without
// changing any lane's arithmetic.
template <typename Source>
void solveLines(double* g, const Source* s, std::size_t stride, std::size_t count, int length, const ThomasFactors& f)
{
    if (length == 1) {
        for (std::size_t l = 0; l < count; ++l) g[l] = 1.5 * static_cast<double>(s[l]);
        return;
    }
    for (std::size_t l = 0; l < count; ++l) g[l] = static_cast<double>(s[l]) * f.pivot[0];
    for (int i = 1; i < length; ++i) {
        double* row = g + static_cast<std::size_t>(i) * stride;
        const double* previous = row - stride;
        const Source* input = s + static_cast<std::size_t>(i) * stride;
        const double p = f.pivot[i];
        for (std::size_t l = 0; l < count; ++l) row[l] = (static_cast<double>(input[l]) - previous[l] * kSixth) * p;
    }
    for (int i = length - 2; i >= 0; --i) {
        double* row = g + static_cast<std::size_t>(i) * stride;
        const double* next = row + stride;
        const double u = f.multiplier[i];
        for (std::size_t l = 0; l < count; ++l) row[l] = row[l] - next[l] * u;
    }
}

// One line along x with stride 1: a plain recurrence.
void solveRow(double* g, int length, const ThomasFactors& f)
{
    if (length == 1) {
        g[0] = 1.5 * g[0];
        return;
    }
    g[0] = g[0] * f.pivot[0];
    for (int i = 1; i < length; ++i) g[i] = (g[i] - g[i - 1] * kSixth) * f.pivot[i];
    for (int i = length - 2; i >= 0; --i) g[i] = g[i] - g[i + 1] * f.multiplier[i];
}

// Rows of one plane along x (stride length), four at a time: the recurrences of different
// rows are independent and overlap, each row with solveRow's arithmetic.
void solveRows(double* g, std::size_t rows, int length, const ThomasFactors& f)
{
    constexpr std::size_t kTogether = 4;
    const std::size_t n = static_cast<std::size_t>(length);
    std::size_t first = 0;
    for (; length > 1 && first + kTogether <= rows; first += kTogether) {
        double* line[kTogether];
        for (std::size_t l = 0; l < kTogether; ++l) line[l] = g + (first + l) * n;
        for (double* x : line) x[0] = x[0] * f.pivot[0];
        for (int i = 1; i < length; ++i) {
            const double p = f.pivot[i];
            for (double* x : line) x[i] = (x[i] - x[i - 1] * kSixth) * p;
        }
        for (int i = length - 2; i >= 0; --i) {
            const double u = f.multiplier[i];
            for (double* x : line) x[i] = x[i] - x[i + 1] * u;
        }
    }
    for (; first < rows; ++first) solveRow(g + first * n, length, f);
}

} // namespace

std::vector<double> bsplineCoefficients(const float* values, Dimensions extent)
{
    const std::size_t count = voxelCount(extent);
    std::vector<double> g(count, 0.0);
    if (count == 0) return g;
    const ThomasFactors f = thomasFactors(std::max({extent.x, extent.y, extent.z}));
    const std::size_t nx = static_cast<std::size_t>(extent.x);
    const std::size_t slice = nx * static_cast<std::size_t>(extent.y);

    // Every line is solved on its own: the z lines in blocks of neighbouring lanes, then
    // each slice's y lines and rows.
    forEachBlock(slice, kLanesPerPiece, [&](std::size_t begin, std::size_t end) {
        solveLines(g.data() + begin, values + begin, slice, end - begin, extent.z, f);
    });
    forEachPiece(static_cast<std::size_t>(extent.z), [&](std::size_t z) {
        double* plane = g.data() + z * slice;
        solveLines(plane, plane, nx, nx, extent.y, f);
        solveRows(plane, static_cast<std::size_t>(extent.y), extent.x, f);
    });
    return g;
}

void sampleBspline(const std::vector<double>& coefficients, Dimensions extent, const std::vector<Point3>& positions,
                   float* results)
{
    const std::size_t nx = static_cast<std::size_t>(extent.x);
    const std::size_t slice = nx * static_cast<std::size_t>(extent.y);
    const double* g = coefficients.data();
    AxisWeights wx, wy, wz;
    for (std::size_t p = 0; p < positions.size(); ++p) {
        const Point3 q = positions[p];
        if (!axisWeights(q.x, extent.x, wx) || !axisWeights(q.y, extent.y, wy) || !axisWeights(q.z, extent.z, wz)) {
            results[p] = 0.0f;
            continue;
        }
        float sum = 0.0f;
        for (int a = 0; a < 4; ++a) {
            double sumY = 0.0;
            for (int b = 0; b < 4; ++b) {
                const double* line = g + static_cast<std::size_t>(wy.index[b]) * nx + static_cast<std::size_t>(wx.index[a]);
                double sumZ = 0.0;
                for (int c = 0; c < 4; ++c) sumZ += wz.weight[c] * line[static_cast<std::size_t>(wz.index[c]) * slice];
                sumY += wy.weight[b] * sumZ;
            }
            sum += static_cast<float>(wx.weight[a] * sumY);
        }
        results[p] = sum;
    }
}

void sampleBsplineShiftedY(const std::vector<double>& coefficients, Dimensions extent, const Volume& shifts,
                           float sign, float* results)
{
    const int nx = extent.x, ny = extent.y, nz = extent.z;
    const std::size_t slice = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    const double* g = coefficients.data();
    // x and z are integers: their weights depend on the column and the slice only.
    std::vector<AxisWeights> columns(static_cast<std::size_t>(nx));
    for (int x = 0; x < nx; ++x) axisWeights(static_cast<float>(x), nx, columns[x]);
    forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
        // The z sums of the slice, shared by every position in it.
        std::vector<double> plane(slice);
        AxisWeights wy, wz;
        axisWeights(static_cast<float>(z), nz, wz);
        const double* layer[4];
        for (int c = 0; c < 4; ++c) layer[c] = g + static_cast<std::size_t>(wz.index[c]) * slice;
        for (std::size_t i = 0; i < slice; ++i) {
            double sumZ = 0.0;
            for (int c = 0; c < 4; ++c) sumZ += wz.weight[c] * layer[c][i];
            plane[i] = sumZ;
        }
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = static_cast<std::size_t>(z) * slice + static_cast<std::size_t>(y) * nx;
            const float* shift = shifts.data() + row;
            float* out = results + row;
            const float fy = static_cast<float>(y);
            for (int x = 0; x < nx; ++x) {
                if (!axisWeights(fy + sign * shift[x], ny, wy)) {
                    out[x] = 0.0f;
                    continue;
                }
                const AxisWeights& wx = columns[x];
                const double* lines[4];
                for (int b = 0; b < 4; ++b) lines[b] = plane.data() + static_cast<std::size_t>(wy.index[b]) * nx;
                // Index x+2 has weight 0 at an integer x; its term would add +0.
                float sum = 0.0f;
                for (int a = 1; a < 4; ++a) {
                    const int column = wx.index[a];
                    double sumY = 0.0;
                    for (int b = 0; b < 4; ++b) sumY += wy.weight[b] * lines[b][column];
                    sum += static_cast<float>(wx.weight[a] * sumY);
                }
                out[x] = sum;
            }
        }
    });
}
