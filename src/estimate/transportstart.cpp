// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/transportstart.h"

#include <algorithm>
#include <vector>

#include "core/threadpool.h"

namespace {

constexpr double kFloor = 0.01;  // of the mean signal, added to every voxel

// The cumulative signal of a line at the edges of its voxels: c[i] is the signal below
// position i - 0.5.
void cumulative(const float* line, std::size_t stride, int n, double floor, std::vector<double>& c)
{
    c[0] = 0.0;
    for (int i = 0; i < n; ++i)
        c[static_cast<std::size_t>(i) + 1] =
            c[static_cast<std::size_t>(i)] + std::max(0.0f, line[static_cast<std::size_t>(i) * stride]) + floor;
}

// The position where the cumulative signal reaches t, inside voxel i (c[i] <= t <= c[i+1]).
double positionOf(const std::vector<double>& c, int i, double t)
{
    const double width = c[static_cast<std::size_t>(i) + 1] - c[static_cast<std::size_t>(i)];
    return static_cast<double>(i) - 0.5 + (t - c[static_cast<std::size_t>(i)]) / width;
}

}  // namespace

Volume transportMap(const Volume& first, const Volume& second)
{
    const int nx = first.nx(), ny = first.ny(), nz = first.nz();
    Volume map(first.dimensions(), 0.0f);
    double total = 0.0;
    for (std::size_t i = 0, n = first.size(); i < n; ++i)
        total += static_cast<double>(std::max(0.0f, first[i])) + std::max(0.0f, second[i]);
    const double floor = kFloor * total / (2.0 * static_cast<double>(first.size()));
    if (!(floor > 0.0)) return map;
    const std::size_t stride = static_cast<std::size_t>(nx);
    const std::size_t points = static_cast<std::size_t>(ny);
    // Lines are independent; each slice is a piece with its own scratch.
    forEachPiece(static_cast<std::size_t>(nz), [&](std::size_t piece) {
        const int z = static_cast<int>(piece);
        std::vector<double> a(points + 1), b(points + 1), ys, ds;
        for (int x = 0; x < nx; ++x) {
            cumulative(first.data() + first.index(x, 0, z), stride, ny, floor, a);
            cumulative(second.data() + second.index(x, 0, z), stride, ny, floor, b);
            const double scale = a[points] / b[points];
            for (double& value : b) value *= scale;
            // The curve of (y, d) = ((u + v)/2, (u - v)/2) over the signal levels t, with u
            // and v the positions where the two lines reach t, is linear between the
            // levels where either line crosses a voxel edge.
            ys.assign(1, -0.5);
            ds.assign(1, 0.0);
            int i = 0, j = 0;
            while (i < ny && j < ny) {
                const double t = std::min(a[static_cast<std::size_t>(i) + 1], b[static_cast<std::size_t>(j) + 1]);
                const double u = positionOf(a, i, t), v = positionOf(b, j, t);
                ys.push_back(0.5 * (u + v));
                ds.push_back(0.5 * (u - v));
                if (a[static_cast<std::size_t>(i) + 1] <= t) ++i;
                if (b[static_cast<std::size_t>(j) + 1] <= t) ++j;
            }
            std::size_t k = 0;
            for (int y = 0; y < ny; ++y) {
                const double at = static_cast<double>(y);
                while (k + 1 < ys.size() && ys[k + 1] < at) ++k;
                double d = ds.back();
                if (k + 1 < ys.size()) {
                    const double span = ys[k + 1] - ys[k];
                    const double w = span > 0.0 ? std::clamp((at - ys[k]) / span, 0.0, 1.0) : 1.0;
                    d = ds[k] + w * (ds[k + 1] - ds[k]);
                }
                map(x, y, z) = static_cast<float>(d);
            }
        }
    });
    return map;
}
