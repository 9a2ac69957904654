// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/groupindex.h"

#include <algorithm>
#include <cmath>

#include "dataset/htmltext.h"

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double correlationAfter(const nlohmann::json& record)
{
    return record.at("Agreement").at("After").at("Correlation").get<double>();
}

}  // namespace

std::set<std::string> outlierItems(const std::vector<nlohmann::json>& all)
{
    std::vector<nlohmann::json> records;
    for (const nlohmann::json& record : all)
        if (record.contains("Agreement")) records.push_back(record);
    std::set<std::string> outliers;
    if (records.size() < 3) return outliers;
    std::vector<double> values;
    for (const nlohmann::json& record : records) values.push_back(correlationAfter(record));
    const double centre = median(values);
    std::vector<double> deviations;
    for (const double value : values) deviations.push_back(std::abs(value - centre));
    const double spread = std::max(1.4826 * median(deviations), 0.01);
    for (const nlohmann::json& record : records)
        if (correlationAfter(record) < centre - 3.0 * spread) outliers.insert(record.at("name").get<std::string>());
    return outliers;
}

std::string groupIndexHtml(const std::vector<SubjectResults>& subjects)
{
    std::vector<nlohmann::json> all;
    for (const SubjectResults& subject : subjects) all.insert(all.end(), subject.records.begin(), subject.records.end());
    const std::set<std::string> outliers = outlierItems(all);
    std::string html = pageStart("VARNO distortion correction: all subjects");
    html += "<p>" + std::to_string(subjects.size()) + " subjects, " + std::to_string(all.size()) + " corrected field maps, " +
            std::to_string(outliers.size()) + " outliers (correlation after correction far below the median of all pairs).</p>\n";
    html += "<table>\n<tr><th>subject</th><th>item</th><th>correlation before</th><th>correlation after</th>"
            "<th>runs corrected</th><th>picture</th></tr>\n";
    for (const SubjectResults& subject : subjects) {
        const std::string label = "sub-" + subject.summary.at("subject").get<std::string>();
        const std::string link = "<a href=\"" + escapeHtml(label) + ".html\">" + escapeHtml(label) + "</a>";
        for (const nlohmann::json& session : subject.summary.at("sessions")) {
            for (const nlohmann::json& item : session.at("items")) {
                const std::string name = item.at("name").get<std::string>();
                const auto record = std::find_if(subject.records.begin(), subject.records.end(),
                                                 [&](const nlohmann::json& r) { return r.value("name", "") == name; });
                html += "<tr><td>" + link + "</td><td>" + escapeHtml(name);
                if (record == subject.records.end()) {
                    html += " <span class=\"failed\">failed</span> (<a href=\"" + escapeHtml(item.at("log").get<std::string>()) +
                            "\">log</a>)</td><td></td><td></td><td></td><td></td></tr>\n";
                    continue;
                }
                const bool outlier = outliers.count(name) != 0;
                const bool pair = record->contains("Agreement");
                html += std::string(outlier ? " <span class=\"outlier\">outlier</span>" : "") + "</td><td>" +
                        (pair ? fixed(record->at("Agreement").at("Before").at("Correlation").get<double>(), 4) : "") +
                        "</td><td" + (outlier ? " class=\"outlier\"" : "") + ">" +
                        (pair ? fixed(correlationAfter(*record), 4) : "field map, no pair") + "</td><td>" +
                        std::to_string(record->at("targets").size()) + "</td><td><a href=\"" +
                        escapeHtml(record->at("picture").get<std::string>()) + "\"><img src=\"" +
                        escapeHtml(record->at("picture").get<std::string>()) + "\" alt=\"" + escapeHtml(name) +
                        "\" width=\"240\"></a></td></tr>\n";
            }
            for (const nlohmann::json& finding : session.at("problems"))
                html += "<tr><td>" + link + "</td><td colspan=\"5\" class=\"problem\">" +
                        escapeHtml(finding.at("file").get<std::string>()) + ": " +
                        escapeHtml(finding.at("reason").get<std::string>()) + "</td></tr>\n";
        }
    }
    return html + "</table>\n" + pageEnd();
}
