// SPDX-License-Identifier: GPL-3.0-or-later
// A BIDS dataset of one subject with every kind of field map beside a pair of opposite
// phase-encoding acquisitions, for discovery, the dataset runs and the BIDS validator:
//   acq-diff   phase difference (scanner units) with two magnitudes, B0FieldIdentifier
//              "gre", IntendedFor task-a and task-d
//   acq-two    two phases with two magnitudes, IntendedFor task-b
//   acq-direct field map in rad/s with its magnitude, IntendedFor task-c and task-g (whose
//              grid lies 70 mm to the side: most of its head is off the field map)
//   dir-AP/PA  a pair, IntendedFor task-d and task-e
//   acq-nobody a field map that no run names
//   acq-lonely a magnitude alone
//   acq-broken a phase difference without "EchoTime2", IntendedFor task-f
// task-e's "B0FieldSource" is "gre". The runs' readout times come from "TotalReadoutTime"
// (task-a, d, e, f, g), the echo spacing times "ReconMatrixPE" (task-b) and times the rows
// (task-c).
#pragma once

#include <string>

#include "support/fieldmapphantom.h"

struct FieldMapDataset {
    std::string root;
    FieldMapPhantom phantom;  // its runs' grid and field; the runs themselves lie in root
};

FieldMapDataset writeFieldMapDataset(const std::string& root);

// The run of the dataset named task-LETTER, below root.
std::string fieldMapDatasetRun(const std::string& letter);
