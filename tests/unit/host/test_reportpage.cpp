// SPDX-License-Identifier: GPL-3.0-or-later
// The report page writer: what a page model becomes in HTML, whatever the method.
#include <gtest/gtest.h>


#include "report/reportpage.h"

namespace {

// The value of an attribute in the text of a tag.
std::string attribute(const std::string& tag, const std::string& name)
{
    const std::size_t start = tag.find(" " + name + "=\"");
    if (start == std::string::npos) return "";
    const std::size_t value = start + name.size() + 3;
    return tag.substr(value, tag.find('"', value) - value);
}

std::string decodePercent(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::string decodeBase64(const std::string& text)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        buffer = (buffer << 6) | static_cast<unsigned>(alphabet.find(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 255);
        }
    }
    return bytes;
}

ReportPage samplePage()
{
    ReportPage page;
    page.title = "Correction of <a> & \"b\"";
    page.subtitle = "test";
    page.inputs = {{"", "image"}, {{"--ap", "sub-01 dir AP.nii.gz"}}};
    ReportRun run;
    run.method = "precise estimate";
    run.settings = {{"iterations", "Iterations per level", "30/20/15/10", ""}, {"", "Regularisation", "0.002", "alpha"}};
    run.results = {{"correlation", "Correlation", "0.9110 \u2192 0.9782", "inside the object"}};
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    run.figures = {{"Before and after", "caption",
                    {{"before", "image/png", bytes, 10, 20, "the pair before", ""},
                     {"after", "image/png", bytes.substr(1), 10, 20, "the pair after", ""}}},
                   {"Field", "field caption",
                    {{"", "image/svg+xml", "<svg width=\"1\"><text>a&b #1 100%</text></svg>", 30, 40, "the field", ""}}}};
    page.runs.push_back(run);
    page.outputs = {"qc.png", "run #1.nii.gz"};
    page.notes = {"a note"};
    return page;
}

}  // namespace

TEST(ReportPage, MethodSettingsAndResultsAppearWhateverTheirNames)
{
    const std::string html = renderReportPage(samplePage());
    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n<html lang=\"en\">", 0), 0u);
    EXPECT_NE(html.find("<td><span data-key=\"method\">precise estimate</span></td>"), std::string::npos);
    EXPECT_NE(html.find("<th scope=\"row\">Iterations per level</th><td><span data-key=\"iterations\">30/20/15/10</span>"
                        "</td>"),
              std::string::npos);
    EXPECT_NE(html.find("<th scope=\"row\">Regularisation</th><td>0.002 <span class=\"detail\">(alpha)</span></td>"),
              std::string::npos);
    EXPECT_NE(html.find("data-key=\"correlation\">0.9110 \u2192 0.9782</div>"), std::string::npos);
    EXPECT_NE(html.find("data-key=\"correlation-detail\">inside the object</div>"), std::string::npos);
    EXPECT_NE(html.find("<p>a note</p>"), std::string::npos);
    EXPECT_NE(html.find("<p>Made with VARNO 1.2.1, free software under GPL-3.0-or-later.</p>\n</footer>"),
              std::string::npos);
    // One run: no run headings.
    EXPECT_EQ(html.find("<h3>"), std::string::npos);

    ReportPage two = samplePage();
    two.runs.push_back(two.runs.front());
    two.runs.back().method = "full estimate";
    const std::string both = renderReportPage(two);
    EXPECT_NE(both.find("<h3>precise estimate</h3>"), std::string::npos);
    EXPECT_NE(both.find("<h3>full estimate</h3>"), std::string::npos);
    EXPECT_NE(both.find("<h2>Pictures: full estimate</h2>"), std::string::npos);
}

TEST(ReportPage, TextIsEscapedAndOutputLinksAreEncoded)
{
    const std::string html = renderReportPage(samplePage());
    EXPECT_NE(html.find("<title>Correction of &lt;a&gt; &amp; &quot;b&quot;</title>"), std::string::npos);
    EXPECT_EQ(html.find("<a>"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"run%20%231.nii.gz\">run #1.nii.gz</a>"), std::string::npos);
    EXPECT_NE(html.find("<td>sub-01 dir AP.nii.gz</td>"), std::string::npos);
}

TEST(ReportPage, PicturesAreEmbeddedByteForByteAndFlickersGetButtons)
{
    const ReportPage page = samplePage();
    const std::string html = renderReportPage(page);
    std::vector<std::string> tags;
    for (std::size_t at = html.find("<img "); at != std::string::npos; at = html.find("<img ", at + 1))
        tags.push_back(html.substr(at, html.find('>', at) - at));
    ASSERT_EQ(tags.size(), 3u);
    const std::vector<const ReportImage*> expected{&page.runs[0].figures[0].frames[0], &page.runs[0].figures[0].frames[1],
                                                   &page.runs[0].figures[1].frames[0]};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string source = attribute(tags[i], "src");
        // SVG as percent-encoded text, the rest as base64.
        const bool svg = expected[i]->mediaType == "image/svg+xml";
        const std::string head = "data:" + expected[i]->mediaType + (svg ? "," : ";base64,");
        ASSERT_EQ(source.rfind(head, 0), 0u) << source.substr(0, 40);
        const std::string data = source.substr(head.size());
        EXPECT_EQ(svg ? decodePercent(data) : decodeBase64(data), expected[i]->bytes) << i;
        EXPECT_EQ(attribute(tags[i], "width"), std::to_string(expected[i]->width));
        EXPECT_EQ(attribute(tags[i], "alt"), expected[i]->description);
    }
    // The flicker: an "alternate" button, checked, and one per frame, before the frames.
    const std::size_t all = html.find("<input type=\"radio\" name=\"figure-1\" id=\"figure-1-all\" class=\"pick-all\" checked>");
    const std::size_t before = html.find("<label for=\"figure-1-0\">before</label>");
    const std::size_t after = html.find("<label for=\"figure-1-1\">after</label>");
    const std::size_t frames = html.find("<div class=\"frames frames-2\">");
    ASSERT_NE(all, std::string::npos);
    ASSERT_NE(frames, std::string::npos);
    EXPECT_LT(all, before);
    EXPECT_LT(before, after);
    EXPECT_LT(after, frames);
    EXPECT_NE(html.find("@keyframes flicker-2"), std::string::npos);
    // Nothing is fetched and nothing runs.
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos);
}
