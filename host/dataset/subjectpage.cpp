// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/subjectpage.h"

#include "dataset/htmltext.h"

namespace {

const nlohmann::json* recordOf(const std::vector<nlohmann::json>& records, const std::string& name)
{
    for (const nlohmann::json& record : records)
        if (record.value("name", "") == name) return &record;
    return nullptr;
}

std::string findingsList(const nlohmann::json& findings, const std::string& kind)
{
    std::string html = "<ul>\n";
    for (const nlohmann::json& finding : findings)
        html += "<li class=\"" + kind + "\">" + escapeHtml(finding.at("file").get<std::string>()) + ": " +
                escapeHtml(finding.at("reason").get<std::string>()) + "</li>\n";
    return html + "</ul>\n";
}

std::string itemSection(const nlohmann::json& item, const nlohmann::json* record)
{
    const std::string name = item.at("name").get<std::string>();
    const std::string state = item.at("state").get<std::string>();
    std::string html = "<h3>" + escapeHtml(name) + "</h3>\n<p>";
    html += state == "failed" ? "<span class=\"failed\">failed</span>" : escapeHtml(state == "skipped" ? "done before" : "done");
    html += " &middot; <a href=\"" + escapeHtml(item.at("log").get<std::string>()) + "\">log</a></p>\n";
    if (record == nullptr) return html;
    html += "<p>" + escapeHtml(record->value("method", "")) + "</p>\n<table>\n<tr><th>pair</th><th>phase encoding</th></tr>\n";
    for (const char* side : {"first", "second"})
        html += "<tr><td>" + escapeHtml(record->at(side).at("source").get<std::string>()) + "</td><td>" +
                escapeHtml(record->at(side).at("PhaseEncodingDirection").get<std::string>()) + "</td></tr>\n";
    html += "</table>\n<table>\n<tr><th>corrected run</th><th>why</th><th>output</th></tr>\n";
    for (const nlohmann::json& target : record->at("targets"))
        html += "<tr><td>" + escapeHtml(target.at("source").get<std::string>()) + "</td><td>" +
                escapeHtml(target.at("why").get<std::string>()) + (target.value("carried", false) ? " (field carried to its grid)" : "") +
                "</td><td><a href=\"" + escapeHtml(target.at("output").get<std::string>()) + "\">" +
                escapeHtml(target.at("output").get<std::string>()) + "</a></td></tr>\n";
    // Runs acquired in both directions and combined into one ("bids --combine").
    for (const nlohmann::json& run : record->value("combined", nlohmann::json::array())) {
        const std::string sources = run.at("sources").at(0).get<std::string>() + " + " +
                                    run.at("sources").at(1).get<std::string>();
        const std::string output = run.at("output").get<std::string>();
        html += "<tr><td>" + escapeHtml(sources) + "</td><td>" + escapeHtml(run.at("why").get<std::string>()) +
                "</td><td><a href=\"" + escapeHtml(output) + "\">" + escapeHtml(output) + "</a></td></tr>\n";
    }
    const nlohmann::json& agreement = record->at("Agreement");
    html += "</table>\n<table>\n<tr><th></th><th>correlation</th><th>mean squared difference</th></tr>\n";
    for (const char* when : {"Before", "After"})
        html += std::string("<tr><td>pair ") + (when[0] == 'B' ? "before" : "after") + "</td><td>" +
                fixed(agreement.at(when).at("Correlation").get<double>(), 4) + "</td><td>" +
                fixed(agreement.at(when).at("MeanSquaredDifference").get<double>(), 2) + "</td></tr>\n";
    html += "</table>\n<p>Field map: <a href=\"" + escapeHtml(record->at("fieldmap").get<std::string>()) + "\">" +
            escapeHtml(record->at("fieldmap").get<std::string>()) + "</a></p>\n";
    html += "<p><img src=\"" + escapeHtml(record->at("picture").get<std::string>()) + "\" alt=\"quality control of " +
            escapeHtml(name) + "\"></p>\n";
    return html;
}

}  // namespace

std::string subjectPageHtml(const nlohmann::json& summary, const std::vector<nlohmann::json>& records)
{
    const std::string subject = "sub-" + summary.at("subject").get<std::string>();
    std::string html = pageStart("VARNO distortion correction: " + subject);
    html += "<p><a href=\"index.html\">all subjects</a></p>\n";
    for (const nlohmann::json& session : summary.at("sessions")) {
        const std::string label = session.at("session").get<std::string>();
        if (!label.empty()) html += "<h2>Session " + escapeHtml(label) + "</h2>\n";
        html += "<p>Inputs:</p>\n<ul>\n";
        for (const nlohmann::json& input : session.at("inputs")) html += "<li>" + escapeHtml(input.get<std::string>()) + "</li>\n";
        html += "</ul>\n";
        for (const nlohmann::json& item : session.at("items"))
            html += itemSection(item, recordOf(records, item.at("name").get<std::string>()));
        if (!session.at("problems").empty()) html += "<p class=\"problem\">Not corrected:</p>\n" + findingsList(session.at("problems"), "problem");
        if (!session.at("notes").empty()) html += "<p>Left as they are:</p>\n" + findingsList(session.at("notes"), "note");
    }
    return html + pageEnd();
}
