// SPDX-License-Identifier: GPL-3.0-or-later
// A synthetic head-like object with a known, smooth displacement map and the two
// opposite phase-encoding acquisitions made from them, for the demo, the tests and the
// benchmarks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/volume.h"

struct PhantomOptions {
    Dimensions extent{64, 64, 30};
    std::array<double, 3> voxelSize{3.0, 3.0, 3.0}; // mm, written to the headers
    double peakDisplacement = 4.0;                  // largest |displacement| in voxels
    bool leftRight = false;                         // phase encoding along x instead of y
    int volumes = 1;
    bool diffusion = false; // DMR/DWI projects instead of FMR/STC
    bool floatData = false; // float voxels instead of int16
    double noise = 0.0;     // standard deviation of the Rician-like noise; 0 for none
    // Echo time in ms of a gradient-echo acquisition; 0 for spin echo, which keeps the
    // signal of every point. With gradient echo, signal is lost where the field varies:
    // the echo of a point moves to TE / (1 + s d') (s = +1 first, -1 second acquisition, d'
    // the slope of the map along the phase encoding) and decays with T2* meanwhile, and
    // the field's change across the slice dephases it.
    double gradientEchoMs = 0.0;
    std::uint32_t seed = 1;
};

// The gradient-echo model's constants: T2* of the object and the total readout time,
// which turns displacements in voxels into the field in Hz (d = field * readout time).
constexpr double kPhantomT2StarMs = 45.0;
constexpr double kPhantomReadoutMs = 40.0;

// The factor that the gradient-echo model applies to a point's signal in the acquisition
// of polarity sign, given the map's slope along the phase encoding and across slices
// (voxels per voxel and per slice).
double gradientEchoSignal(double echoMs, double sign, double slope, double sliceSlope);

// All volumes in the stored orientation. The map holds displacements in voxels along the
// phase-encoding axis (y, or x for left-right data): the first acquisition is restored by
// the correction with +map, the second with -map, up to the intensity factor 1/(1 + d')
// and 1/(1 - d') of the stretch (d' the derivative of the map along that axis).
struct PhantomVolumes {
    Volume truth;
    Volume displacement;
    std::vector<Volume> first;
    std::vector<Volume> second;
    double largestSlope = 0.0; // largest |d'| over the grid
};

// Throws std::invalid_argument for options that cannot give a phantom.
void validatePhantomOptions(const PhantomOptions& options);
PhantomVolumes makePhantom(const PhantomOptions& options);

// How well a map (stored orientation, like the phantom's) follows the true map over the
// object, the voxels where the truth is above 100: correlation, RMS error and RMS of the
// true map, both in voxels.
struct MapAgreement {
    double correlation = 0.0;
    double rmsError = 0.0;
    double rmsTrue = 0.0;
};
MapAgreement compareWithTrueMap(const PhantomVolumes& phantom, const Volume& map);

// The voxels where the undistorted object (the truth) has signal, in storage order.
std::vector<VoxelIndex> phantomObjectVoxels(const Volume& truth);

// Paths of what writePhantom wrote.
struct PhantomFiles {
    std::string first;   // corrected with +map: "AP" (or "LR" for left-right encoding)
    std::string second;  // corrected with -map: "PA" (or "RL")
    std::string truth;   // the undistorted object, one volume without noise
    std::string map;     // the true map, "true_vdm.map"
    std::string summary; // "phantom.txt"
};

// Makes the phantom and writes it into the directory (created when missing): the two
// acquisitions and the truth as projects (.fmr/.stc or .dmr/.dwi), the true map as a
// .map file and a short text summary. Throws std::invalid_argument for bad options and
// the file errors when something cannot be written.
PhantomFiles writePhantom(const std::string& directory, const PhantomOptions& options);
