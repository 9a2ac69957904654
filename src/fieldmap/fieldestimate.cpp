// SPDX-License-Identifier: GPL-3.0-or-later
#include "fieldmap/fieldestimate.h"

#include <cmath>
#include <stdexcept>

#include "fieldmap/fieldextension.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Carries the field beyond the mask and smooths it; values outside the mask are replaced.
FieldEstimate finish(Volume field, const VoxelMask& mask, const FieldSettings& settings)
{
    if (mask.size() != field.size()) throw std::invalid_argument("The mask does not have one entry per voxel.");
    if (maskCount(mask) == 0) throw std::invalid_argument("The mask of the head holds no voxel.");
    FieldEstimate estimate;
    for (std::size_t v = 0; v < field.size(); ++v)
        if (mask[v]) estimate.largestHertz = std::max(estimate.largestHertz, std::abs(static_cast<double>(field[v])));
    estimate.hertz = smoothInMillimetres(extendBeyondMask(field, mask), settings.smoothingMm, settings.voxelSize);
    estimate.mask = mask;
    return estimate;
}

}  // namespace

FieldEstimate fieldFromPhaseDifference(const Volume& wrappedDifference, const VoxelMask& mask,
                                       double echoTimeDifference, const FieldSettings& settings)
{
    if (!(std::abs(echoTimeDifference) > 0.0) || !std::isfinite(echoTimeDifference))
        throw std::invalid_argument("The echo times must differ.");
    UnwrappedPhase unwrapped = unwrapPhase(wrappedDifference, mask);
    const double hertzPerRadian = 1.0 / (2.0 * kPi * echoTimeDifference);
    Volume field(wrappedDifference.dimensions(), 0.0f);
    for (std::size_t v = 0; v < field.size(); ++v)
        if (mask[v]) field[v] = static_cast<float>(unwrapped.phase[v] * hertzPerRadian);
    unwrapped.phase = Volume();
    FieldEstimate estimate = finish(std::move(field), mask, settings);
    estimate.unwrapping = std::move(unwrapped);
    return estimate;
}

FieldEstimate fieldFromHertz(const Volume& hertz, const VoxelMask& mask, const FieldSettings& settings)
{
    Volume field(hertz.dimensions(), 0.0f);
    VoxelMask measured = mask;
    for (std::size_t v = 0; v < field.size(); ++v) {
        // A voxel without a finite value is not measured, whatever the magnitude says.
        if (measured[v] && !std::isfinite(hertz[v])) measured[v] = 0;
        if (measured[v]) field[v] = hertz[v];
    }
    return finish(std::move(field), measured, settings);
}
