// SPDX-License-Identifier: GPL-3.0-or-later
// Carrying out one work item in this process: the pair's images averaged over their
// volumes, the correction of "mindaro correct" in a work folder below the output
// folder, and the results renamed into their BIDS Derivatives names, the record last.
#pragma once

#include <string>

#include "commands/estimatechoices.h"
#include "dataset/workitem.h"

// The work folder of an item: OUTPUT/.work/NAME.HOST-PID.
std::string workFolderOf(const WorkItem& item);

// Returns the exit status: 0 done, else that of the plug-in task that failed. Throws
// for anything that stops the item; the work folder is kept then, for a look.
int runWorkItem(const WorkItem& item, const EstimateChoices& choices);
