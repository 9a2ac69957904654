// SPDX-License-Identifier: GPL-3.0-or-later
// Where the voxel axes of an image lie in the body, and how the three standard views
// show it: axial with anterior at the top, coronal and sagittal with superior at the top,
// sagittal with anterior on the left, left and right by the chosen convention.
#pragma once

#include <array>
#include <string>

struct ProjectHeader;

// Voxel (i, j, k) to world millimetres, row-major 3 x 4.
using VoxelToWorld = std::array<std::array<double, 4>, 3>;

enum class LeftRightConvention {
    Radiological,  // the patient's right on the left of the picture
    Neurological,  // the patient's left on the left of the picture
};

// Body axes: 0 left-right, 1 posterior-anterior, 2 inferior-superior.
struct Orientation {
    // False when nothing is known about the body: the views show the voxel order.
    bool anatomical = false;
    // For each voxel axis x, y, z: the body axis it runs closest to, and +1 when its index
    // grows towards the patient's right, anterior or superior, -1 the other way.
    std::array<int, 3> bodyAxis{0, 1, 2};
    std::array<int, 3> towards{1, 1, 1};
    std::array<double, 3> voxelSize{1.0, 1.0, 1.0};  // mm
    double obliqueDegrees = 0.0;  // largest angle between a voxel axis and its body axis
    std::string source;           // where the orientation came from, for the caption

    // The voxel axis that runs closest to the body axis.
    int voxelAxis(int body) const;
};

// From a voxel-to-world matrix in the NIfTI convention (x to the patient's right, y to
// anterior, z to superior). A matrix with a vanishing or repeated axis gives the voxel
// order with the voxel sizes of its columns.
Orientation orientationFromMatrix(const VoxelToWorld& voxelToWorld, const std::string& source);

// The voxel order, with the given voxel sizes.
Orientation voxelOrder(const std::array<double, 3>& voxelSize, const std::string& source);

// From the position block of a project header (scanner coordinates pointing left,
// posterior and up; rows along RowDir, columns along ColDir, slices from the first slice
// centre to the last), or the voxel order when the header has no usable block. Voxel
// sizes from the in-plane resolution and slice thickness plus gap.
Orientation projectOrientation(const ProjectHeader& header, const std::string& name);

// How one view draws a slice: which voxel axis runs across and down the picture, which
// way, and the letters at its edges.
struct View {
    std::string name;     // "axial", "coronal", "sagittal"; "z slices" ... for the voxel order
    int sliceAxis = 2;    // voxel axis across the slices
    int across = 0;       // voxel axis from the left to the right edge
    bool acrossIncreasing = true;  // its index grows to the right
    int down = 1;         // voxel axis from the top to the bottom edge
    bool downIncreasing = false;   // its index grows downwards
    std::string left, right, top, bottom;  // edge letters: "R", "L", "A", "P", "S", "I", or "+x"...
};

// Axial, coronal and sagittal; for the voxel order, slices along z, y and x.
std::array<View, 3> standardViews(const Orientation& orientation, LeftRightConvention convention);

// "radiological (R on the left)" or "neurological (L on the left)".
std::string conventionText(LeftRightConvention convention);
