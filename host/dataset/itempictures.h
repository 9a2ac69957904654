// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures a work item leaves of every run it corrected: its first volume before and
// after the correction beside its field, as SVG under the target's names.
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "correction/runreport.h"
#include "dataset/workitem.h"

// Writes the two pictures into the work folder and moves them into place below out;
// returns what the item's record keeps of them (their names and size).
nlohmann::json placeRunPictures(const ItemTarget& target, const CorrectionRun& run, const CorrectedRun& result,
                                LeftRightConvention convention, const std::filesystem::path& work,
                                const std::filesystem::path& out);
