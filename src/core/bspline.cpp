// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/bspline.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

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

// The weights of the three columns x + 1, x, x - 1 that a sample at an integer x reads
// (column x + 2 has weight 0 there), as the lanes load them.
struct ColumnWeights {
    std::vector<int> index[3];
    std::vector<double> weight[3];
};

ColumnWeights columnWeights(const std::vector<AxisWeights>& columns)
{
    ColumnWeights out;
    for (int a = 0; a < 3; ++a) {
        out.index[a].resize(columns.size());
        out.weight[a].resize(columns.size());
        for (std::size_t x = 0; x < columns.size(); ++x) {
            out.index[a][x] = columns[x].index[a + 1];
            out.weight[a][x] = columns[x].weight[a + 1];
        }
    }
    return out;
}

typedef double Doubles4 __attribute__((vector_size(32)));
typedef float Floats4 __attribute__((vector_size(16)));
typedef int Ints4 __attribute__((vector_size(16)));
typedef long long Masks4 __attribute__((vector_size(32)));

// Out parameters rather than returned vectors: these are inlined into the AVX2 variant,
// and a returned AVX vector would change the ABI of the portable code around them.
[[gnu::target("avx2")]] inline void gatherLanes(const double* base, const Ints4& index, Doubles4& out)
{
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    out = reinterpret_cast<Doubles4>(
        _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, reinterpret_cast<__m128i>(index), all, 8));
}

[[gnu::target("avx2")]] inline void floorLanes(const Doubles4& v, Doubles4& out)
{
    out = reinterpret_cast<Doubles4>(_mm256_floor_pd(reinterpret_cast<__m256d>(v)));
}

// Samples x = 0, 4, 8, ... of one row four at a time, each lane doing exactly what the
// one-voxel loop of sampleBsplineShiftedY does (axisWeights along y, then the sums in the
// same order); returns the first x left to that loop. Compiled into the AVX2 variant by
// flattening.
inline int sampleRowInLanes(const double* plane, int nx, int ny, float fy, float sign, const float* shift,
                            const ColumnWeights& columns, float* out)
{
    const double limit = static_cast<double>(ny) + 1.0;
    int x = 0;
    for (; x + 4 <= nx; x += 4) {
        Floats4 shifts;
        std::memcpy(&shifts, shift + x, sizeof shifts);
        const Floats4 coordinate = fy + sign * shifts;
        const Doubles4 wide = __builtin_convertvector(coordinate, Doubles4);
        const Masks4 inRange = (wide >= -2.0) & (wide < limit);
        const Doubles4 at = inRange ? wide : Doubles4{};
        Doubles4 f;
        floorLanes(at, f);
        Doubles4 w[4];
        cubicWeights(at - f, w);
        const Ints4 first = __builtin_convertvector(f, Ints4) + 2;
        Ints4 rowStart[4];
        Doubles4 weight[4];
        for (int b = 0; b < 4; ++b) {
            const Ints4 i = first - b;
            const Ints4 inside = (i >= 0) & (i < ny);
            rowStart[b] = (inside ? i : Ints4{}) * nx;
            weight[b] = __builtin_convertvector(inside, Masks4) != 0 ? w[b] : Doubles4{};
        }
        Floats4 sum = Floats4{};
        for (int a = 0; a < 3; ++a) {
            Ints4 column;
            Doubles4 columnWeight;
            std::memcpy(&column, columns.index[a].data() + x, sizeof column);
            std::memcpy(&columnWeight, columns.weight[a].data() + x, sizeof columnWeight);
            Doubles4 sumY = Doubles4{};
            for (int b = 0; b < 4; ++b) {
                Doubles4 v;
                gatherLanes(plane, rowStart[b] + column, v);
                sumY += weight[b] * v;
            }
            sum += __builtin_convertvector(columnWeight * sumY, Floats4);
        }
        const Floats4 value = __builtin_convertvector(inRange, Ints4) != 0 ? sum : Floats4{};
        std::memcpy(out + x, &value, sizeof value);
    }
    return x;
}

[[gnu::target("avx2"), gnu::flatten]] int sampleRowAvx2(const double* plane, int nx, int ny, float fy, float sign,
                                                       const float* shift, const ColumnWeights& columns, float* out)
{
    return sampleRowInLanes(plane, nx, ny, fy, sign, shift, columns, out);
}

int sampleRowNone(const double*, int, int, float, float, const float*, const ColumnWeights&, float*)
{
    return 0;
}

using RowSampler = int (*)(const double*, int, int, float, float, const float*, const ColumnWeights&, float*);

// Lanes index a slice with 32-bit integers.
RowSampler fastestRowSampler(std::size_t slice)
{
    if (slice > static_cast<std::size_t>(INT_MAX / 2)) return sampleRowNone;
    if (__builtin_cpu_supports("avx2")) return sampleRowAvx2;
    return sampleRowNone;
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
    const ColumnWeights laneColumns = columnWeights(columns);
    const RowSampler sampleRow = fastestRowSampler(slice);
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
            for (int x = sampleRow(plane.data(), nx, ny, fy, sign, shift, laneColumns, out); x < nx; ++x) {
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
