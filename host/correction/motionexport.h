// SPDX-License-Identifier: GPL-3.0-or-later
// The head's motion that an estimate with --motion wrote beside the pair's projects,
// exported beside the corrected images: motion_ap.tsv and motion_pa.tsv with a JSON
// sidecar each, and one line per volume on the terminal.
#pragma once

#include <string>
#include <vector>

#include "correction/correction.h"

// Nothing when the estimate wrote no motion files.
void exportMotion(const Correction& correction, std::vector<std::string>& written);
