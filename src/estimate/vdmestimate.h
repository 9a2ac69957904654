// SPDX-License-Identifier: GPL-3.0-or-later
// The full estimate of a voxel displacement map: the column-wise estimate, smoothed, then
// refined level by level with uniform trial corrections in a box around every voxel with
// signal, a signal-weighted smoothing and a repair of folds after each level.
#pragma once

#include <array>
#include <cstddef>
#include <ostream>
#include <utility>
#include <vector>

#include "core/volume.h"
#include "core/volumegauss.h"

// Counts that a run of estimateVdm can hand back for profiling; one entry per level.
struct VdmEstimateStatistics {
    std::vector<std::size_t> visitedPerLevel;
    std::vector<double> sweepSeconds;
};

// The multi-level schedule of the full estimate: one box kernel, one list of trial
// corrections and one set of smoothing deviations per level.
struct EstimationSchedule {
    std::vector<Volume> localbox;
    std::vector<std::vector<float>> s_values;
    std::vector<Sigma3> vdm_smoothing;
    // Each level's map smoothed axis by axis (maskedSmoothSeparable): the same Gaussian up
    // to rounding, with 27 terms per voxel instead of 729. The standard estimate keeps the
    // three-dimensional kernel, whose bits its maps hold.
    bool separableSmoothing = false;
};

// The four levels, coarse to fine, for voxel sizes (x, y, z) with y along the phase
// encoding: boxes of 7, 7, 5, 5 voxels filled with 1, trial steps of 1, 0.8, 0.3 and
// 0.15 voxels, smoothing of 20, 12, 6 and 2 over the square root of the voxel size.
EstimationSchedule standardEstimationSchedule(const std::array<double, 3>& voxelSize);

// The box of the kernel's extent around (x, y, z), clipped at the volume's border, walked
// z, y, x; kernelVoxels gets the kernel position of every box voxel, aligned with the
// centre. Both lists are replaced.
void localBox(int x, int y, int z, Dimensions kernel, Dimensions volume, std::vector<VoxelIndex>& boxVoxels,
              std::vector<VoxelIndex>& kernelVoxels);

// Index of the first smallest value; a NaN is never taken, and one in first place is
// never replaced.
std::size_t bestTrial(const std::vector<double>& values);

// The sources that the two volumes are resampled from: copies of the inputs, or, with
// use_ic, the inputs times the intensity weights of the inverted VDM.
std::pair<Volume, Volume> estimationInputs(const Volume& vol_ap, const Volume& vol_pa, const Volume& vdm, bool use_ic);

// The refined VDM (in voxels along y; AP is undistorted with +VDM, PA with -VDM). Level i
// uses localbox[i] (box extent and trial weights, odd extents), s_values[i] (trial
// corrections, increasing, not empty) and vdm_smoothing[i]. When the agreement after the
// initial estimate is not a number, the smoothed initial VDM returns with -99 at voxel
// (0, 0, 0). With separableSmoothing each level's map is smoothed axis by axis.
Volume estimateVdm(const Volume& vol_ap, const Volume& vol_pa, const Sigma3& sigma, bool use_ssd,
                   const std::vector<Volume>& localbox, const std::vector<std::vector<float>>& s_values,
                   const std::vector<Sigma3>& vdm_smoothing, bool use_ic, std::ostream& log, int order,
                   VdmEstimateStatistics* statistics = nullptr, bool separableSmoothing = false);

// start refined by levels firstLevel.. of the schedule, as estimateVdm refines its initial
// estimate, the same bits without its log.
Volume refineVdm(const Volume& vol_ap, const Volume& vol_pa, Volume start, bool use_ssd,
                 const EstimationSchedule& schedule, std::size_t firstLevel, bool use_ic);
