// SPDX-License-Identifier: GPL-3.0-or-later
// The report pages of "correct", "demo" and "qc --html" through the built host: the
// figures on the page are the printed ones, the page is valid HTML (HTML Tidy), refers to
// no file that is not there, and a browser (headless Chromium) shows its pictures.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "support/bidsphantom.h"
#include "support/pngimage.h"
#include "support/runprocess.h"
#include "support/workflow.h"

namespace {

// The values of every attribute of the name, in order. (Scanned by hand: the embedded
// pictures make attribute values megabytes long.)
std::vector<std::string> attributeValues(const std::string& html, const std::string& name)
{
    std::vector<std::string> values;
    const std::string opening = " " + name + "=\"";
    for (std::size_t at = html.find(opening); at != std::string::npos; at = html.find(opening, at)) {
        at += opening.size();
        const std::size_t end = html.find('"', at);
        values.push_back(html.substr(at, end - at));
        at = end;
    }
    return values;
}

// The text of every element with a data-key attribute, by key.
std::map<std::string, std::string> pageFigures(const std::string& html)
{
    std::map<std::string, std::string> figures;
    const std::string opening = " data-key=\"";
    for (std::size_t at = html.find(opening); at != std::string::npos; at = html.find(opening, at)) {
        at += opening.size();
        const std::size_t keyEnd = html.find("\">", at);
        const std::size_t textEnd = html.find('<', keyEnd);
        figures[html.substr(at, keyEnd - at)] = html.substr(keyEnd + 2, textEnd - keyEnd - 2);
    }
    return figures;
}

// What fills the {} of the pattern where its text first occurs: each {} takes the text up
// to the pattern's next piece. Fails the test when the pattern does not fit.
std::vector<std::string> fields(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t hole = pattern.find("{}", start);
        pieces.push_back(pattern.substr(start, hole - start));
        if (hole == std::string::npos) break;
        start = hole + 2;
    }
    std::vector<std::string> values;
    std::size_t at = text.find(pieces.front());
    for (std::size_t i = 1; i < pieces.size() && at != std::string::npos; ++i) {
        at += pieces[i - 1].size();
        const std::size_t end = text.find(pieces[i], at);
        if (end != std::string::npos) values.push_back(text.substr(at, end - at));
        at = end;
    }
    if (values.size() + 1 != pieces.size()) {
        ADD_FAILURE() << "nothing like \"" << pattern << "\" in\n" << text;
        values.resize(pieces.size() - 1);
    }
    return values;
}

// A relative URL's path with its %XX escapes decoded.
std::string decodedPath(const std::string& url)
{
    std::string path;
    for (std::size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            path += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            path += url[i];
        }
    }
    return path;
}

// HTML Tidy finds neither errors nor warnings.
void expectValidHtml(const std::string& page)
{
    const ProcessResult tidy = runProcess({"/usr/bin/tidy", "-q", "-e", page}, ".");
    EXPECT_EQ(tidy.status, 0) << tidy.err;
    EXPECT_EQ(tidy.err, "");
}

// Every picture is embedded; every link names a file beside the page.
void expectEveryReferenceResolves(const std::string& page)
{
    const std::string html = readWhole(page);
    for (const std::string& source : attributeValues(html, "src"))
        EXPECT_EQ(source.rfind("data:image/", 0), 0u) << source.substr(0, 60);
    const std::vector<std::string> links = attributeValues(html, "href");
    for (const std::string& target : links) {
        EXPECT_EQ(target.find(':'), std::string::npos) << target;
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(page).parent_path() / decodedPath(target))) << target;
    }
    EXPECT_FALSE(links.empty());
}

}  // namespace

TEST(ReportPage, CorrectWritesAValidPageWhoseFiguresAreThePrintedOnes)
{
    const TemporaryFolder folder;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "j-", 0.05);
    const ProcessResult result =
        runProcess({mindaroPath(), "correct", "--ap", bids.ap, "--pa", bids.pa, "--out", "out", "--fast"}, folder.path());
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string page = folder.path() + "/out/report.html";
    ASSERT_TRUE(std::filesystem::exists(page)) << result.out;
    EXPECT_NE(result.out.find("  " + std::string("out/report.html") + "\n"), std::string::npos) << result.out;

    const std::string& out = result.out;
    const std::vector<std::string> voxels = fields(out, "inside the object ({} voxels):\n");
    const std::vector<std::string> squares = fields(out, "  mean squared difference {} before, {} after ({})\n");
    const std::vector<std::string> correlation = fields(out, "  correlation {} before, {} after\n");
    const std::vector<std::string> map = fields(
        out, "Displacement of AP inside the object: {} ({}); no folds (largest step between neighbours along y {} voxels)\n");
    const std::vector<std::string> time = fields(out, "Time taken: {} (estimate and correction {})\n");

    std::map<std::string, std::string> figures = pageFigures(readWhole(page));
    EXPECT_EQ(figures["correlation"], correlation[0] + " \u2192 " + correlation[1]);
    EXPECT_EQ(figures["correlation-detail"], "inside the object, " + voxels[0] + " voxels");
    EXPECT_EQ(figures["mean-squared-difference"], squares[2]);
    EXPECT_EQ(figures["mean-squared-difference-detail"], squares[0] + " \u2192 " + squares[1]);
    EXPECT_EQ(figures["displacement"], map[0]);
    EXPECT_EQ(figures["displacement-detail"], "field " + map[1]);
    EXPECT_EQ(figures["folds"], "no folds");
    EXPECT_EQ(figures["folds-detail"], "largest step " + map[2] + " voxels");
    EXPECT_EQ(figures["time"], time[0]);
    EXPECT_EQ(figures["time-detail"], "estimate and correction " + time[1]);
    // What went in and how it was corrected, with where each piece came from.
    EXPECT_EQ(figures["method"], "standard column-wise estimate (--fast)");
    EXPECT_EQ(figures["readout-time"], "0.05 s");
    EXPECT_EQ(figures["readout-time-detail"].find("from sidecar "), 0u);
    const std::string html = readWhole(page);
    EXPECT_NE(html.find("<td>--pa</td><td>" + bids.pa + "</td><td>j</td><td>sidecar " + folder.path() +
                        "/sub-01/fmap/sub-01_dir-PA_epi.json</td><td>0.05 s</td><td>\u2212map</td>"),
              std::string::npos);

    expectValidHtml(page);
    expectEveryReferenceResolves(page);
}

TEST(ReportPage, DemoPageMatchesItsSummaryAndShowsItsPicturesInABrowser)
{
    Workspace workspace;
    const ProcessResult result = workspace.mindaro({"demo"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string page = workspace.path("varno-demo/report.html");
    EXPECT_NE(result.out.find("  Report page: varno-demo/report.html\n"), std::string::npos) << result.out;

    const std::string& out = result.out;
    // The summary's columns: the input pair, the standard and the precise correction.
    const auto row = [&](const std::string& name) {
        std::istringstream line(fields(out, "  " + name + " {}\n")[0]);
        std::vector<std::string> values(3);
        line >> values[0] >> values[1] >> values[2];
        return values;
    };
    const std::vector<std::string> agreement = row("Agreement (intensity-corrected, head)");
    const std::vector<std::string> correlation = row("Correlation of the copies (object)");
    const std::vector<std::string> squares = row("Mean squared difference of the copies");
    const std::vector<std::string> mapError = row("Map RMS error against the truth (voxels)");
    const std::vector<std::string> mapCorrelation = row("Map correlation with the truth");
    const std::vector<std::string> time = row("Processor time of the estimate (s)");
    const std::map<std::string, std::string> figures = pageFigures(readWhole(page));
    for (const auto& [prefix, column] : {std::pair<std::string, int>{"", 2}, {"standard-", 1}}) {
        EXPECT_EQ(figures.at(prefix + "correlation"), correlation[0] + " \u2192 " + correlation[column]);
        EXPECT_EQ(figures.at(prefix + "mean-squared-difference-detail"), squares[0] + " \u2192 " + squares[column]);
        EXPECT_EQ(figures.at(prefix + "agreement"), agreement[column]);
        EXPECT_EQ(figures.at(prefix + "map-error"), mapError[column] + " voxels");
        EXPECT_EQ(figures.at(prefix + "map-error-detail"), "against the true map; correlation " + mapCorrelation[column]);
        EXPECT_EQ(figures.at(prefix + "time"), time[column] + " s");
    }
    const std::string html = readWhole(page);
    EXPECT_NE(html.find("<h3>precise estimate</h3>"), std::string::npos);
    EXPECT_NE(html.find("<h3>standard full estimate</h3>"), std::string::npos);
    expectValidHtml(page);
    expectEveryReferenceResolves(page);

    // In a browser: the dark figures are laid out and hold their slices (grey) and their
    // colour maps; a page whose embedded pictures did not decode shows empty dark boxes.
    const std::string screenshot = workspace.path("page.png");
    const ProcessResult render = runProcess(
        {"/bin/bash", std::string(VARNO_SOURCE_DIR) + "/scripts/render-page.sh", page, screenshot, "1280", "2200"}, ".");
    ASSERT_EQ(render.status, 0) << render.err;
    const RgbImage image = readPngFile(screenshot);
    ASSERT_EQ(image.width, 1280);
    ASSERT_EQ(image.height, 2200);
    std::size_t figureBackground = 0;
    std::size_t grey = 0;
    std::size_t coloured = 0;
    for (const Rgb& p : image.pixels) {
        if (p == Rgb{17, 17, 21}) ++figureBackground;
        if (p.r == p.g && p.g == p.b && p.r > 90) ++grey;
        if (std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}) > 120) ++coloured;
    }
    EXPECT_GT(figureBackground, image.pixels.size() / 10);
    EXPECT_GT(grey, 20000u);
    EXPECT_GT(coloured, 5000u);
}

TEST(ReportPage, QcWritesTheSvgAndThePageOnlyWhenAsked)
{
    Workspace workspace;
    workspace.simulate("p", {"--size", "32x32x16", "--seed", "2"});
    ASSERT_EQ(workspace.mindaro({"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--apply"}).status, 0);

    const ProcessResult plain = workspace.mindaro({"qc", "p/AP.fmr", "p/PA.fmr"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_TRUE(std::filesystem::exists(workspace.path("p/AP_qc.png")));
    EXPECT_FALSE(std::filesystem::exists(workspace.path("p/AP_qc.svg")));
    EXPECT_FALSE(std::filesystem::exists(workspace.path("p/AP_qc.html")));

    const ProcessResult html = workspace.mindaro({"qc", "p/AP.fmr", "p/PA.fmr", "--html", "--names", "AP", "PA"});
    ASSERT_EQ(html.status, 0) << html.err;
    EXPECT_NE(html.out.find("Report page: p/AP_qc.html\n"), std::string::npos) << html.out;
    const std::string svg = readWhole(workspace.path("p/AP_qc.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    const std::string page = workspace.path("p/AP_qc.html");
    const std::vector<std::string> correlation = fields(html.out, "  correlation {} before, {} after\n");
    EXPECT_EQ(pageFigures(readWhole(page))["correlation"], correlation[0] + " \u2192 " + correlation[1]);
    expectValidHtml(page);
    expectEveryReferenceResolves(page);

    const ProcessResult wrong = workspace.mindaro({"qc", "p/AP.fmr", "p/PA.fmr", "--out", "p/picture.jpg"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("--out expects a picture name ending in .png or .svg, got \"p/picture.jpg\""),
              std::string::npos)
        << wrong.err;
}
