// SPDX-License-Identifier: GPL-3.0-or-later
// Carrying out one work item in this process: the pair's images averaged over their
// volumes (or the field of a gradient-echo field map built), the correction of "mindaro
// correct" in a work folder below the output folder, and the results renamed into their
// BIDS Derivatives names, the record last.
#pragma once

#include <string>

#include "commands/estimatechoices.h"
#include "correction/fieldmapbuild.h"
#include "dataset/workitem.h"
#include "report/orientation.h"

// What "bids" hands on to every item.
struct ItemSettings {
    EstimateChoices choices;
    double fieldSmoothingMm = kDefaultFieldSmoothingMm;
    LeftRightConvention convention = LeftRightConvention::Radiological;
};

// The work folder of an item: OUTPUT/.work/NAME.HOST-PID.
std::string workFolderOf(const WorkItem& item);

// Returns the exit status: 0 done, else that of the plug-in task that failed. Throws
// for anything that stops the item; the work folder is kept then, for a look.
int runWorkItem(const WorkItem& item, const ItemSettings& settings);
