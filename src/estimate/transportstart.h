// SPDX-License-Identifier: GPL-3.0-or-later
// The start of the precise estimate: on every line along y, the map under which the two
// acquisitions have the same cumulative signal. The distortion moves signal along the
// line without changing its amount, so the signal that the first acquisition holds below
// y + d equals what the second holds below y - d; solving that for d at every y gives
// the map that explains each line exactly (the one-dimensional optimal transport between
// the two, split evenly between them). It finds displacements of any size and stays
// right behind places where the field folds, which coarse-to-fine matching of smoothed
// images cannot; noise in it is left to the regularised fit.
#pragma once

#include "core/volume.h"

// first and second of one extent; each line's second signal is scaled to the first's
// total. Negative voxels count as 0, and every voxel carries a floor of 1% of the mean
// signal, so that dark stretches move with their neighbours.
Volume transportMap(const Volume& first, const Volume& second);
