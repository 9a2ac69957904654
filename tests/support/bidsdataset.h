// SPDX-License-Identifier: GPL-3.0-or-later
// A small BIDS dataset made from phantoms for the dataset runs: field-map pairs named by
// IntendedFor (relative and bids:: URI) and by B0FieldIdentifier, a subject with two
// sessions, a functional run on another grid than its pair, a diffusion pair without a
// field map, a subject whose field map lacks its phase-encoding direction and, when the
// shared scanner pair is there, that pair as a subject of its own.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/volume.h"
#include "phantom/phantom.h"

// An axis-aligned grid: voxel (i, j, k) lies at origin + (i, j, k) * voxel in world mm.
struct TestGrid {
    Dimensions extent;
    std::array<double, 3> voxel{3.0, 3.0, 3.0};
    std::array<double, 3> origin{};
};

// Writes float32 volumes with the grid as sform and qform.
void writeGridImage(const std::string& path, const TestGrid& grid, const std::vector<Volume>& volumes);
// Trilinear resampling through world coordinates; positions outside the source are 0.
Volume resampleToGrid(const Volume& source, const TestGrid& from, const TestGrid& to);

struct TestDataset {
    std::string root;
    TestGrid pairGrid;
    TestGrid otherGrid;        // sub-01's acq-coarse run
    double readoutTime = 0.05; // of the pairs on pairGrid
    PhantomVolumes subject01;  // the phantom of sub-01
    bool withScannerPair = false;
};

// The subjects: 01 (IntendedFor relative, runs on the pair's grid and on another), 02
// with ses-1 (B0FieldIdentifier, left-right) and ses-2 (bids:: URI), 03 (diffusion pair
// without field map), 04 (one field map without "PhaseEncodingDirection", and a good
// pair beside it), and "ge" (the shared scanner pair) when asked for and present.
TestDataset writeTestDataset(const std::string& root, bool withScannerPair);

// The shared scanner pair's folder (AP.nii.gz, PA.nii.gz and sidecars); empty when absent.
std::string scannerPairFolder();
