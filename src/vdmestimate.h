// The full estimate of a voxel displacement map: the column-wise estimate, smoothed, then
// refined level by level with uniform trial corrections in a box around every voxel with
// signal, a signal-weighted smoothing and a repair of folds after each level.
#pragma once

#include <cstddef>
#include <ostream>
#include <utility>
#include <vector>

#include "volume.h"
#include "volumegauss.h"

// Counts that a run of estimateVdm can hand back for profiling; one entry per level.
struct VdmEstimateStatistics {
    std::vector<std::size_t> visitedPerLevel;
    std::vector<double> sweepSeconds;
};

// The sources that the two volumes are resampled from: copies of the inputs, or, with
// use_ic, the inputs times the intensity weights of the inverted VDM.
std::pair<Volume, Volume> estimationInputs(const Volume& vol_ap, const Volume& vol_pa, const Volume& vdm,
                                           bool use_ic);

// The refined VDM (in voxels along y; AP is undistorted with +VDM, PA with -VDM). Level i
// uses localbox[i] (box extent and trial weights, odd extents), s_values[i] (trial
// corrections, increasing, not empty) and vdm_smoothing[i]. When the agreement after the
// initial estimate is not a number, the smoothed initial VDM returns with -99 at voxel
// (0, 0, 0).
Volume estimateVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, bool use_ssd,
                   const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values,
                   const std::vector<Sigma3>& vdm_smoothing, bool use_ic, std::ostream& log, int order,
                   VdmEstimateStatistics* statistics = nullptr);
