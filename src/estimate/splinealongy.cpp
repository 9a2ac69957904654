// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/splinealongy.h"

#include <vector>

#include "core/threadpool.h"

void sliceSplineCoefficientsAlongY(const Volume& image, int z, float* out)
{
    // Thomas algorithm for the rows (1/6, 4/6, 1/6) with zero coefficients outside the
    // line, all lines of the slice at once (lane x of row y at y*nx + x).
    const int nx = image.nx(), ny = image.ny();
    if (nx == 0 || ny == 0) return;
    constexpr double kSixth = 1.0 / 6.0;
    std::vector<double> pivot(static_cast<std::size_t>(ny));
    std::vector<double> multiplier(static_cast<std::size_t>(ny), 0.0);
    pivot[0] = 1.5;
    if (ny > 1) multiplier[0] = 0.25;
    for (int i = 1; i < ny; ++i) {
        pivot[i] = 1.0 / ((4.0 - multiplier[i - 1]) * kSixth);
        multiplier[i] = pivot[i] * kSixth;
    }
    const std::size_t row = static_cast<std::size_t>(nx);
    std::vector<double> g(static_cast<std::size_t>(ny) * row);
    const float* in = image.data() + image.index(0, 0, z);
    for (std::size_t x = 0; x < row; ++x) g[x] = static_cast<double>(in[x]) * pivot[0];
    for (int y = 1; y < ny; ++y) {
        double* current = g.data() + static_cast<std::size_t>(y) * row;
        const double* previous = current - row;
        const float* source = in + static_cast<std::size_t>(y) * row;
        const double p = pivot[y];
        for (std::size_t x = 0; x < row; ++x) current[x] = (static_cast<double>(source[x]) - previous[x] * kSixth) * p;
    }
    for (int y = ny - 2; y >= 0; --y) {
        double* current = g.data() + static_cast<std::size_t>(y) * row;
        const double* next = current + row;
        const double u = multiplier[y];
        for (std::size_t x = 0; x < row; ++x) current[x] -= next[x] * u;
    }
    for (std::size_t i = 0; i < g.size(); ++i) out[i] = static_cast<float>(g[i]);
}

Volume splineCoefficientsAlongY(const Volume& image)
{
    Volume coefficients(image.dimensions());
    forEachPiece(static_cast<std::size_t>(image.nz()), [&](std::size_t z) {
        const int slice = static_cast<int>(z);
        sliceSplineCoefficientsAlongY(image, slice, coefficients.data() + coefficients.index(0, 0, slice));
    });
    return coefficients;
}
