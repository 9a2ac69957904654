// Masked normalised convolution (declared in volumegauss.h). Each output row is built in
// separate accumulators that run through the kernel in the same order for every output
// position, so the row loops vectorise across neighbouring outputs without changing any
// output's own summation order.
#include <algorithm>
#include <vector>

#include "volumegauss.h"

namespace {

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

// Per-row accumulators, allocated once per call.
struct RowAccumulators {
    explicit RowAccumulators(int n)
        : out(static_cast<std::size_t>(n)), sum(static_cast<std::size_t>(n)), masked(static_cast<std::size_t>(n))
    {
    }
    void clear()
    {
        std::fill(out.begin(), out.end(), 0.0f);
        std::fill(sum.begin(), sum.end(), 0.0f);
        std::fill(masked.begin(), masked.end(), 0);
    }
    std::vector<float> out;
    std::vector<float> sum;
    std::vector<unsigned char> masked;  // 1 once a non-zero mask value was met
};

// Adds the contributions of one kernel row (kernelRow[0..k)) that pairs with the image
// row dataRow/maskRow to the accumulators of an output row of n positions. Output x
// reads image column x + a - k/2 for kernel index a, taken in increasing a.
void accumulateRow(RowAccumulators& acc, const float* kernelRow, int k, const float* dataRow, const float* maskRow,
                   int n, bool normalise)
{
    const int anchor = k / 2;
    float* out = acc.out.data();
    float* sum = acc.sum.data();
    unsigned char* masked = acc.masked.data();
    for (int a = 0; a < k; ++a) {
        const int shift = a - anchor;
        const int begin = std::max(0, -shift);
        const int end = std::min(n, n - shift);
        const float kv = kernelRow[a];
        // A zero mask value adds nothing; selecting 0 keeps non-finite data out and adds
        // +0, which leaves every running sum unchanged.
        if (normalise) {
            for (int x = begin; x < end; ++x) {
                const float mv = maskRow[x + shift];
                const bool counts = mv != 0.0f;
                const float w = mv * kv;
                out[x] += counts ? w * dataRow[x + shift] : 0.0f;
                sum[x] += counts ? w : 0.0f;
                masked[x] |= static_cast<unsigned char>(counts);
            }
        } else {
            for (int x = begin; x < end; ++x) {
                const float mv = maskRow[x + shift];
                const bool counts = mv != 0.0f;
                const float w = mv * kv;
                out[x] += counts ? w * dataRow[x + shift] : 0.0f;
                masked[x] |= static_cast<unsigned char>(counts);
            }
        }
    }
}

// Normalises an output row and writes it; positions without any counted neighbour take
// keepValue[x] when given, otherwise they stay 0.
void finishRow(const RowAccumulators& acc, int n, bool normalise, const float* keepValue, float* target)
{
    for (int x = 0; x < n; ++x) {
        float value = acc.out[x];
        if (normalise && acc.sum[x] > 0.0f) value = value / acc.sum[x];
        if (keepValue != nullptr && acc.masked[x] == 0) value = keepValue[x];
        target[x] = value;
    }
}

} // namespace

void maskedConvolve2D(Matrix& data, const Matrix& kernel, const Matrix& mask, bool normalise)
{
    const int nc = data.columns(), nr = data.rows();
    const int kc = kernel.columns(), kr = kernel.rows();
    Matrix out(nc, nr);
    RowAccumulators acc(nc);
    for (int r = 0; r < nr; ++r) {
        acc.clear();
        const Window wr = window(r, nr, kr);
        for (int b = wr.first; b < wr.last; ++b) {
            const int row = r + b - kr / 2;
            accumulateRow(acc, kernel.data() + static_cast<std::size_t>(b) * kc, kc,
                          data.data() + static_cast<std::size_t>(row) * nc, mask.data() + static_cast<std::size_t>(row) * nc,
                          nc, normalise);
        }
        const float* input = data.data() + static_cast<std::size_t>(r) * nc;
        finishRow(acc, nc, normalise, input, out.data() + static_cast<std::size_t>(r) * nc);
    }
    data = std::move(out);
}

void maskedConvolve3D(Volume& data, const Volume& kernel, const Volume& mask, bool normalise)
{
    const int nx = data.nx(), ny = data.ny(), nz = data.nz();
    const int kx = kernel.nx(), ky = kernel.ny(), kz = kernel.nz();
    Volume out(data.dimensions());
    RowAccumulators acc(nx);
    for (int z = 0; z < nz; ++z) {
        const Window wz = window(z, nz, kz);
        for (int y = 0; y < ny; ++y) {
            acc.clear();
            const Window wy = window(y, ny, ky);
            for (int c = wz.first; c < wz.last; ++c)
                for (int b = wy.first; b < wy.last; ++b) {
                    const std::size_t image = data.index(0, y + b - ky / 2, z + c - kz / 2);
                    accumulateRow(acc, kernel.data() + kernel.index(0, b, c), kx, data.data() + image,
                                  mask.data() + image, nx, normalise);
                }
            finishRow(acc, nx, normalise, nullptr, out.data() + out.index(0, y, z));
        }
    }
    data = std::move(out);
}
