// SPDX-License-Identifier: GPL-3.0-or-later
// Masked normalised Gaussian smoothing run axis by axis (declared in volumegauss.h).
#include <algorithm>
#include <vector>

#include "core/vectorlanes.h"
#include "core/volumegauss.h"

namespace {

// Voxels per piece of the element-wise loops.
constexpr std::size_t kVoxelsPerPiece = 16384;

// The kernel's factor along one axis: the row of a Gaussian kernel of that length only,
// truncated as gaussianKernel3D truncates it. Its scale differs from the 3D kernel's by a
// constant, which the normalisation removes.
std::vector<float> kernelFactor(int length, double sigma, int axis)
{
    Dimensions extent{1, 1, 1};
    Sigma3 sigmas{1.0, 1.0, 1.0};
    (axis == 0 ? extent.x : axis == 1 ? extent.y : extent.z) = length;
    sigmas[static_cast<std::size_t>(axis)] = sigma;
    const Volume kernel = gaussianKernel3D(extent, sigmas, {0, 0, 0}, false);
    return std::vector<float>(kernel.data(), kernel.data() + kernel.size());
}

// in convolved along the axis with the centred kernel k, zero beyond the volume; each
// output slice is a piece.
Volume convolvedAlong(const Volume& in, const std::vector<float>& k, int axis)
{
    const int nx = in.nx(), ny = in.ny(), nz = in.nz();
    const int half = static_cast<int>(k.size()) / 2;
    const int length = axis == 0 ? nx : axis == 1 ? ny : nz;
    const std::size_t stride = axis == 0 ? 1 : axis == 1 ? static_cast<std::size_t>(nx)
                                                          : static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    Volume out(in.dimensions(), 0.0f);
    forEachPieceInLanes(static_cast<std::size_t>(std::max(nz, 0)), [&](std::size_t slice) {
        const int z = static_cast<int>(slice);
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = in.index(0, y, z);
            float* target = out.data() + row;
            if (axis == 0) {
                for (int x = 0; x < nx; ++x) {
                    const int first = std::max(0, half - x), last = std::min(static_cast<int>(k.size()), half + nx - x);
                    float sum = 0.0f;
                    for (int a = first; a < last; ++a) sum += k[static_cast<std::size_t>(a)] * in[row + x + a - half];
                    target[x] = sum;
                }
                continue;
            }
            const int at = axis == 1 ? y : z;
            const int first = std::max(0, half - at), last = std::min(static_cast<int>(k.size()), half + length - at);
            for (int a = first; a < last; ++a) {
                const float weight = k[static_cast<std::size_t>(a)];
                const float* source = in.data() + row + static_cast<std::ptrdiff_t>(a - half) *
                                                            static_cast<std::ptrdiff_t>(stride);
                for (int x = 0; x < nx; ++x) target[x] += weight * source[x];
            }
        }
    });
    return out;
}

}  // namespace

void maskedSmoothSeparable(Volume& data, Dimensions extent, const Sigma3& sigma, const Volume& mask)
{
    // A voxel without weight adds nothing, whatever its value (even one not finite).
    Volume weighted(data.dimensions());
    forEachBlockInLanes(data.size(), kVoxelsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) weighted[i] = mask[i] != 0.0f ? data[i] * mask[i] : 0.0f;
    });
    Volume weights = mask;
    const int lengths[3] = {extent.x, extent.y, extent.z};
    for (int axis = 0; axis < 3; ++axis) {
        const std::vector<float> k = kernelFactor(lengths[axis], sigma[static_cast<std::size_t>(axis)], axis);
        weighted = convolvedAlong(weighted, k, axis);
        weights = convolvedAlong(weights, k, axis);
    }
    forEachBlockInLanes(data.size(), kVoxelsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) data[i] = weights[i] > 0.0f ? weighted[i] / weights[i] : 0.0f;
    });
}
