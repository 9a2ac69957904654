// SPDX-License-Identifier: GPL-3.0-or-later
#include "fieldmap/fieldextension.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "fieldmap/faceneighbours.h"

namespace {

enum : std::uint8_t { kUnknown = 0, kKnown = 1, kQueued = 2 };

// One line of values convolved with the kernel (centre at radius), edges repeated.
void convolveLine(const float* in, float* out, std::size_t n, const std::vector<double>& kernel)
{
    const std::ptrdiff_t radius = static_cast<std::ptrdiff_t>(kernel.size() / 2);
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(n) - 1;
    for (std::ptrdiff_t i = 0; i <= last; ++i) {
        double sum = 0.0;
        for (std::ptrdiff_t k = -radius; k <= radius; ++k) {
            const std::ptrdiff_t at = std::clamp(i + k, std::ptrdiff_t{0}, last);
            sum += kernel[static_cast<std::size_t>(k + radius)] * in[at];
        }
        out[i] = static_cast<float>(sum);
    }
}

}  // namespace

Volume extendBeyondMask(const Volume& values, const VoxelMask& known)
{
    const Dimensions e = values.dimensions();
    Volume result = values;
    std::vector<std::uint8_t> state(known.size());
    std::vector<std::size_t> frontier;
    for (std::size_t v = 0; v < known.size(); ++v) state[v] = known[v] ? kKnown : kUnknown;
    for (std::size_t v = 0; v < known.size(); ++v)
        if (state[v] == kKnown)
            forFaceNeighbours(v, e, [&](std::size_t n) {
                if (state[n] == kUnknown) {
                    state[n] = kQueued;
                    frontier.push_back(n);
                }
            });
    std::vector<float> layer;
    std::vector<std::size_t> next;
    while (!frontier.empty()) {
        // Every voxel of the layer from the known voxels before it, so that the order
        // within the layer does not matter.
        layer.resize(frontier.size());
        for (std::size_t f = 0; f < frontier.size(); ++f) {
            double sum = 0.0;
            int count = 0;
            forFaceNeighbours(frontier[f], e, [&](std::size_t n) {
                if (state[n] == kKnown) {
                    sum += result[n];
                    ++count;
                }
            });
            layer[f] = static_cast<float>(sum / count);
        }
        for (std::size_t f = 0; f < frontier.size(); ++f) {
            result[frontier[f]] = layer[f];
            state[frontier[f]] = kKnown;
        }
        next.clear();
        for (const std::size_t v : frontier)
            forFaceNeighbours(v, e, [&](std::size_t n) {
                if (state[n] == kUnknown) {
                    state[n] = kQueued;
                    next.push_back(n);
                }
            });
        frontier.swap(next);
    }
    return result;
}

Volume smoothInMillimetres(const Volume& values, double sigmaMm, const std::array<double, 3>& voxelSize)
{
    if (!(sigmaMm > 0.0)) return values;
    Volume result = values;
    const Dimensions e = values.dimensions();
    const std::size_t n[3] = {static_cast<std::size_t>(e.x), static_cast<std::size_t>(e.y), static_cast<std::size_t>(e.z)};
    const std::size_t stride[3] = {1, n[0], n[0] * n[1]};
    std::vector<float> line;
    std::vector<float> smoothed;
    for (int axis = 0; axis < 3; ++axis) {
        const double sigma = sigmaMm / voxelSize[static_cast<std::size_t>(axis)];
        const std::size_t radius = static_cast<std::size_t>(std::ceil(3.0 * sigma));
        if (radius == 0 || n[axis] < 2) continue;
        std::vector<double> kernel(2 * radius + 1);
        double total = 0.0;
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            const double d = static_cast<double>(k) - static_cast<double>(radius);
            kernel[k] = std::exp(-0.5 * d * d / (sigma * sigma));
            total += kernel[k];
        }
        for (double& weight : kernel) weight /= total;
        // Every line along the axis, copied out so that its reads stay in cache.
        line.resize(n[axis]);
        smoothed.resize(n[axis]);
        const std::size_t lines = result.size() / n[axis];
        for (std::size_t l = 0; l < lines; ++l) {
            // The line's first voxel: l enumerates the other two axes in storage order.
            std::size_t start = 0;
            if (axis == 0) start = l * n[0];
            if (axis == 1) start = (l / n[0]) * stride[2] + l % n[0];
            if (axis == 2) start = l;
            for (std::size_t i = 0; i < n[axis]; ++i) line[i] = result[start + i * stride[axis]];
            convolveLine(line.data(), smoothed.data(), n[axis], kernel);
            for (std::size_t i = 0; i < n[axis]; ++i) result[start + i * stride[axis]] = smoothed[i];
        }
    }
    return result;
}
