// SPDX-License-Identifier: GPL-3.0-or-later
// The dataset-level page of the group run, OUTPUT/index.html: every subject with a link
// to its page, its items' agreement figures and pictures, failures and problems, and the
// items whose agreement after correction lies far below the dataset's median.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct SubjectResults {
    nlohmann::json summary;
    std::vector<nlohmann::json> records;
};

// Names of the items whose correlation after correction lies more than three robust
// standard deviations (1.4826 x the median absolute deviation, at least 0.01) below the
// median of all items with a pair's agreement (a gradient-echo field map has none); none
// with fewer than three such items.
std::set<std::string> outlierItems(const std::vector<nlohmann::json>& records);

std::string groupIndexHtml(const std::vector<SubjectResults>& subjects);
