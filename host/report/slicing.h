// SPDX-License-Identifier: GPL-3.0-or-later
// Slices of a volume as the pictures show them: the box around the object, evenly spaced
// slices through it, and panel pixels sampled in the orientation of a view with the
// physical proportions of the voxels.
#pragma once

#include <array>
#include <vector>

#include "core/volume.h"
#include "report/drawing.h"
#include "report/orientation.h"

// Voxels low..high (inclusive) along each axis.
struct VoxelBox {
    std::array<int, 3> low{};
    std::array<int, 3> high{};
};

// The smallest box around the voxels, widened by margin voxels on every side within the
// extent; the whole extent when there are no voxels.
VoxelBox boxAround(const std::vector<VoxelIndex>& voxels, const Dimensions& extent, int margin);

// count slice indices evenly spaced inside low..high, the ends left out (the middle one
// for a count of 1); fewer when the range holds fewer distinct slices.
std::vector<int> evenlySpacedSlices(int low, int high, int count);

// Values at the centres of a panel's pixels, row by row from the top.
struct Plane {
    int width = 0;
    int height = 0;
    std::vector<float> values;

    float at(int u, int v) const { return values[static_cast<std::size_t>(v) * width + u]; }
};

// Where the pixels of one panel lie in the volume: one slice of a view through the box,
// drawn at pixelsPerMm.
class PanelGeometry {
public:
    PanelGeometry(const View& view, const VoxelBox& box, int slice, const std::array<double, 3>& voxelSize,
                  double pixelsPerMm);

    int width() const { return width_; }
    int height() const { return height_; }
    // Voxel coordinates (x, y, z) of panel position (u, v), in pixels from the top-left
    // corner; pixel (i, j) has its centre at (i + 0.5, j + 0.5).
    std::array<double, 3> voxelAt(double u, double v) const;

private:
    View view_;
    int slice_;
    double acrossStart_;  // voxel coordinate at the left edge
    double acrossStep_;   // voxels per pixel, signed
    double downStart_;
    double downStep_;
    int width_;
    int height_;
};

// Bilinear within the slice; positions beyond the volume take the nearest edge value.
Plane samplePlane(const Volume& volume, const PanelGeometry& geometry);

// Line segments (pairs of end points, in panel pixels) where the plane crosses level,
// through the cells whose four corners are all inside (mask above 0.5).
std::vector<Point> contourSegments(const Plane& plane, const Plane& mask, double level);
