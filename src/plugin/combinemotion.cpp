// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/combinemotion.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr double kRadians = 3.14159265358979323846 / 180.0;

std::vector<VolumeMotionRow> checkedRows(const std::string& file, const std::string& run, int volumes)
{
    std::vector<VolumeMotionRow> rows = readMotionFile(file);
    if (rows.empty()) throw std::runtime_error(file + " gives the motion of no volume; it cannot place " + run + ".");
    std::vector<bool> seen(static_cast<std::size_t>(volumes), false);
    for (const VolumeMotionRow& row : rows) {
        if (row.volume >= static_cast<unsigned>(volumes))
            throw std::runtime_error(file + " gives the motion of volume " + std::to_string(row.volume) + ", but " + run +
                                     " holds " + std::to_string(volumes) +
                                     " volumes; give the motion file of the estimate made on this run.");
        if (seen[row.volume])
            throw std::runtime_error(file + " gives the motion of volume " + std::to_string(row.volume) + " twice.");
        seen[row.volume] = true;
    }
    return rows;
}

RigidTransform positionOf(const std::vector<VolumeMotionRow>& rows, int volume)
{
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const VolumeMotionRow& r) { return r.volume == static_cast<unsigned>(volume); });
    const VolumeMotionRow& chosen = row == rows.end() ? rows.front() : *row;
    RigidMotion motion;
    motion.translation = chosen.translation;
    for (int i = 0; i < 3; ++i) motion.rotation[i] = chosen.rotation[i] * kRadians;
    return transformOf(motion);
}

}  // namespace

RunsMotion readRunsMotion(const std::string& plusFile, const std::string& plusRun, const std::string& minusFile,
                          const std::string& minusRun, int volumes)
{
    return {checkedRows(plusFile, plusRun, volumes), checkedRows(minusFile, minusRun, volumes)};
}

CopyPositions positionsOf(const RunsMotion& motion, int volume)
{
    return {positionOf(motion.plus, volume), positionOf(motion.minus, volume)};
}

LargestMotion largestMotionBetweenCopies(const RunsMotion& motion, int volumes)
{
    LargestMotion largest;
    for (int v = 0; v < volumes; ++v) {
        const CopyPositions positions = positionsOf(motion, v);
        const RigidMotion between = motionOf(composed(positions.minus, inverse(positions.plus)));
        largest.translation = std::max(largest.translation, largestTranslation(between));
        largest.rotation = std::max(largest.rotation, rotationAngleDegrees(between));
    }
    return largest;
}
