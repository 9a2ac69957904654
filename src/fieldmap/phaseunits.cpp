// SPDX-License-Identifier: GPL-3.0-or-later
#include "fieldmap/phaseunits.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Radians stored in single precision, or rounded by a converter, may pass pi a little.
constexpr double kRadianSlack = 0.01;
// A scanner-unit phase of a head spans most of its 12-bit range (the noise outside it the
// whole range); less is something else, such as degrees.
constexpr double kLeastScannerSpan = 2048.0;

}  // namespace

float wrapPhase(float radians)
{
    constexpr float twoPi = static_cast<float>(2.0 * kPi);
    return radians - twoPi * std::round(radians / twoPi);
}

std::optional<PhaseScale> detectPhaseScale(const Volume& phase)
{
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -lowest;
    for (std::size_t i = 0; i < phase.size(); ++i) {
        const float value = phase[i];
        if (!std::isfinite(value)) continue;
        lowest = std::min(lowest, static_cast<double>(value));
        highest = std::max(highest, static_cast<double>(value));
    }
    if (!(lowest <= highest)) return std::nullopt;
    if (lowest >= -kPi - kRadianSlack && highest <= kPi + kRadianSlack) return PhaseScale::Radians;
    if (lowest >= -kRadianSlack && highest <= 2.0 * kPi + kRadianSlack) return PhaseScale::Radians;
    if (highest - lowest < kLeastScannerSpan) return std::nullopt;
    if (lowest >= -4096.5 && highest <= 4096.5 && lowest < 0.0) return PhaseScale::ScannerSigned;
    if (lowest >= -0.5 && highest <= 4095.5) return PhaseScale::ScannerUnsigned;
    return std::nullopt;
}

std::string phaseScaleText(PhaseScale scale)
{
    switch (scale) {
    case PhaseScale::Radians: return "radians";
    case PhaseScale::ScannerSigned: return "scanner units (-4096..4095 for -pi..pi)";
    case PhaseScale::ScannerUnsigned: return "unsigned scanner units (0..4095 for -pi..pi)";
    }
    return "";
}

Volume phaseInRadians(const Volume& phase, PhaseScale scale)
{
    // radians = value * factor + offset, in double, then wrapped.
    double factor = 1.0;
    double offset = 0.0;
    if (scale == PhaseScale::ScannerSigned) factor = kPi / 4096.0;
    if (scale == PhaseScale::ScannerUnsigned) {
        factor = 2.0 * kPi / 4096.0;
        offset = -kPi;
    }
    Volume radians(phase.dimensions());
    for (std::size_t i = 0; i < phase.size(); ++i) {
        const float value = phase[i];
        radians[i] = std::isfinite(value) ? wrapPhase(static_cast<float>(value * factor + offset)) : 0.0f;
    }
    return radians;
}

Volume wrappedDifference(const Volume& first, const Volume& second)
{
    if (first.dimensions() != second.dimensions())
        throw std::invalid_argument("The two phase images differ in extent.");
    Volume difference(first.dimensions());
    for (std::size_t i = 0; i < first.size(); ++i) difference[i] = wrapPhase(second[i] - first[i]);
    return difference;
}
