// SPDX-License-Identifier: GPL-3.0-or-later
// What a participant run leaves per subject besides the derivatives, for its page and for
// the group level: OUTPUT/sub-X/log/sub-X_summary.json with every session's inputs,
// problems, notes and work items.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dataset/discovery.h"

struct ItemStatus {
    std::string name;
    std::string state;  // "done", "skipped" (done before), "failed"
    std::string log;    // below the output folder
    std::string record; // below the output folder
};

struct SessionSummary {
    SessionPlan plan;
    std::vector<ItemStatus> items;
};

// "sub-01/log/sub-01_summary.json"
std::string summaryPath(const std::string& subject);
nlohmann::json summaryJson(const std::string& subject, const std::vector<SessionSummary>& sessions);

// Every record of the subject's finished items, read from the output folder; items
// without a readable record are left out.
std::vector<nlohmann::json> readRecords(const std::string& outputFolder, const nlohmann::json& summary);
