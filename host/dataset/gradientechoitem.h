// SPDX-License-Identifier: GPL-3.0-or-later
// A work item whose field map is a gradient-echo one (a phase difference, two phases or a
// field map): the field built in the work folder, every run it names corrected with it
// (a run too little of whose head lies on the field map is refused and recorded, the
// others go on), and the results renamed into their BIDS Derivatives names, the record
// last.
#pragma once

#include "dataset/itemrunner.h"

// The exit status: 0 done, else that of the plug-in task that failed. Throws for anything
// that stops the item (the field cannot be built, a run cannot be read).
int runGradientEchoItem(const WorkItem& item, const ItemSettings& settings);
