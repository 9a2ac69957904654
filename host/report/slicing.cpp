// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/slicing.h"

#include <algorithm>
#include <cmath>

namespace {

int extentAlong(const Dimensions& extent, int axis)
{
    return axis == 0 ? extent.x : axis == 1 ? extent.y : extent.z;
}

// Where the segment between two corners crosses level, as a fraction from the first.
double crossing(double a, double b, double level)
{
    return (level - a) / (b - a);
}

}  // namespace

VoxelBox boxAround(const std::vector<VoxelIndex>& voxels, const Dimensions& extent, int margin)
{
    VoxelBox box;
    for (int axis = 0; axis < 3; ++axis) box.high[axis] = extentAlong(extent, axis) - 1;
    if (voxels.empty()) return box;
    VoxelBox tight{{voxels[0].x, voxels[0].y, voxels[0].z}, {voxels[0].x, voxels[0].y, voxels[0].z}};
    for (const VoxelIndex& v : voxels) {
        const std::array<int, 3> p{v.x, v.y, v.z};
        for (int axis = 0; axis < 3; ++axis) {
            tight.low[axis] = std::min(tight.low[axis], p[axis]);
            tight.high[axis] = std::max(tight.high[axis], p[axis]);
        }
    }
    for (int axis = 0; axis < 3; ++axis) {
        box.low[axis] = std::max(0, tight.low[axis] - margin);
        box.high[axis] = std::min(box.high[axis], tight.high[axis] + margin);
    }
    return box;
}

std::vector<int> evenlySpacedSlices(int low, int high, int count)
{
    std::vector<int> slices;
    for (int i = 0; i < count; ++i) {
        const double position = low + (high - low) * (i + 1.0) / (count + 1.0);
        const int slice = static_cast<int>(std::lround(position));
        if (slices.empty() || slices.back() != slice) slices.push_back(slice);
    }
    return slices;
}

PanelGeometry::PanelGeometry(const View& view, const VoxelBox& box, int slice, const std::array<double, 3>& voxelSize,
                             double pixelsPerMm)
    : view_(view), slice_(slice)
{
    const auto span = [&](int axis) { return box.high[axis] - box.low[axis] + 1; };
    const auto pixels = [&](int axis) {
        return std::max(1, static_cast<int>(std::lround(span(axis) * voxelSize[axis] * pixelsPerMm)));
    };
    width_ = pixels(view.across);
    height_ = pixels(view.down);
    // The panel spans the box from the outer edge of its first voxel to that of its last.
    acrossStep_ = span(view.across) / static_cast<double>(width_);
    downStep_ = span(view.down) / static_cast<double>(height_);
    acrossStart_ = view.acrossIncreasing ? box.low[view.across] - 0.5 : box.high[view.across] + 0.5;
    downStart_ = view.downIncreasing ? box.low[view.down] - 0.5 : box.high[view.down] + 0.5;
    if (!view.acrossIncreasing) acrossStep_ = -acrossStep_;
    if (!view.downIncreasing) downStep_ = -downStep_;
}

std::array<double, 3> PanelGeometry::voxelAt(double u, double v) const
{
    std::array<double, 3> p{};
    p[view_.sliceAxis] = slice_;
    p[view_.across] = acrossStart_ + u * acrossStep_;
    p[view_.down] = downStart_ + v * downStep_;
    return p;
}

Plane samplePlane(const Volume& volume, const PanelGeometry& geometry)
{
    Plane plane{geometry.width(), geometry.height(), {}};
    plane.values.resize(static_cast<std::size_t>(plane.width) * plane.height);
    const std::array<int, 3> n{volume.nx(), volume.ny(), volume.nz()};
    for (int v = 0; v < plane.height; ++v)
        for (int u = 0; u < plane.width; ++u) {
            const std::array<double, 3> p = geometry.voxelAt(u + 0.5, v + 0.5);
            std::array<int, 3> i0{};
            std::array<double, 3> f{};
            for (int axis = 0; axis < 3; ++axis) {
                const double t = std::clamp(p[axis], 0.0, n[axis] - 1.0);
                i0[axis] = std::min(static_cast<int>(t), n[axis] - 1);
                f[axis] = t - i0[axis];
            }
            // Trilinear over the neighbours that exist; the slice coordinate is a whole
            // voxel, so only the two in-plane axes blend.
            double value = 0.0;
            for (int corner = 0; corner < 8; ++corner) {
                std::array<int, 3> q{};
                double weight = 1.0;
                for (int axis = 0; axis < 3; ++axis) {
                    const bool upper = (corner >> axis) & 1;
                    q[axis] = std::min(i0[axis] + (upper ? 1 : 0), n[axis] - 1);
                    weight *= upper ? f[axis] : 1.0 - f[axis];
                }
                if (weight != 0.0) value += weight * volume(q[0], q[1], q[2]);
            }
            plane.values[static_cast<std::size_t>(v) * plane.width + u] = static_cast<float>(value);
        }
    return plane;
}

std::vector<Point> contourSegments(const Plane& plane, const Plane& mask, double level)
{
    std::vector<Point> ends;
    for (int v = 0; v + 1 < plane.height; ++v)
        for (int u = 0; u + 1 < plane.width; ++u) {
            if (mask.at(u, v) <= 0.5f || mask.at(u + 1, v) <= 0.5f || mask.at(u, v + 1) <= 0.5f ||
                mask.at(u + 1, v + 1) <= 0.5f)
                continue;
            // Corners in order around the cell: top-left, top-right, bottom-right, bottom-left.
            const std::array<double, 4> value{plane.at(u, v), plane.at(u + 1, v), plane.at(u + 1, v + 1),
                                              plane.at(u, v + 1)};
            const std::array<Point, 4> corner{Point{u + 0.5, v + 0.5}, Point{u + 1.5, v + 0.5},
                                              Point{u + 1.5, v + 1.5}, Point{u + 0.5, v + 1.5}};
            std::vector<Point> crossings;
            for (int edge = 0; edge < 4; ++edge) {
                const double a = value[edge];
                const double b = value[(edge + 1) % 4];
                if ((a < level) == (b < level)) continue;
                const double t = crossing(a, b, level);
                const Point& p = corner[edge];
                const Point& q = corner[(edge + 1) % 4];
                crossings.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
            }
            if (crossings.size() == 2) {
                ends.insert(ends.end(), crossings.begin(), crossings.end());
            } else if (crossings.size() == 4) {
                // A saddle: the centre value decides which corners the lines separate.
                const double centre = 0.25 * (value[0] + value[1] + value[2] + value[3]);
                const bool joinFirst = (centre < level) == (value[0] < level);
                const std::array<int, 4> order = joinFirst ? std::array<int, 4>{0, 1, 2, 3} : std::array<int, 4>{3, 0, 1, 2};
                for (int k : order) ends.push_back(crossings[static_cast<std::size_t>(k)]);
            }
        }
    return ends;
}
