// SPDX-License-Identifier: GPL-3.0-or-later
// Three-dimensional phase unwrapping by quality-guided region growing. Every voxel's
// quality is the norm of its wrapped second differences along the three axes (small where
// the phase varies smoothly, large in noise); the neighbour pairs inside the mask are
// joined best first, each join adding to one group the whole turns that make the pair's
// difference its wrapped difference. Noise, which comes last, cannot break the smooth
// regions joined before it. Pieces of the mask that do not touch are then brought to the
// turn of the largest one by the field's continuity, and the whole phase to the turn that
// puts its median inside the mask nearest zero.
#pragma once

#include <cstddef>

#include "core/volume.h"
#include "fieldmap/headmask.h"

struct UnwrappedPhase {
    Volume phase;                    // radians; the unwrapped phase inside the mask, 0 outside
    int pieces = 0;                  // pieces of the mask (face neighbours)
    int offsetTurns = 0;             // whole turns taken off the whole phase at the end
    std::size_t neighbourPairs = 0;  // face-neighbour pairs inside the mask
    std::size_t jumpsLeft = 0;       // of them, those whose unwrapped phases differ by more than pi
};

// wrapped in radians (within -pi..pi); the mask has one entry per voxel.
UnwrappedPhase unwrapPhase(const Volume& wrapped, const VoxelMask& mask);
