// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/diffusionpairing.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

// Volumes with b-values up to this count as unweighted; their directions do not matter.
constexpr float kLargestUnweightedB = 50.0f;

bool sameBValue(float a, float b)
{
    return std::fabs(a - b) <= std::max(1.0f, 0.01f * std::max(std::fabs(a), std::fabs(b)));
}

double length(Point3 p)
{
    return std::sqrt(double(p.x) * p.x + double(p.y) * p.y + double(p.z) * p.z);
}

// A direction of length 0 only matches another.
bool sameDirection(Point3 a, Point3 b)
{
    const double na = length(a), nb = length(b);
    if (na < 1e-6 || nb < 1e-6) return na < 1e-6 && nb < 1e-6;
    const double cosine = (double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z) / (na * nb);
    return std::fabs(cosine) >= std::cos(2.0 * 3.14159265358979 / 180.0);
}

std::string directionText(Point3 p)
{
    std::ostringstream text;
    text << '(' << p.x << ", " << p.y << ", " << p.z << ')';
    return text.str();
}

}  // namespace

std::optional<MeasurementDifference> firstDifferingMeasurement(const std::vector<float>& bValuesA,
                                                               const std::vector<Point3>& directionsA,
                                                               const std::vector<float>& bValuesB,
                                                               const std::vector<Point3>& directionsB)
{
    const std::size_t common = std::min(bValuesA.size(), bValuesB.size());
    for (std::size_t v = 0; v < common; ++v) {
        std::ostringstream text;
        if (!sameBValue(bValuesA[v], bValuesB[v])) {
            text << "b-value " << bValuesA[v] << " against " << bValuesB[v];
            return MeasurementDifference{v, text.str()};
        }
        if (bValuesA[v] > kLargestUnweightedB && v < directionsA.size() && v < directionsB.size() &&
            !sameDirection(directionsA[v], directionsB[v]))
            return MeasurementDifference{v, "gradient direction " + directionText(directionsA[v]) + " against " +
                                                directionText(directionsB[v])};
    }
    if (bValuesA.size() != bValuesB.size())
        return MeasurementDifference{common, bValuesA.size() > common ? "a b-value against none" : "no b-value against one"};
    return std::nullopt;
}
