// SPDX-License-Identifier: GPL-3.0-or-later
// The group level of a dataset run: OUTPUT/index.html from the summaries and records
// that the participant runs left.
#pragma once

#include <string>

// Returns the exit status: 0, or 1 when no participant run has left a summary. Prints
// where the page is and the outliers.
int runGroupLevel(const std::string& outputFolder);
