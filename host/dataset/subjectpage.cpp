// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/subjectpage.h"

#include "dataset/htmltext.h"
#include "report/reportpage.h"

namespace {

const nlohmann::json* recordOf(const std::vector<nlohmann::json>& records, const std::string& name)
{
    for (const nlohmann::json& record : records)
        if (record.value("name", "") == name) return &record;
    return nullptr;
}

std::string text(const nlohmann::json& value, const std::string& key)
{
    const auto entry = value.find(key);
    return entry != value.end() && entry->is_string() ? entry->get<std::string>() : std::string();
}

std::string findingsList(const nlohmann::json& findings, const std::string& kind)
{
    std::string html = "<ul>\n";
    for (const nlohmann::json& finding : findings)
        html += "<li class=\"" + kind + "\">" + escapeHtml(text(finding, "file")) + ": " +
                escapeHtml(text(finding, "reason")) + "</li>\n";
    return html + "</ul>\n";
}

std::string link(const std::string& path)
{
    return "<a href=\"" + escapeHtml(path) + "\">" + escapeHtml(path) + "</a>";
}

// The headline figures of an item: the pair's agreement, or the field's range and check.
std::vector<ReportFact> itemFacts(const nlohmann::json& record)
{
    std::vector<ReportFact> facts;
    if (record.contains("Agreement")) {
        const nlohmann::json& agreement = record.at("Agreement");
        facts.push_back({"correlation", "Correlation of the pair",
                         fixed(agreement.at("Before").at("Correlation").get<double>(), 4) + " \u2192 " +
                             fixed(agreement.at("After").at("Correlation").get<double>(), 4),
                         "before and after"});
        facts.push_back({"mean-squared-difference", "Mean squared difference",
                         fixed(agreement.at("Before").at("MeanSquaredDifference").get<double>(), 1) + " \u2192 " +
                             fixed(agreement.at("After").at("MeanSquaredDifference").get<double>(), 1),
                         ""});
    }
    for (const nlohmann::json& fact : record.value("Field", nlohmann::json::array()))
        facts.push_back({text(fact, "key"), text(fact, "label"), text(fact, "value"), text(fact, "detail")});
    facts.push_back({"runs", "Runs corrected", std::to_string(record.at("targets").size()),
                     record.value("refused", nlohmann::json::array()).empty()
                         ? ""
                         : std::to_string(record.at("refused").size()) + " refused"});
    return facts;
}

// The images that made the field map, and the runs it corrected with why.
std::string itemTables(const nlohmann::json& record)
{
    ReportTable images{{"field map", "image", "phase encoding"}, {}};
    if (record.contains("fieldMapImages")) {
        for (const nlohmann::json& image : record.at("fieldMapImages"))
            images.rows.push_back({text(image, "role"), text(image, "source"), ""});
    } else {
        for (const char* side : {"first", "second"})
            images.rows.push_back({"epi", text(record.at(side), "source"), text(record.at(side), "PhaseEncodingDirection")});
    }
    std::string html = reportTableHtml(images);
    html += "<table>\n<tr><th>corrected run</th><th>why</th><th>output</th></tr>\n";
    for (const nlohmann::json& target : record.at("targets"))
        html += "<tr><td>" + escapeHtml(text(target, "source")) + "</td><td>" + escapeHtml(text(target, "why")) +
                (target.value("carried", false) ? " (field carried to its grid)" : "") + "</td><td>" +
                link(text(target, "output")) + "</td></tr>\n";
    // Runs acquired in both directions and combined into one ("bids --combine").
    for (const nlohmann::json& run : record.value("combined", nlohmann::json::array()))
        html += "<tr><td>" + escapeHtml(run.at("sources").at(0).get<std::string>() + " + " +
                                        run.at("sources").at(1).get<std::string>()) +
                "</td><td>" + escapeHtml(text(run, "why")) + "</td><td>" + link(text(run, "output")) + "</td></tr>\n";
    html += "</table>\n<p>Field map: " + link(text(record, "fieldmap")) + "</p>\n";
    return html;
}

std::string itemFigures(const nlohmann::json& record, const std::string& name, int& flickers)
{
    const bool pair = record.contains("Agreement");
    std::string html = reportFigureHtml(
        {pair ? "The pair" : "Field",
         pair ? "The pair before and after the correction, their difference and the field."
              : "The field in Hz over its magnitude, inside the head's mask.",
         {{"", "image/png", "", 0, 0, "quality control of " + name, text(record, "picture")}}},
        flickers);
    for (const nlohmann::json& target : record.at("targets")) {
        if (!target.contains("beforePicture")) continue;
        const std::string source = text(target, "source");
        const int width = target.value("pictureWidth", 0);
        const int height = target.value("pictureHeight", 0);
        html += reportFigureHtml(
            {source + " before and after",
             "Its first volume (phase encoding " + text(target, "PhaseEncodingDirection") +
                 ") before and after the correction, shown in turn, above the field carried into its grid. " +
                 text(target, "why") + ".",
             {{"before", "image/svg+xml", "", width, height, source + " before the correction", text(target, "beforePicture")},
              {"after", "image/svg+xml", "", width, height, source + " after the correction", text(target, "afterPicture")}}},
            flickers);
    }
    return html;
}

std::string itemSection(const nlohmann::json& item, const nlohmann::json* record, int& flickers)
{
    const std::string name = text(item, "name");
    const std::string state = text(item, "state");
    std::string html = "<section>\n<h3>" + escapeHtml(name) + "</h3>\n<p>";
    html += state == "failed" ? "<span class=\"failed\">failed</span>" : escapeHtml(state == "skipped" ? "done before" : "done");
    html += " &middot; <a href=\"" + escapeHtml(text(item, "log")) + "\">log</a></p>\n";
    if (record == nullptr) return html + "</section>\n";
    html += "<p>" + escapeHtml(text(*record, "method")) + "</p>\n";
    html += reportTilesHtml(itemFacts(*record));
    html += itemFigures(*record, name, flickers);
    html += itemTables(*record);
    const nlohmann::json refused = record->value("refused", nlohmann::json::array());
    if (!refused.empty()) {
        html += "<p class=\"problem\">Refused:</p>\n<ul>\n";
        for (const nlohmann::json& run : refused)
            html += "<li class=\"problem\">" + escapeHtml(text(run, "reason")) + " (" + escapeHtml(text(run, "why")) + ")</li>\n";
        html += "</ul>\n";
    }
    return html + "</section>\n";
}

}  // namespace

std::string subjectPageHtml(const nlohmann::json& summary, const std::vector<nlohmann::json>& records)
{
    const std::string subject = "sub-" + summary.at("subject").get<std::string>();
    std::string html = reportPageStart("VARNO distortion correction: " + subject,
                                       "mindaro bids, participant level; every work item of the subject", {2});
    html += "<p><a href=\"index.html\">all subjects</a></p>\n";
    int flickers = 0;
    for (const nlohmann::json& session : summary.at("sessions")) {
        const std::string label = text(session, "session");
        html += "<h2>" + (label.empty() ? std::string("Work items") : "Session " + escapeHtml(label)) + "</h2>\n";
        for (const nlohmann::json& item : session.at("items"))
            html += itemSection(item, recordOf(records, text(item, "name")), flickers);
        if (!session.at("problems").empty())
            html += "<p class=\"problem\">Not corrected:</p>\n" + findingsList(session.at("problems"), "problem");
        if (!session.at("notes").empty())
            html += "<p>Left as they are, and field maps not used:</p>\n" + findingsList(session.at("notes"), "note");
        ReportTable inputs{{"inputs"}, {}};
        for (const nlohmann::json& input : session.at("inputs")) inputs.rows.push_back({input.get<std::string>()});
        html += reportTableHtml(inputs);
    }
    return html + reportPageEnd();
}
