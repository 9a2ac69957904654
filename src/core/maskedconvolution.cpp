// SPDX-License-Identifier: GPL-3.0-or-later
// Masked normalised convolution (declared in volumegauss.h).
//
// Clipping the kernel window at the data's borders is the same as reading a zero mask
// outside the data: a zero mask value adds nothing. The data and mask rows are therefore
// copied once into rows padded with zeros along x, and every output row is accumulated
// in blocks of neighbouring outputs held in vector registers. Each output still runs
// through its own window in the same order (outer axis first, x innermost), so every
// lane computes exactly the scalar result of its position.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/threadpool.h"
#include "core/volumegauss.h"

namespace {

// Outputs are computed in blocks of this many positions (a multiple of every vector
// width below); positions beyond the row's end are computed and dropped.
constexpr int kBlock = 16;
// Rows copied into the padded rows per piece of work.
constexpr std::size_t kRowsPerPiece = 256;

// Kernel indices [first, last) whose image position c + index - k/2 lies inside [0, n).
struct Window {
    int first;
    int last;
};

Window window(int c, int n, int k)
{
    const int anchor = k / 2;
    return {anchor - std::min(c, anchor), std::min(anchor + n - c, k)};
}

// Rows of data and mask, each n long, padded with zeros so that padded column
// x + a (a = 0..k-1) is image column x + a - k/2 for every output x < roundedWidth.
struct PaddedRows {
    PaddedRows(const float* data, const float* mask, int n, std::size_t rows, int k)
        : roundedWidth((n + kBlock - 1) / kBlock * kBlock), stride(roundedWidth + std::max(k - 1, 0)),
          data(static_cast<std::size_t>(stride) * rows, 0.0f), mask(static_cast<std::size_t>(stride) * rows, 0.0f)
    {
        const int anchor = k / 2;
        forEachBlock(rows, kRowsPerPiece, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                std::copy_n(data + r * static_cast<std::size_t>(n), n, this->data.data() + row(r) + anchor);
                std::copy_n(mask + r * static_cast<std::size_t>(n), n, this->mask.data() + row(r) + anchor);
            }
        });
    }
    std::size_t row(std::size_t r) const { return r * static_cast<std::size_t>(stride); }

    int roundedWidth;
    int stride;
    std::vector<float> data;
    std::vector<float> mask;
};

// Per-row accumulators of roundedWidth positions, allocated once per call.
struct RowAccumulators {
    explicit RowAccumulators(int n)
        : out(static_cast<std::size_t>(n)), sum(static_cast<std::size_t>(n)), counted(static_cast<std::size_t>(n))
    {
    }
    void clear()
    {
        std::fill(out.begin(), out.end(), 0.0f);
        std::fill(sum.begin(), sum.end(), 0.0f);
        std::fill(counted.begin(), counted.end(), 0);
    }
    std::vector<float> out;
    std::vector<float> sum;
    std::vector<std::int32_t> counted;  // all ones once a non-zero mask value was met
};

// Vector types of W floats and of W 32-bit lane masks.
template <int W>
struct Lanes;
template <>
struct Lanes<4> {
    typedef float Floats __attribute__((vector_size(16)));
    typedef std::int32_t Bits __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
    typedef float Floats __attribute__((vector_size(32)));
    typedef std::int32_t Bits __attribute__((vector_size(32)));
};
template <>
struct Lanes<16> {
    typedef float Floats __attribute__((vector_size(64)));
    typedef std::int32_t Bits __attribute__((vector_size(64)));
};

// Adds one kernel row (kernelRow[0..k)) over the padded image row to the accumulators of
// n outputs (n a multiple of W). Masked-out terms become +0 by clearing their bits;
// adding +0 leaves a sum that started at +0 unchanged, exactly as skipping the term, and
// keeps non-finite data under a zero mask out of the sums. A NaN mask value counts.
template <int W, bool normalise, bool trackCounted>
[[gnu::always_inline]] inline void accumulateRowBlocked(RowAccumulators& acc, const float* kernelRow, int k,
                                                        const float* dataRow, const float* maskRow, int n)
{
    using Floats = typename Lanes<W>::Floats;
    using Bits = typename Lanes<W>::Bits;
    for (int x = 0; x < n; x += W) {
        Floats out, sum{};
        Bits counted{};
        std::memcpy(&out, acc.out.data() + x, sizeof out);
        if constexpr (normalise) std::memcpy(&sum, acc.sum.data() + x, sizeof sum);
        if constexpr (trackCounted) std::memcpy(&counted, acc.counted.data() + x, sizeof counted);
        for (int a = 0; a < k; ++a) {
            Floats mv, dv;
            std::memcpy(&mv, maskRow + x + a, sizeof mv);
            std::memcpy(&dv, dataRow + x + a, sizeof dv);
            const Bits counts = mv != 0.0f;
            const Floats w = mv * kernelRow[a];
            // Vector casts reinterpret the lanes' bits.
            out += (Floats)((Bits)(w * dv) & counts);
            if constexpr (normalise) sum += (Floats)((Bits)w & counts);
            if constexpr (trackCounted) counted |= counts;
        }
        std::memcpy(acc.out.data() + x, &out, sizeof out);
        if constexpr (normalise) std::memcpy(acc.sum.data() + x, &sum, sizeof sum);
        if constexpr (trackCounted) std::memcpy(acc.counted.data() + x, &counted, sizeof counted);
    }
}

template <bool normalise, bool trackCounted>
void accumulateRowPortable(RowAccumulators& acc, const float* kernelRow, int k, const float* dataRow,
                           const float* maskRow, int n)
{
    accumulateRowBlocked<4, normalise, trackCounted>(acc, kernelRow, k, dataRow, maskRow, n);
}

template <bool normalise, bool trackCounted>
[[gnu::target("avx2")]] void accumulateRowAvx2(RowAccumulators& acc, const float* kernelRow, int k,
                                                const float* dataRow, const float* maskRow, int n)
{
    accumulateRowBlocked<8, normalise, trackCounted>(acc, kernelRow, k, dataRow, maskRow, n);
}

template <bool normalise, bool trackCounted>
[[gnu::target("avx512f")]] void accumulateRowAvx512(RowAccumulators& acc, const float* kernelRow, int k,
                                                     const float* dataRow, const float* maskRow, int n)
{
    accumulateRowBlocked<16, normalise, trackCounted>(acc, kernelRow, k, dataRow, maskRow, n);
}

using RowFunction = void (*)(RowAccumulators&, const float*, int, const float*, const float*, int);

// The widest variant that the processor runs; all variants give identical bits.
template <bool trackCounted>
RowFunction rowFunction(bool normalise)
{
    if (__builtin_cpu_supports("avx512f"))
        return normalise ? accumulateRowAvx512<true, trackCounted> : accumulateRowAvx512<false, trackCounted>;
    if (__builtin_cpu_supports("avx2"))
        return normalise ? accumulateRowAvx2<true, trackCounted> : accumulateRowAvx2<false, trackCounted>;
    return normalise ? accumulateRowPortable<true, trackCounted> : accumulateRowPortable<false, trackCounted>;
}

// Normalises an output row and writes its n positions; positions without any counted
// neighbour take keepValue[x] when given, otherwise they stay 0.
void finishRow(const RowAccumulators& acc, int n, bool normalise, const float* keepValue, float* target)
{
    for (int x = 0; x < n; ++x) {
        float value = acc.out[x];
        if (normalise && acc.sum[x] > 0.0f) value = value / acc.sum[x];
        if (keepValue != nullptr && acc.counted[x] == 0) value = keepValue[x];
        target[x] = value;
    }
}

} // namespace

void maskedConvolve2D(Matrix& data, const Matrix& kernel, const Matrix& mask, bool normalise)
{
    const int nc = data.columns(), nr = data.rows();
    const int kc = kernel.columns(), kr = kernel.rows();
    const PaddedRows padded(data.data(), mask.data(), nc, static_cast<std::size_t>(nr), kc);
    const RowFunction accumulateRow = rowFunction<true>(normalise);
    RowAccumulators acc(padded.roundedWidth);
    Matrix out(nc, nr);
    for (int r = 0; r < nr; ++r) {
        acc.clear();
        const Window wr = window(r, nr, kr);
        for (int b = wr.first; b < wr.last; ++b) {
            const std::size_t row = padded.row(static_cast<std::size_t>(r + b - kr / 2));
            accumulateRow(acc, kernel.data() + static_cast<std::size_t>(b) * kc, kc, padded.data.data() + row,
                          padded.mask.data() + row, padded.roundedWidth);
        }
        const std::size_t at = static_cast<std::size_t>(r) * nc;
        finishRow(acc, nc, normalise, data.data() + at, out.data() + at);
    }
    data = std::move(out);
}

void maskedConvolve3D(Volume& data, const Volume& kernel, const Volume& mask, bool normalise)
{
    const int nx = data.nx(), ny = data.ny(), nz = data.nz();
    const int kx = kernel.nx(), ky = kernel.ny(), kz = kernel.nz();
    const PaddedRows padded(data.data(), mask.data(), nx, static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz), kx);
    const RowFunction accumulateRow = rowFunction<false>(normalise);
    Volume out(data.dimensions());
    // Every output row has its own sums: the slices are convolved side by side.
    forEachPiece(static_cast<std::size_t>(std::max(nz, 0)), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        RowAccumulators acc(padded.roundedWidth);
        const Window wz = window(z, nz, kz);
        for (int y = 0; y < ny; ++y) {
            acc.clear();
            const Window wy = window(y, ny, ky);
            for (int c = wz.first; c < wz.last; ++c)
                for (int b = wy.first; b < wy.last; ++b) {
                    const std::size_t imageRow = static_cast<std::size_t>(z + c - kz / 2) * static_cast<std::size_t>(ny) +
                                                 static_cast<std::size_t>(y + b - ky / 2);
                    const std::size_t row = padded.row(imageRow);
                    accumulateRow(acc, kernel.data() + kernel.index(0, b, c), kx, padded.data.data() + row,
                                  padded.mask.data() + row, padded.roundedWidth);
                }
            finishRow(acc, nx, normalise, nullptr, out.data() + out.index(0, y, z));
        }
    });
    data = std::move(out);
}
