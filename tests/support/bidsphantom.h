// SPDX-License-Identifier: GPL-3.0-or-later
// A phantom pair as int16 NIfTI images (the oblique geometry of writeTestImage) with BIDS
// sidecars in FOLDER/sub-01/fmap, for the end-to-end runs of "mindaro correct".
#pragma once

#include <string>

#include "phantom/phantom.h"
#include "support/niftitestimages.h"

struct BidsPhantom {
    PhantomVolumes phantom;
    TestImageLayout layout;
    std::string ap;
    std::string pa;
};

// apDirection is the "PhaseEncodingDirection" of the AP image; the PA image's is the
// opposite. Both sidecars give the readout time.
BidsPhantom writeBidsPhantom(const std::string& folder, const std::string& apDirection, double readoutTime,
                             bool leftRight = false);
