// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/subjectsummary.h"

#include <filesystem>

#include "nifti/jsonfile.h"

std::string summaryPath(const std::string& subject)
{
    return "sub-" + subject + "/log/sub-" + subject + "_summary.json";
}

nlohmann::json summaryJson(const std::string& subject, const std::vector<SessionSummary>& sessions)
{
    nlohmann::json list = nlohmann::json::array();
    for (const SessionSummary& session : sessions) {
        const auto findings = [](const std::vector<DatasetFinding>& all) {
            nlohmann::json entries = nlohmann::json::array();
            for (const DatasetFinding& finding : all) entries.push_back({{"file", finding.file}, {"reason", finding.reason}});
            return entries;
        };
        nlohmann::json items = nlohmann::json::array();
        for (const ItemStatus& item : session.items)
            items.push_back({{"name", item.name}, {"state", item.state}, {"log", item.log}, {"record", item.record}});
        list.push_back({{"session", session.plan.session},
                        {"inputs", session.plan.inputs},
                        {"problems", findings(session.plan.problems)},
                        {"notes", findings(session.plan.notes)},
                        {"items", items}});
    }
    return {{"subject", subject}, {"sessions", list}};
}

std::vector<nlohmann::json> readRecords(const std::string& outputFolder, const nlohmann::json& summary)
{
    std::vector<nlohmann::json> records;
    for (const nlohmann::json& session : summary.at("sessions"))
        for (const nlohmann::json& item : session.at("items")) {
            try {
                records.push_back(readJsonFile(
                    (std::filesystem::path(outputFolder) / item.at("record").get<std::string>()).string(), "record"));
            } catch (const JsonFileError&) {
                // A record that is missing or cannot be read: its item did not finish.
            }
        }
    return records;
}
