// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/estimatelimits.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "core/threadpool.h"

namespace {

struct IntensityRange {
    std::size_t nonFinite = 0;
    double largest = 0.0;  // magnitude, over the finite values
};

// Voxels scanned per piece.
constexpr std::size_t kScanBlock = std::size_t{1} << 16;

// Blocks of voxels are scanned side by side; counts and maxima combine exactly in any order.
IntensityRange intensityRange(const Volume& volume)
{
    const std::size_t blocks = (volume.size() + kScanBlock - 1) / kScanBlock;
    const std::vector<IntensityRange> parts = partialsOfPieces<IntensityRange>(blocks, [&](std::size_t block) {
        IntensityRange part;
        const std::size_t end = std::min(volume.size(), (block + 1) * kScanBlock);
        for (std::size_t i = block * kScanBlock; i < end; ++i) {
            const float value = volume[i];
            if (!std::isfinite(value))
                ++part.nonFinite;
            else
                part.largest = std::max(part.largest, static_cast<double>(std::abs(value)));
        }
        return part;
    });
    IntensityRange range;
    for (const IntensityRange& part : parts) {
        range.nonFinite += part.nonFinite;
        range.largest = std::max(range.largest, part.largest);
    }
    return range;
}

std::string volumeOf(const EstimateVolume& v)
{
    return "volume " + std::to_string(v.index) + " of " + v.project;
}

[[noreturn]] void refuse(const std::string& text)
{
    throw std::runtime_error("Cannot estimate: " + text);
}

}  // namespace

std::size_t nonFiniteVoxels(const Volume& volume)
{
    return intensityRange(volume).nonFinite;
}

void requireEstimableInput(const EstimateVolume& first, const EstimateVolume& second, double voxelAlongPhaseEncoding,
                           const std::string& voxelKey)
{
    for (const EstimateVolume* v : {&first, &second}) {
        const IntensityRange range = intensityRange(v->volume);
        std::ostringstream text;
        if (range.nonFinite > 0) {
            text << volumeOf(*v) << " holds " << range.nonFinite << " voxels that are not finite numbers (NaN or "
                 << "infinite).";
            refuse(text.str());
        }
        if (range.largest > kLargestIntensity) {
            text << volumeOf(*v) << " holds intensities up to " << range.largest << "; the estimate works in single "
                 << "precision on intensities of at most " << kLargestIntensity << " in magnitude. Scale the data down.";
            refuse(text.str());
        }
    }
    if (first.volume.ny() < kFewestRowsAlongPhaseEncoding)
        refuse(first.project + " has " + std::to_string(first.volume.ny()) +
               " rows along the phase-encoding axis; the estimate fits a stretch and a shift to every column and "
               "needs at least " + std::to_string(kFewestRowsAlongPhaseEncoding) + ".");
    if (voxelAlongPhaseEncoding > kLargestVoxelAlongPhaseEncoding) {
        std::ostringstream text;
        text << "the voxel size along the phase-encoding axis of " << first.project << " is " << voxelAlongPhaseEncoding
             << " (" << voxelKey << "); the estimate smooths 4 mm along that axis, which needs voxels of at most "
             << kLargestVoxelAlongPhaseEncoding << " mm there.";
        refuse(text.str());
    }
}

void requireFiniteMap(const Volume& map, const EstimateVolume& first, const EstimateVolume& second,
                      double voxelAlongPhaseEncoding)
{
    const std::size_t count = nonFiniteVoxels(map);
    if (count == 0) return;
    const double largest = std::max(intensityRange(first.volume).largest, intensityRange(second.volume).largest);
    std::ostringstream text;
    text << "The estimated map holds " << count << " voxels (of " << map.size()
         << ") that are not finite numbers; it was neither saved nor applied. The column-wise fit diverged; likely "
            "causes are an object cut by the field of view along the phase-encoding axis ("
         << first.volume.ny() << " rows), a voxel size along that axis close to " << kLargestVoxelAlongPhaseEncoding
         << " mm (here " << voxelAlongPhaseEncoding << ") or intensities close to " << kLargestIntensity << " (here up to "
         << largest << ").";
    throw std::runtime_error(text.str());
}
