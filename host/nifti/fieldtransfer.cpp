// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/fieldtransfer.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

using Affine = std::array<std::array<double, 4>, 3>;
using Point = std::array<double, 3>;

Point apply(const Affine& m, double i, double j, double k)
{
    Point p{};
    for (int row = 0; row < 3; ++row) p[row] = m[row][0] * i + m[row][1] * j + m[row][2] * k + m[row][3];
    return p;
}

Affine inverse(const Affine& m, const std::string& image)
{
    const double a = m[0][0], b = m[0][1], c = m[0][2];
    const double d = m[1][0], e = m[1][1], f = m[1][2];
    const double g = m[2][0], h = m[2][1], i = m[2][2];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (!(std::abs(det) > 1e-12) || !std::isfinite(det))
        throw std::runtime_error("The voxel-to-world matrix of " + image + " cannot be inverted; its grid has no extent in space.");
    Affine r{};
    r[0] = {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det, 0.0};
    r[1] = {(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det, 0.0};
    r[2] = {(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det, 0.0};
    for (int row = 0; row < 3; ++row)
        r[row][3] = -(r[row][0] * m[0][3] + r[row][1] * m[1][3] + r[row][2] * m[2][3]);
    return r;
}

int axisIndex(const PhaseEncoding& direction)
{
    return direction.axis == 'i' ? 0 : 1;
}

Point worldAxis(const NiftiInfo& grid, int axis)
{
    const auto& m = grid.voxelToWorld;
    const Point d{m[0][axis], m[1][axis], m[2][axis]};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    return {d[0] / length, d[1] / length, d[2] / length};
}

std::string pointText(const Point& p)
{
    std::ostringstream text;
    text.precision(3);
    text << "(" << p[0] << ", " << p[1] << ", " << p[2] << ")";
    return text.str();
}

// Trilinear interpolation at a voxel position, clamped into the grid.
double sample(const Volume& map, const Point& at)
{
    const int n[3] = {map.nx(), map.ny(), map.nz()};
    int low[3];
    int high[3];
    double weight[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double position = std::clamp(at[axis], 0.0, static_cast<double>(n[axis] - 1));
        low[axis] = static_cast<int>(std::floor(position));
        high[axis] = std::min(low[axis] + 1, n[axis] - 1);
        weight[axis] = position - low[axis];
    }
    double value = 0.0;
    for (int corner = 0; corner < 8; ++corner) {
        const bool ui = corner & 1, uj = corner & 2, uk = corner & 4;
        const double w = (ui ? weight[0] : 1.0 - weight[0]) * (uj ? weight[1] : 1.0 - weight[1]) *
                         (uk ? weight[2] : 1.0 - weight[2]);
        if (w == 0.0) continue;
        value += w * map(ui ? high[0] : low[0], uj ? high[1] : low[1], uk ? high[2] : low[2]);
    }
    return value;
}

// Within half a voxel of the grid along every axis.
bool insideGrid(Dimensions extent, const Point& at)
{
    const int n[3] = {extent.x, extent.y, extent.z};
    for (int axis = 0; axis < 3; ++axis)
        if (!(at[axis] >= -0.5 && at[axis] <= n[axis] - 0.5)) return false;
    return true;
}

}  // namespace

bool sameGrid(const NiftiInfo& a, const NiftiInfo& b)
{
    if (a.extent != b.extent) return false;
    for (int corner = 0; corner < 8; ++corner) {
        const double i = (corner & 1) ? a.extent.x - 1 : 0;
        const double j = (corner & 2) ? a.extent.y - 1 : 0;
        const double k = (corner & 4) ? a.extent.z - 1 : 0;
        const Point p = apply(a.voxelToWorld, i, j, k);
        const Point q = apply(b.voxelToWorld, i, j, k);
        const double distance = std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
        if (!(distance <= 0.01)) return false;
    }
    return true;
}

std::optional<std::string> phaseAxisMismatch(const EncodedGrid& pair, const EncodedGrid& run)
{
    if (pair.direction.axis != run.direction.axis)
        return "its phase-encoding direction " + run.direction.text() + " lies along another voxel axis than the pair's " +
               pair.direction.text();
    const Point p = worldAxis(pair.grid, axisIndex(pair.direction));
    const Point r = worldAxis(run.grid, axisIndex(run.direction));
    const double cosine = std::abs(p[0] * r[0] + p[1] * r[1] + p[2] * r[2]);
    if (cosine < std::cos(25.0 * 3.14159265358979323846 / 180.0))
        return "its phase-encoding axis " + std::string(1, run.direction.axis) + " points along " + pointText(r) +
               " in world coordinates, the pair's along " + pointText(p);
    return std::nullopt;
}

Volume transferDisplacement(const Volume& pairMap, const EncodedGrid& pair, const EncodedGrid& run)
{
    if (pairMap.dimensions() != pair.grid.extent)
        throw std::invalid_argument("The map does not have the extent of the pair's grid.");
    if (!(pair.readoutTime > 0.0) || !(run.readoutTime > 0.0))
        throw std::invalid_argument("Carrying a map to another grid needs both readout times.");
    // d_run = field * T_run * p_run with field = d_pair * p_pair / T_pair, as one factor.
    const double scale = pair.direction.polarity * run.direction.polarity * run.readoutTime / pair.readoutTime;
    return resampleThroughWorld(pairMap, pair.grid, run.grid, scale, BeyondGrid::NearestEdge);
}

Volume resampleThroughWorld(const Volume& source, const NiftiInfo& from, const NiftiInfo& to, double scale,
                            BeyondGrid beyond)
{
    const Affine sourceFromWorld = inverse(from.voxelToWorld, "the source grid");
    Volume result(to.extent);
    for (int k = 0; k < result.nz(); ++k)
        for (int j = 0; j < result.ny(); ++j)
            for (int i = 0; i < result.nx(); ++i) {
                const Point world = apply(to.voxelToWorld, i, j, k);
                const Point at = apply(sourceFromWorld, world[0], world[1], world[2]);
                if (beyond == BeyondGrid::Zero && !insideGrid(source.dimensions(), at)) {
                    result(i, j, k) = 0.0f;
                    continue;
                }
                result(i, j, k) = static_cast<float>(sample(source, at) * scale);
            }
    return result;
}

std::size_t voxelsInsideGrid(const NiftiInfo& from, const NiftiInfo& to)
{
    const Affine fromWorld = inverse(from.voxelToWorld, "the source grid");
    std::size_t inside = 0;
    for (int k = 0; k < to.extent.z; ++k)
        for (int j = 0; j < to.extent.y; ++j)
            for (int i = 0; i < to.extent.x; ++i) {
                const Point world = apply(to.voxelToWorld, i, j, k);
                if (insideGrid(from.extent, apply(fromWorld, world[0], world[1], world[2]))) ++inside;
            }
    return inside;
}

double coveredFraction(const std::vector<std::uint8_t>& mask, const NiftiInfo& to,
                       const std::vector<std::uint8_t>& support, const NiftiInfo& from)
{
    const Affine fromWorld = inverse(from.voxelToWorld, "the field map's grid");
    std::size_t counted = 0;
    std::size_t covered = 0;
    std::size_t v = 0;
    for (int k = 0; k < to.extent.z; ++k)
        for (int j = 0; j < to.extent.y; ++j)
            for (int i = 0; i < to.extent.x; ++i, ++v) {
                if (!mask[v]) continue;
                ++counted;
                const Point world = apply(to.voxelToWorld, i, j, k);
                const Point at = apply(fromWorld, world[0], world[1], world[2]);
                if (!insideGrid(from.extent, at)) continue;
                const std::size_t x = static_cast<std::size_t>(std::lround(std::clamp(at[0], 0.0, from.extent.x - 1.0)));
                const std::size_t y = static_cast<std::size_t>(std::lround(std::clamp(at[1], 0.0, from.extent.y - 1.0)));
                const std::size_t z = static_cast<std::size_t>(std::lround(std::clamp(at[2], 0.0, from.extent.z - 1.0)));
                const std::size_t nx = static_cast<std::size_t>(from.extent.x);
                if (support[(z * static_cast<std::size_t>(from.extent.y) + y) * nx + x]) ++covered;
            }
    return counted == 0 ? 1.0 : static_cast<double>(covered) / static_cast<double>(counted);
}
