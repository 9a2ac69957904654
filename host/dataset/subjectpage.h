// SPDX-License-Identifier: GPL-3.0-or-later
// The per-subject page of a participant run, OUTPUT/sub-X.html, in the look of the report
// page of "correct": per work item its field map (a pair or a gradient-echo field map),
// what it corrected and why, its figures, and every corrected run before and after (a
// flicker) beside its field; then everything that could not be corrected or was not used,
// and the session's inputs.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// From the subject's summary and the records of its finished items. Paths on the page
// are relative to the output folder.
std::string subjectPageHtml(const nlohmann::json& summary, const std::vector<nlohmann::json>& records);
