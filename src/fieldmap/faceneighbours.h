// SPDX-License-Identifier: GPL-3.0-or-later
// The six face neighbours of a voxel by storage index, fewer at the edges of the grid.
#pragma once

#include <cstddef>

#include "core/volume.h"

template <class Visit>
void forFaceNeighbours(std::size_t v, Dimensions extent, Visit visit)
{
    const std::size_t nx = static_cast<std::size_t>(extent.x);
    const std::size_t ny = static_cast<std::size_t>(extent.y);
    const std::size_t plane = nx * ny;
    const std::size_t x = v % nx;
    const std::size_t y = (v / nx) % ny;
    const std::size_t z = v / plane;
    if (x > 0) visit(v - 1);
    if (x + 1 < nx) visit(v + 1);
    if (y > 0) visit(v - nx);
    if (y + 1 < ny) visit(v + nx);
    if (z > 0) visit(v - plane);
    if (z + 1 < static_cast<std::size_t>(extent.z)) visit(v + plane);
}
