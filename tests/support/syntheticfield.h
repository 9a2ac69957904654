// SPDX-License-Identifier: GPL-3.0-or-later
// A head-like ellipsoid with a known off-resonance field and the wrapped phase difference
// that two echoes would record of it, with noise outside the head: the test case of the
// phase unwrapping.
#pragma once

#include "core/volume.h"
#include "fieldmap/headmask.h"

struct SyntheticFieldOptions {
    Dimensions extent{64, 64, 40};
    double echoTimeDifference = 0.005;  // seconds; one turn of phase is 1 / dTE Hz
    // Height of a smooth peak near the front of the head, like the field near the sinuses;
    // with a gentle gradient across the head beside it.
    double peakHertz = 150.0;
    double offsetHertz = 0.0;  // added everywhere
    double noiseInside = 0.005;  // standard deviation of the phase noise in the head, radians
    // A small separate piece of head (an island) in front of the main one, where the
    // field keeps rising, so that its turn follows only from the field's continuity.
    bool withIsland = false;
    unsigned seed = 1;
};

struct SyntheticField {
    Volume hertz;      // the true field everywhere
    Volume magnitude;  // about 1000 in the head, noise of about 10 outside
    Volume wrapped;    // the phase difference in radians, within -pi..pi; uniform noise outside
    VoxelMask head;
};

SyntheticField makeSyntheticField(const SyntheticFieldOptions& options);

// The largest phase of the true field inside the head, in whole turns crossed: how often
// the wrapped phase jumps along the way from the smallest value to the largest.
int wrapsInsideHead(const SyntheticField& field, double echoTimeDifference);
