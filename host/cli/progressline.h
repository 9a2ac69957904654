// SPDX-License-Identifier: GPL-3.0-or-later
// Progress through the volumes of a long conversion, on standard error: on a terminal one
// line that counts up and is cleared at the end; elsewhere (a batch system's log) a line
// at each quarter of a run of 100 volumes or more, nothing for shorter ones.
#pragma once

#include <functional>
#include <string>

// A callback for (volumes done, volumes in all) that shows "LABEL: DONE/TOTAL volumes".
std::function<void(int, int)> volumeProgress(const std::string& label);
