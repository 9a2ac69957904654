// SPDX-License-Identifier: GPL-3.0-or-later
// The report page of a correction: one self-contained HTML file (pictures embedded, no
// script, nothing fetched) that opens in any browser without a server. A command fills
// the page model with what it did; the writer lays it out. A run is one estimate with its
// method, settings, results and figures; several runs are shown one under another, their
// results side by side.
#pragma once

#include <string>
#include <vector>

struct ReportFact {
    std::string key;     // a stable name for scripts ("correlation", "time"); may be empty
    std::string label;   // what people read
    std::string value;
    std::string detail;  // a smaller line under the value; may be empty
};

struct ReportImage {
    std::string label;      // names the frame of a flicker ("before", "after")
    std::string mediaType;  // "image/svg+xml" or "image/png"
    std::string bytes;
    int width = 0;   // CSS pixels
    int height = 0;
    std::string description;  // the image's text alternative
    // A picture beside the page, relative to it, shown instead of bytes when they are empty
    // (pages over many pictures that the pictures' own files already hold); its size may
    // then be 0, unknown.
    std::string link;
};

struct ReportFigure {
    std::string title;
    std::string caption;
    // One frame is a still picture; several are shown in turn (a flicker), with buttons to
    // stop at any one of them.
    std::vector<ReportImage> frames;
};

struct ReportRun {
    std::string method;                // the estimate as the command names it
    std::vector<ReportFact> settings;  // as the command used them
    std::vector<ReportFact> results;   // the headline figures
    std::vector<ReportFigure> figures;
};

struct ReportTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

struct ReportPage {
    std::string title;
    std::string subtitle;                 // what was run and when
    ReportTable inputs;                   // the files and where their metadata came from
    std::vector<ReportFact> acquisition;  // further metadata, with where it came from
    std::vector<ReportRun> runs;
    std::vector<std::string> outputs;     // files written, relative to the page's folder
    std::vector<std::string> notes;
};

std::string renderReportPage(const ReportPage& page);
// The line at the foot of every page: the version of VARNO that made it and its licence.
std::string madeWith();

// The pieces of the page, for pages that lay out more than one correction (the subject
// pages of a dataset run) in the same look: the head with the style (the flicker
// animations for the given frame counts) and title, a row of tiles, a figure (flickers
// counts the page's flickers so far), a table, a table of facts, the end (a footer with
// the notes and the line that says what made the page).
std::string reportPageStart(const std::string& title, const std::string& subtitle,
                            const std::vector<std::size_t>& frameCounts);
std::string reportTilesHtml(const std::vector<ReportFact>& facts);
std::string reportFigureHtml(const ReportFigure& figure, int& flickers);
std::string reportTableHtml(const ReportTable& table);
std::string reportFactTableHtml(const std::vector<ReportFact>& facts);
std::string reportPageEnd(const std::vector<std::string>& notes = {});

// Throws WriteFileError when the file cannot be written.
void writeReportPage(const std::string& path, const ReportPage& page);

// Text with &, <, >, " and ' replaced by their character references.
std::string escapeHtml(const std::string& text);
