// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/rigidmotion.h"

#include <algorithm>
#include <cmath>


namespace {

constexpr double kPi = 3.14159265358979323846;

Rotation multiplied(const Rotation& a, const Rotation& b)
{
    Rotation c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}

// exp([w]x) by Rodrigues' formula.
Rotation exponential(const std::array<double, 3>& w)
{
    const double angle = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    Rotation r{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    if (angle == 0.0) return r;
    const double k[3] = {w[0] / angle, w[1] / angle, w[2] / angle};
    const double s = std::sin(angle), c = 1.0 - std::cos(angle);
    const double cross[3][3] = {{0.0, -k[2], k[1]}, {k[2], 0.0, -k[0]}, {-k[1], k[0], 0.0}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double square = 0.0;
            for (int m = 0; m < 3; ++m) square += cross[i][m] * cross[m][j];
            r[i][j] += s * cross[i][j] + c * square;
        }
    return r;
}

}  // namespace

RigidTransform transformOf(const RigidMotion& motion)
{
    const double a = motion.rotation[0], b = motion.rotation[1], g = motion.rotation[2];
    const Rotation rx{{{1.0, 0.0, 0.0}, {0.0, std::cos(a), -std::sin(a)}, {0.0, std::sin(a), std::cos(a)}}};
    const Rotation ry{{{std::cos(b), 0.0, std::sin(b)}, {0.0, 1.0, 0.0}, {-std::sin(b), 0.0, std::cos(b)}}};
    const Rotation rz{{{std::cos(g), -std::sin(g), 0.0}, {std::sin(g), std::cos(g), 0.0}, {0.0, 0.0, 1.0}}};
    return {multiplied(rz, multiplied(ry, rx)), motion.translation};
}

RigidMotion motionOf(const RigidTransform& transform)
{
    const Rotation& r = transform.rotation;
    RigidMotion motion;
    motion.translation = transform.translation;
    motion.rotation[1] = -std::asin(std::clamp(r[2][0], -1.0, 1.0));
    motion.rotation[0] = std::atan2(r[2][1], r[2][2]);
    motion.rotation[2] = std::atan2(r[1][0], r[0][0]);
    return motion;
}

RigidTransform inverse(const RigidTransform& transform)
{
    RigidTransform result;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) result.rotation[i][j] = transform.rotation[j][i];
    for (int i = 0; i < 3; ++i) {
        result.translation[i] = 0.0;
        for (int j = 0; j < 3; ++j) result.translation[i] -= result.rotation[i][j] * transform.translation[j];
    }
    return result;
}

RigidTransform composedWithSmallMotion(const RigidTransform& transform, const std::array<double, 3>& shift,
                                       const std::array<double, 3>& turn)
{
    RigidTransform result;
    result.rotation = multiplied(transform.rotation, exponential(turn));
    for (int i = 0; i < 3; ++i) {
        result.translation[i] = transform.translation[i];
        for (int j = 0; j < 3; ++j) result.translation[i] += transform.rotation[i][j] * shift[j];
    }
    return result;
}

double largestTranslation(const RigidMotion& motion)
{
    return std::max({std::fabs(motion.translation[0]), std::fabs(motion.translation[1]),
                     std::fabs(motion.translation[2])});
}

double rotationAngleDegrees(const RigidMotion& motion)
{
    const Rotation r = transformOf(motion).rotation;
    const double cosine = std::clamp(0.5 * (r[0][0] + r[1][1] + r[2][2] - 1.0), -1.0, 1.0);
    return std::acos(cosine) * 180.0 / kPi;
}

std::array<double, 3> gridPosition(double x, double y, double z, Dimensions extent,
                                   const std::array<double, 3>& voxelSize)
{
    return {(x - 0.5 * (extent.x - 1)) * voxelSize[0], (y - 0.5 * (extent.y - 1)) * voxelSize[1],
            (z - 0.5 * (extent.z - 1)) * voxelSize[2]};
}
