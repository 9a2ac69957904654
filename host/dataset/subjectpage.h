// SPDX-License-Identifier: GPL-3.0-or-later
// The plain per-subject page of a participant run, OUTPUT/sub-X.html: the inputs, what
// was paired with what and why, the agreement figures and pictures, and everything that
// could not be corrected.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// From the subject's summary and the records of its finished items. Paths on the page
// are relative to the output folder.
std::string subjectPageHtml(const nlohmann::json& summary, const std::vector<nlohmann::json>& records);
