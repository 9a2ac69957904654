// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/orientation.h"

#include <algorithm>
#include <cmath>

#include "files/projectheader.h"

namespace {

using Vector3 = std::array<double, 3>;

double length(const Vector3& v)
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

Vector3 cross(const Vector3& a, const Vector3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double determinant(const std::array<Vector3, 3>& columns)
{
    const Vector3 c = cross(columns[1], columns[2]);
    return columns[0][0] * c[0] + columns[0][1] * c[1] + columns[0][2] * c[2];
}

// Scanner coordinates (left, posterior, up) to the NIfTI convention (right, anterior, up).
Vector3 toRightAnteriorSuperior(const Vector3& v)
{
    return {-v[0], -v[1], v[2]};
}

double positive(double size)
{
    return std::isfinite(size) && size > 0.0 ? size : 1.0;
}

}  // namespace

int Orientation::voxelAxis(int body) const
{
    for (int axis = 0; axis < 3; ++axis)
        if (bodyAxis[axis] == body) return axis;
    return body;
}

Orientation voxelOrder(const std::array<double, 3>& voxelSize, const std::string& source)
{
    Orientation orientation;
    orientation.voxelSize = {positive(voxelSize[0]), positive(voxelSize[1]), positive(voxelSize[2])};
    orientation.source = source;
    return orientation;
}

Orientation orientationFromMatrix(const VoxelToWorld& m, const std::string& source)
{
    std::array<Vector3, 3> columns{};
    std::array<double, 3> sizes{};
    for (int axis = 0; axis < 3; ++axis) {
        columns[axis] = {m[0][axis], m[1][axis], m[2][axis]};
        sizes[axis] = length(columns[axis]);
    }
    const auto usable = [](double size) { return std::isfinite(size) && size > 0.0; };
    if (!std::all_of(sizes.begin(), sizes.end(), usable)) return voxelOrder(sizes, source);
    for (int axis = 0; axis < 3; ++axis)
        for (double& component : columns[axis]) component /= sizes[axis];
    // Nearly parallel axes carry no orientation worth showing.
    if (std::abs(determinant(columns)) < 0.1) return voxelOrder(sizes, source);

    // Pair voxel axes with body axes, largest alignment first.
    Orientation orientation;
    orientation.anatomical = true;
    orientation.voxelSize = sizes;
    orientation.source = source;
    std::array<bool, 3> voxelTaken{};
    std::array<bool, 3> bodyTaken{};
    for (int pairs = 0; pairs < 3; ++pairs) {
        int bestVoxel = -1;
        int bestBody = -1;
        for (int voxel = 0; voxel < 3; ++voxel)
            for (int body = 0; body < 3; ++body)
                if (!voxelTaken[voxel] && !bodyTaken[body] &&
                    (bestVoxel < 0 || std::abs(columns[voxel][body]) > std::abs(columns[bestVoxel][bestBody]))) {
                    bestVoxel = voxel;
                    bestBody = body;
                }
        voxelTaken[bestVoxel] = bodyTaken[bestBody] = true;
        const double alignment = columns[bestVoxel][bestBody];
        orientation.bodyAxis[bestVoxel] = bestBody;
        orientation.towards[bestVoxel] = alignment >= 0.0 ? 1 : -1;
        const double degrees = std::acos(std::min(1.0, std::abs(alignment))) * 180.0 / 3.14159265358979323846;
        orientation.obliqueDegrees = std::max(orientation.obliqueDegrees, degrees);
    }
    return orientation;
}

Orientation projectOrientation(const ProjectHeader& h, const std::string& name)
{
    const std::array<double, 3> voxelSize{h.InplaneResolutionX.value, h.InplaneResolutionY.value,
                                          static_cast<double>(h.SliceThickness.value + h.SliceGap.value)};
    const std::string noPosition = "the voxel order: " + name + " holds no position information";
    if (!h.PosInfosVerified.present || !h.RowDirX.present || !h.ColDirX.present)
        return voxelOrder(voxelSize, noPosition);
    const Vector3 row{h.RowDirX.value, h.RowDirY.value, h.RowDirZ.value};
    const Vector3 column{h.ColDirX.value, h.ColDirY.value, h.ColDirZ.value};
    const Vector3 between{h.SliceNCenterX.value - h.Slice1CenterX.value, h.SliceNCenterY.value - h.Slice1CenterY.value,
                          h.SliceNCenterZ.value - h.Slice1CenterZ.value};
    // One slice, or both centres at one place: the slices follow the normal of the rows
    // and columns.
    const Vector3 slice = length(between) > 1e-6 ? between : cross(row, column);
    const std::array<Vector3, 3> directions{toRightAnteriorSuperior(row), toRightAnteriorSuperior(column),
                                            toRightAnteriorSuperior(slice)};
    VoxelToWorld m{};
    for (int axis = 0; axis < 3; ++axis) {
        const double size = positive(voxelSize[axis]);
        const double norm = length(directions[axis]);
        for (int row = 0; row < 3; ++row) m[row][axis] = norm > 0.0 ? directions[axis][row] / norm * size : 0.0;
    }
    Orientation orientation = orientationFromMatrix(m, "the position information of " + name);
    if (!orientation.anatomical) orientation.source = noPosition;
    return orientation;
}

std::array<View, 3> standardViews(const Orientation& o, LeftRightConvention convention)
{
    if (!o.anatomical)
        return {View{"z slices", 2, 0, true, 1, false, "", "+x", "+y", ""},
                View{"y slices", 1, 0, true, 2, false, "", "+x", "+z", ""},
                View{"x slices", 0, 1, true, 2, false, "", "+y", "+z", ""}};
    const bool radiological = convention == LeftRightConvention::Radiological;
    const int leftRight = o.voxelAxis(0);
    const int anterior = o.voxelAxis(1);
    const int superior = o.voxelAxis(2);
    // Moving right on the picture goes to the patient's left (radiological) or right.
    const bool acrossLeftRight = radiological ? o.towards[leftRight] < 0 : o.towards[leftRight] > 0;
    const std::string leftEdge = radiological ? "R" : "L";
    const std::string rightEdge = radiological ? "L" : "R";
    // Moving down goes posterior (axial) or inferior (coronal, sagittal).
    const bool downPosterior = o.towards[anterior] < 0;
    const bool downInferior = o.towards[superior] < 0;
    return {View{"axial", superior, leftRight, acrossLeftRight, anterior, downPosterior, leftEdge, rightEdge, "A", "P"},
            View{"coronal", anterior, leftRight, acrossLeftRight, superior, downInferior, leftEdge, rightEdge, "S", "I"},
            View{"sagittal", leftRight, anterior, o.towards[anterior] < 0, superior, downInferior, "A", "P", "S", "I"}};
}

std::string conventionText(LeftRightConvention convention)
{
    return convention == LeftRightConvention::Radiological ? "radiological (the patient's right on the left)"
                                                           : "neurological (the patient's left on the left)";
}
