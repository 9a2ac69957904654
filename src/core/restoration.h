// SPDX-License-Identifier: GPL-3.0-or-later
// Least-squares restoration of a volume acquired twice, once with each phase-encoding
// direction: per line along y, the one undistorted line that explains both copies.
//
// The copy acquired in direction s (+1 plus, -1 minus) is modelled as y_s = S_s^T f, where
// S_s is the undistortion of that copy (the cubic B-spline sampled at y + s*vdm,
// S_s = W_s P^-1 with P the spline's prefilter). The transpose spreads every voxel of f
// over the positions it is displaced to, so compressed regions pile up signal and
// stretched ones thin it out as the acquisition does. The residuals are measured through
// P (P y_s - W_s^T f), which keeps the normal equations banded:
//   (W_+ W_+^T + W_- W_-^T + smoothness D^T D) f = W_+ P y_+ + W_- P y_-,
// D the first differences along y. Each line is solved exactly by a Cholesky
// factorisation in its envelope, the lines independently; the result is clipped at 0.
#pragma once

#include <vector>

#include "core/volume.h"

struct RestorationSettings {
    // Weight of the squared first differences of the restored line against the squared
    // residuals of the copies; dimensionless (both grow with the square of the intensity).
    double smoothness = 0.05;
};

// Throws an assertion error unless every pair is complete and has the map's extent and the
// smoothness is positive.
void checkRestorationInputs(const std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                            const RestorationSettings& settings);

// Restores every pair plus[i], minus[i] (y along the phase encoding; plus acquired in the
// direction that the map corrects with +vdm; both in one frame, see core/movedpair.h) and
// replaces plus[i] by the result. Values that are not finite drop out of their copy's
// residuals. Lines share one factorisation across the pairs whose copies are finite along
// them; pairs and fixed blocks of lines run on the worker threads.
void restorePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings = {});
Volume restorePair(const Volume& plus, const Volume& minus, const Volume& vdm, const RestorationSettings& settings = {});
