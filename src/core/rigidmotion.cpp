// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/rigidmotion.h"

#include <algorithm>
#include <cmath>

#include "core/bspline.h"

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

SplineVolume splineVolume(const Volume& volume)
{
    const std::vector<double> coefficients = bsplineCoefficients(volume.data(), volume.dimensions());
    return {volume.dimensions(), std::vector<float>(coefficients.begin(), coefficients.end())};
}

namespace {

// The cubic B-spline weights of the four coefficients around t and the first one's index.
struct Taps {
    int first;
    float weight[4];
};

Taps tapsAt(float t)
{
    const float f = std::floor(t);
    const float u = t - f;
    const float v = 1.0f - u;
    const float u2 = u * u;
    return {static_cast<int>(f) - 1,
            {v * v * v * (1.0f / 6.0f), (4.0f - 6.0f * u2 + 3.0f * u2 * u) * (1.0f / 6.0f),
             (1.0f + 3.0f * u + 3.0f * u2 - 3.0f * u2 * u) * (1.0f / 6.0f), u2 * u * (1.0f / 6.0f)}};
}

// The spline at (x, y, z) in voxels: coefficients outside the volume count as 0, and so
// does a position more than two voxels outside.
float sampleAt(const SplineVolume& v, float x, float y, float z)
{
    const Dimensions e = v.extent;
    if (!(x > -2.0f && x < e.x + 1.0f && y > -2.0f && y < e.y + 1.0f && z > -2.0f && z < e.z + 1.0f)) return 0.0f;
    const Taps tx = tapsAt(x), ty = tapsAt(y), tz = tapsAt(z);
    const std::size_t nx = static_cast<std::size_t>(e.x), slice = nx * static_cast<std::size_t>(e.y);
    const bool inner = tx.first >= 0 && tx.first + 3 < e.x;
    float sum = 0.0f;
    for (int c = 0; c < 4; ++c) {
        const int k = tz.first + c;
        if (k < 0 || k >= e.z) continue;
        float plane = 0.0f;
        for (int b = 0; b < 4; ++b) {
            const int j = ty.first + b;
            if (j < 0 || j >= e.y) continue;
            const float* row = v.coefficients.data() + static_cast<std::size_t>(k) * slice + static_cast<std::size_t>(j) * nx;
            float line = 0.0f;
            if (inner) {
                const float* at = row + tx.first;
                line = tx.weight[0] * at[0] + tx.weight[1] * at[1] + tx.weight[2] * at[2] + tx.weight[3] * at[3];
            } else {
                for (int a = 0; a < 4; ++a) {
                    const int i = tx.first + a;
                    if (i >= 0 && i < e.x) line += tx.weight[a] * row[i];
                }
            }
            plane += ty.weight[b] * line;
        }
        sum += tz.weight[c] * plane;
    }
    return sum;
}

}  // namespace

Volume resampledRigidly(const SplineVolume& v, const std::array<double, 3>& voxelSize,
                        const RigidTransform& transform)
{
    const Dimensions e = v.extent;
    const Rotation& r = transform.rotation;
    Volume out(e);
    // The position in voxels moves by a fixed step along a row.
    double step[3];
    for (int i = 0; i < 3; ++i) step[i] = r[i][0] * voxelSize[0] / voxelSize[i];
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y) {
            const std::array<double, 3> p = gridPosition(0, y, z, e, voxelSize);
            double q[3];
            for (int i = 0; i < 3; ++i)
                q[i] = (r[i][0] * p[0] + r[i][1] * p[1] + r[i][2] * p[2] + transform.translation[i]) / voxelSize[i] +
                       0.5 * ((i == 0 ? e.x : i == 1 ? e.y : e.z) - 1);
            float* row = out.data() + out.index(0, y, z);
            for (int x = 0; x < e.x; ++x)
                row[x] = sampleAt(v, static_cast<float>(q[0] + x * step[0]), static_cast<float>(q[1] + x * step[1]),
                                  static_cast<float>(q[2] + x * step[2]));
        }
    return out;
}
