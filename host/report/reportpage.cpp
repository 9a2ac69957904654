// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/reportpage.h"

#include <algorithm>
#include <sstream>

#include "core/version.h"
#include "report/drawing.h"

namespace {

const char* const kStyle = R"(
:root { --ink: #1c1d22; --dim: #5d606b; --line: #dcdee4; --card: #ffffff; --page: #f2f3f6; --dark: #111115; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--page); color: var(--ink);
       font: 15px/1.45 "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; }
main { max-width: 1240px; margin: 0 auto; padding: 26px 24px 40px; }
h1 { font-size: 25px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 30px 0 10px; }
h3 { font-size: 15px; margin: 18px 0 8px; color: var(--dim); }
.subtitle { color: var(--dim); margin: 0 0 20px; overflow-wrap: anywhere; }
.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(165px, 1fr)); gap: 10px; margin: 0 0 6px; }
.tile { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: 9px 12px; }
.tile .label { color: var(--dim); font-size: 13px; }
.tile .value { font-size: 16.5px; font-weight: bold; }
.tile .detail { color: var(--dim); font-size: 13px; }
figure { margin: 0 0 18px; background: var(--dark); border-radius: 8px; overflow: hidden; }
figure .picture { overflow-x: auto; }
figure img { display: block; max-width: none; }
figcaption { background: var(--card); border: 1px solid var(--line); border-top: 0; border-radius: 0 0 8px 8px;
             padding: 9px 14px; font-size: 14px; }
.frames { display: grid; }
.frames img { grid-area: 1 / 1; position: relative; z-index: 0; }
.frames img.frame-0 { z-index: 1; }
.flicker { color: #c9cad2; font-size: 13px; }
.flicker input { position: absolute; opacity: 0; width: 1px; height: 1px; }
.flicker label { display: inline-block; padding: 2px 11px; margin: 9px 0 0 8px; border: 1px solid #55576a;
                 border-radius: 14px; cursor: pointer; }
.flicker input:checked + label { background: #e8e8ee; color: #111115; border-color: #e8e8ee; }
.flicker input:focus-visible + label { outline: 2px solid #7aa7ff; }
table { border-collapse: collapse; background: var(--card); border: 1px solid var(--line); margin: 0 0 12px; }
th, td { text-align: left; padding: 6px 12px; border-bottom: 1px solid var(--line); vertical-align: top;
         overflow-wrap: anywhere; }
th { background: #e9eaef; font-weight: bold; font-size: 14px; }
.runs { display: flex; flex-wrap: wrap; gap: 16px; }
ul.outputs { columns: 2; padding-left: 20px; }
footer { color: var(--dim); font-size: 13px; margin-top: 30px; border-top: 1px solid var(--line); padding-top: 10px; }
.failed, .problem { color: #b3261e; font-weight: bold; }
.note { color: var(--dim); }
)";

std::string base64(const std::string& bytes)
{
    static const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const unsigned a = static_cast<unsigned char>(bytes[i]);
        const unsigned b = left > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
        const unsigned c = left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0u;
        const unsigned triple = (a << 16) | (b << 8) | c;
        text += alphabet[(triple >> 18) & 63];
        text += alphabet[(triple >> 12) & 63];
        text += left > 1 ? alphabet[(triple >> 6) & 63] : '=';
        text += left > 2 ? alphabet[triple & 63] : '=';
    }
    return text;
}

// Every byte but letters, digits, "-._~" and the ones kept percent-encoded.
std::string percentEncoded(const std::string& text, const std::string& kept)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string url;
    url.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alphanumeric || c == '-' || c == '_' || c == '.' || c == '~' || kept.find(c) != std::string::npos) {
            url += c;
        } else {
            url += '%';
            url += hex[byte >> 4];
            url += hex[byte & 15];
        }
    }
    return url;
}

// Keyframes that bring a frame to the top during the first 1/n of the cycle, for n frames.
// The frames are opaque and of one size: every frame stays painted and decoded, the top one
// covers the others.
std::string flickerKeyframes(std::size_t n)
{
    std::ostringstream css;
    css << "@keyframes flicker-" << n << " { 0% { z-index: 1; } " << 100.0 / static_cast<double>(n)
        << "% { z-index: 0; } 100% { z-index: 0; } }\n";
    return css.str();
}

// Per frame count: the animation of each frame, and what the buttons select.
std::string flickerStyle(const std::vector<std::size_t>& frameCounts)
{
    constexpr double kSecondsPerFrame = 1.0;
    std::ostringstream css;
    std::size_t most = 0;
    for (std::size_t n : frameCounts) {
        css << flickerKeyframes(n);
        for (std::size_t k = 0; k < n; ++k)
            css << ".frames-" << n << " img.frame-" << k << " { animation: flicker-" << n << ' '
                << kSecondsPerFrame * static_cast<double>(n) << "s step-end infinite; animation-delay: -"
                << kSecondsPerFrame * static_cast<double>(k) << "s; }\n";
        most = std::max(most, n);
    }
    for (std::size_t k = 0; k < most; ++k)
        css << ".flicker input.pick-" << k << ":checked ~ .frames img { animation: none; z-index: 0; }\n"
            << ".flicker input.pick-" << k << ":checked ~ .frames img.frame-" << k << " { z-index: 1; }\n";
    css << "@media (prefers-reduced-motion: reduce) { .frames img { animation: none !important; } }\n";
    return css.str();
}

// SVG goes in as text, percent-encoded where it must be (a fifth smaller than base64 for
// the pictures' SVG, which is mostly base64 already); other pictures as base64.
std::string dataUrl(const ReportImage& image)
{
    if (image.mediaType == "image/svg+xml") return "data:image/svg+xml," + percentEncoded(image.bytes, "/+=:;,()!*@$'");
    return "data:" + image.mediaType + ";base64," + base64(image.bytes);
}

void image(std::ostream& html, const ReportImage& frame, const std::string& extraClass)
{
    const std::string source = frame.bytes.empty() && !frame.link.empty() ? percentEncoded(frame.link, "/") : dataUrl(frame);
    html << "<img" << (extraClass.empty() ? "" : " class=\"" + extraClass + "\"") << " src=\"" << source << "\"";
    if (frame.width > 0 && frame.height > 0) html << " width=\"" << frame.width << "\" height=\"" << frame.height << "\"";
    html << " alt=\"" << escapeHtml(frame.description) << "\">";
}

void figure(std::ostream& html, const ReportFigure& f, int& flickers)
{
    html << "<figure>\n";
    if (f.frames.size() == 1) {
        html << "<div class=\"picture\">";
        image(html, f.frames.front(), "");
        html << "</div>\n";
    } else if (!f.frames.empty()) {
        const std::string name = "figure-" + std::to_string(++flickers);
        html << "<div class=\"picture flicker\">\n";
        const auto button = [&](const std::string& id, const std::string& cls, const std::string& text, bool checked) {
            html << "<input type=\"radio\" name=\"" << name << "\" id=\"" << id << "\" class=\"" << cls << "\""
                 << (checked ? " checked" : "") << "><label for=\"" << id << "\">" << escapeHtml(text) << "</label>\n";
        };
        button(name + "-all", "pick-all", "alternate", true);
        for (std::size_t k = 0; k < f.frames.size(); ++k)
            button(name + "-" + std::to_string(k), "pick-" + std::to_string(k), f.frames[k].label, false);
        html << "<div class=\"frames frames-" << f.frames.size() << "\">\n";
        for (std::size_t k = 0; k < f.frames.size(); ++k) {
            image(html, f.frames[k], "frame-" + std::to_string(k));
            html << "\n";
        }
        html << "</div></div>\n";
    }
    html << "<figcaption><strong>" << escapeHtml(f.title) << ".</strong> " << escapeHtml(f.caption)
         << "</figcaption>\n</figure>\n";
}

void tiles(std::ostream& html, const std::vector<ReportFact>& facts)
{
    html << "<div class=\"tiles\">\n";
    for (const ReportFact& fact : facts) {
        html << "<div class=\"tile\"><div class=\"label\">" << escapeHtml(fact.label) << "</div><div class=\"value\""
             << (fact.key.empty() ? "" : " data-key=\"" + escapeHtml(fact.key) + "\"") << ">" << escapeHtml(fact.value)
             << "</div>";
        if (!fact.detail.empty())
            html << "<div class=\"detail\""
                 << (fact.key.empty() ? "" : " data-key=\"" + escapeHtml(fact.key) + "-detail\"") << ">"
                 << escapeHtml(fact.detail) << "</div>";
        html << "</div>\n";
    }
    html << "</div>\n";
}

// A span carrying the fact's key, for scripts that read the page; plain text without one.
std::string keyed(const std::string& key, const std::string& text)
{
    if (key.empty()) return escapeHtml(text);
    return "<span data-key=\"" + escapeHtml(key) + "\">" + escapeHtml(text) + "</span>";
}

void factTable(std::ostream& html, const std::vector<ReportFact>& facts)
{
    html << "<table>\n";
    for (const ReportFact& fact : facts) {
        html << "<tr><th scope=\"row\">" << escapeHtml(fact.label) << "</th><td>" << keyed(fact.key, fact.value);
        if (!fact.detail.empty())
            html << " <span class=\"detail\">(" << keyed(fact.key.empty() ? "" : fact.key + "-detail", fact.detail)
                 << ")</span>";
        html << "</td></tr>\n";
    }
    html << "</table>\n";
}

void table(std::ostream& html, const ReportTable& t)
{
    html << "<table>\n<tr>";
    for (const std::string& cell : t.header) html << "<th scope=\"col\">" << escapeHtml(cell) << "</th>";
    html << "</tr>\n";
    for (const auto& row : t.rows) {
        html << "<tr>";
        for (const std::string& cell : row) html << "<td>" << escapeHtml(cell) << "</td>";
        html << "</tr>\n";
    }
    html << "</table>\n";
}

}  // namespace

std::string escapeHtml(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string madeWith()
{
    return std::string("Made with VARNO ") + kVarnoVersion + ", free software under " + kVarnoLicence + ".";
}

std::string renderReportPage(const ReportPage& page)
{
    std::vector<std::size_t> frameCounts;
    for (const ReportRun& run : page.runs)
        for (const ReportFigure& f : run.figures) {
            const std::size_t n = f.frames.size();
            if (n > 1 && std::find(frameCounts.begin(), frameCounts.end(), n) == frameCounts.end()) frameCounts.push_back(n);
        }
    const bool several = page.runs.size() > 1;

    std::ostringstream html;
    html << reportPageStart(page.title, page.subtitle, frameCounts);

    html << "<section aria-label=\"Results\">\n";
    for (const ReportRun& run : page.runs) {
        if (several) html << "<h3>" << escapeHtml(run.method) << "</h3>\n";
        tiles(html, run.results);
    }
    html << "</section>\n";

    int flickers = 0;
    for (const ReportRun& run : page.runs) {
        html << "<section>\n<h2>Pictures" << (several ? ": " + escapeHtml(run.method) : std::string()) << "</h2>\n";
        for (const ReportFigure& f : run.figures) figure(html, f, flickers);
        html << "</section>\n";
    }

    html << "<section>\n<h2>Inputs</h2>\n";
    table(html, page.inputs);
    if (!page.acquisition.empty()) factTable(html, page.acquisition);
    html << "</section>\n";

    html << "<section>\n<h2>Method and settings</h2>\n<div class=\"runs\">\n";
    for (const ReportRun& run : page.runs) {
        html << "<div>\n";
        std::vector<ReportFact> facts{{"method", "Method", run.method, ""}};
        facts.insert(facts.end(), run.settings.begin(), run.settings.end());
        factTable(html, facts);
        html << "</div>\n";
    }
    html << "</div>\n</section>\n";

    if (!page.outputs.empty()) {
        html << "<section>\n<h2>Outputs</h2>\n<ul class=\"outputs\">\n";
        for (const std::string& output : page.outputs)
            html << "<li><a href=\"" << escapeHtml(percentEncoded(output, "/")) << "\">" << escapeHtml(output) << "</a></li>\n";
        html << "</ul>\n</section>\n";
    }
    html << reportPageEnd(page.notes);
    return html.str();
}

std::string reportPageStart(const std::string& title, const std::string& subtitle,
                            const std::vector<std::size_t>& frameCounts)
{
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         << "<title>" << escapeHtml(title) << "</title>\n<style>" << kStyle << flickerStyle(frameCounts)
         << "</style>\n</head>\n<body>\n<main>\n";
    html << "<header>\n<h1>" << escapeHtml(title) << "</h1>\n<p class=\"subtitle\">" << escapeHtml(subtitle)
         << "</p>\n</header>\n";
    return html.str();
}

std::string reportTilesHtml(const std::vector<ReportFact>& facts)
{
    std::ostringstream html;
    tiles(html, facts);
    return html.str();
}

std::string reportFigureHtml(const ReportFigure& f, int& flickers)
{
    std::ostringstream html;
    figure(html, f, flickers);
    return html.str();
}

std::string reportTableHtml(const ReportTable& t)
{
    std::ostringstream html;
    table(html, t);
    return html.str();
}

std::string reportFactTableHtml(const std::vector<ReportFact>& facts)
{
    std::ostringstream html;
    factTable(html, facts);
    return html.str();
}

std::string reportPageEnd(const std::vector<std::string>& notes)
{
    std::string html = "<footer>\n";
    for (const std::string& note : notes) html += "<p>" + escapeHtml(note) + "</p>\n";
    return html + "<p>" + escapeHtml(madeWith()) + "</p>\n</footer>\n</main>\n</body>\n</html>\n";
}

void writeReportPage(const std::string& path, const ReportPage& page)
{
    writeBytes(path, renderReportPage(page));
}
