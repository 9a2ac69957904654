// SPDX-License-Identifier: GPL-3.0-or-later
// The fast estimate of a voxel displacement map: every column along y is fitted on its
// own with a stretch about the column centre plus a shift, by Gauss-Newton iterations,
// with the parameter maps smoothed across columns between passes.
#pragma once

#include <ostream>

#include "core/volume.h"
#include "core/volumegauss.h"

// The ny voxels (x, 0..ny-1, z).
Vector getColumn(const Volume& vol, int row, int slice);
// Writes the ny values of vec into the voxels (x, 0..ny-1, z).
void setColumn(Volume& vol, int row, int slice, const Vector& vec);
// Inverse of a 2 x 2 matrix; a singular matrix gives infinite or NaN elements.
Matrix inverse2x2(const Matrix& mat);

// The VDM (in voxels along y; AP is undistorted with +VDM, PA with -VDM) fitted column by
// column to the two volumes smoothed with sigma (kernel kind `kind` for the intensity
// copies). Writes three entries to the log.
Volume estimateColumnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind,
                             std::ostream& log);
// estimateColumnwiseVdm smoothed by smoothGaussian with 1.5 voxels on every axis, padded:
// the fast estimate's map and the full estimate's start. The smoothing kernel is transformed
// on the calling thread while the columns are fitted on the others.
Volume smoothedColumnwiseVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, int kind,
                             std::ostream& log);
