// SPDX-License-Identifier: GPL-3.0-or-later
// The results and pictures of one corrected pair as the report page shows them: the
// headline figures (the same numbers, formatted the same way, as the commands print) and
// the figures: a before/after flicker of the pair, the differences and the field.
#pragma once

#include <vector>

#include "report/qcpicture.h"
#include "report/reportpage.h"

std::vector<ReportFact> qcResultFacts(const QcInputs& inputs, const QcAnalysis& analysis);

// One figure drawn as SVG at the page's size, as a frame with the label.
ReportImage qcReportImage(const QcInputs& inputs, const QcAnalysis& analysis, QcFigure figure, const std::string& label,
                          const std::string& description);

// Drawn as SVG.
std::vector<ReportFigure> qcReportFigures(const QcInputs& inputs, const QcAnalysis& analysis);

// "12.3 s" (one decimal) or "2 min 5 s".
std::string durationText(double seconds);

// The local date and time, "2025-01-31 14:05".
std::string reportTimestamp();
