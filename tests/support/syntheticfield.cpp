// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/syntheticfield.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "fieldmap/phaseunits.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double squared(double v)
{
    return v * v;
}

}  // namespace

SyntheticField makeSyntheticField(const SyntheticFieldOptions& options)
{
    const Dimensions e = options.extent;
    SyntheticField field{Volume(e), Volume(e), Volume(e), VoxelMask(voxelCount(e), 0)};
    std::mt19937 generator(options.seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> anyPhase(-kPi, kPi);
    const double cx = 0.5 * (e.x - 1), cy = 0.5 * (e.y - 1), cz = 0.5 * (e.z - 1);
    const double rx = 0.38 * e.x, ry = 0.42 * e.y, rz = 0.4 * e.z;
    // The peak sits inside the front of the head; the island beyond the front edge.
    const double py = cy + 0.62 * ry, pz = cz - 0.2 * rz;
    const double width = 0.18 * e.y;
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                const std::size_t v = field.hertz.index(x, y, z);
                const double hz = options.offsetHertz + 0.1 * options.peakHertz * (x - cx) / rx +
                                  options.peakHertz * std::exp(-(squared(x - cx) + squared(y - py) + squared(z - pz)) /
                                                               (2.0 * width * width));
                field.hertz[v] = static_cast<float>(hz);
                const bool inHead = squared((x - cx) / rx) + squared((y - cy) / ry) + squared((z - cz) / rz) <= 1.0;
                const bool inIsland = options.withIsland &&
                                      squared((x - cx) / (0.25 * rx)) + squared((y - (cy + ry + 4.0)) / 2.0) +
                                              squared((z - pz) / (0.3 * rz)) <= 1.0;
                const bool inside = inHead || inIsland;
                field.head[v] = inside;
                const double phase = 2.0 * kPi * hz * options.echoTimeDifference;
                field.wrapped[v] = inside ? wrapPhase(static_cast<float>(phase + options.noiseInside * noise(generator)))
                                          : static_cast<float>(anyPhase(generator));
                field.magnitude[v] = static_cast<float>(inside ? 1000.0 + 20.0 * noise(generator)
                                                               : std::abs(10.0 * noise(generator)));
            }
    return field;
}

int wrapsInsideHead(const SyntheticField& field, double echoTimeDifference)
{
    double lowest = 1e30, highest = -1e30;
    for (std::size_t v = 0; v < field.head.size(); ++v) {
        if (!field.head[v]) continue;
        const double turns = field.hertz[v] * echoTimeDifference + 0.5;  // wraps at -pi and pi
        lowest = std::min(lowest, turns);
        highest = std::max(highest, turns);
    }
    return static_cast<int>(std::floor(highest) - std::floor(lowest));
}
