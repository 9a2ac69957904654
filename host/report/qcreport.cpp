// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/qcreport.h"

#include <cmath>
#include <ctime>
#include <sstream>

namespace {

std::string sliceCounts(const QcAnalysis& analysis)
{
    std::string text;
    for (std::size_t view = 0; view < analysis.views.size(); ++view) {
        if (view > 0) text += view + 1 == analysis.views.size() ? " and " : ", ";
        text += std::to_string(analysis.slices[view].size()) + " " + analysis.views[view].name;
    }
    return text;
}

}  // namespace

ReportImage qcReportImage(const QcInputs& inputs, const QcAnalysis& analysis, QcFigure figure, const std::string& label,
                          const std::string& description)
{
    constexpr double kPagePanelPixels = 144.0;
    QcRendering rendering = renderQcFigure(inputs, analysis, figure, PictureFormat::Svg, kPagePanelPixels);
    return {label, "image/svg+xml", std::move(rendering.bytes), rendering.width, rendering.height, description, {}};
}

std::vector<ReportFact> qcResultFacts(const QcInputs& inputs, const QcAnalysis& analysis)
{
    const QcAgreement& q = analysis.agreement;
    const QcMapSummary& map = analysis.map;
    const std::string pair = inputs.firstName + " and " + inputs.secondName;
    std::vector<ReportFact> facts{
        {"correlation", "Correlation of " + pair,
         formatCorrelation(q.correlationBefore) + " \u2192 " + formatCorrelation(q.correlationAfter),
         "inside the object, " + std::to_string(analysis.object.size()) + " voxels"},
        {"mean-squared-difference", "Mean squared difference",
         improvementText(q).empty() ? formatMeanSquared(q.meanSquaredAfter) : improvementText(q),
         formatMeanSquared(q.meanSquaredBefore) + " \u2192 " + formatMeanSquared(q.meanSquaredAfter)},
        {"displacement", "Displacement of " + inputs.firstName, formatRange(map.lowestMm, map.highestMm, "mm"),
         map.lowestHz ? "field " + formatRange(*map.lowestHz, *map.highestHz, "Hz") : std::string("inside the object")},
        {"folds", "Fold check",
         map.folds == 0 ? "no folds" : std::to_string(map.folds) + (map.folds == 1 ? " fold" : " folds"),
         "largest step " + formatFixed(map.largestStep, 2) + " voxels"},
    };
    return facts;
}

std::vector<ReportFigure> qcReportFigures(const QcInputs& inputs, const QcAnalysis& analysis)
{
    const std::string& a = inputs.firstName;
    const std::string& b = inputs.secondName;
    const std::string slices = sliceCounts(analysis) + " slices evenly spaced through the object";
    const std::string orientation = orientationNote(inputs, analysis);
    std::vector<ReportFigure> figures;
    figures.push_back(
        {"Before and after",
         a + " and " + b + " (in each view " + a + " above " + b +
             ") before and after the correction, shown in turn: " + slices + ", one grey scale for all (0 to " + formatFixed(analysis.intensityTop, 0) +
             "). Where the pair moves between the frames, the correction moved it. " + orientation,
         {qcReportImage(inputs, analysis, QcFigure::PairBefore, "before", a + " and " + b + " before the correction"),
          qcReportImage(inputs, analysis, QcFigure::PairAfter, "after", a + " and " + b + " after the correction")}});
    figures.push_back({"Difference of the pair",
                       "|" + a + " \u2212 " + b +
                           "| before and after the correction (in each view before above after), on one scale "
                           "from 0 to " + formatFixed(analysis.differenceTop, 0) +
                           " (the 99th percentile of the difference before, inside the object).",
                       {qcReportImage(inputs, analysis, QcFigure::Difference, "", "Absolute difference of the pair")}});
    std::ostringstream stepText;
    stepText << analysis.contourStep;
    const std::string step = stepText.str();
    const std::string field =
        inputs.hertzPerVoxel
            ? "The field in Hz (left scale) and the displacement of " + a + " in mm along its phase-encoding axis "
              "(right scale), inside the object over the corrected " + a + " image; contour lines every " + step +
                  " Hz, dashed where negative."
            : "The displacement of " + a + " in mm along its phase-encoding axis (positive towards +" +
                  std::string(1, "xy"[inputs.phaseEncodingAxis]) + "), inside the object over the corrected " + a +
                  " image; contour lines every " + step + " mm, dashed where negative.";
    figures.push_back({inputs.hertzPerVoxel ? "Field" : "Displacement", field,
                       {qcReportImage(inputs, analysis, QcFigure::Field, "", "Field map over the corrected image")}});
    return figures;
}

std::string durationText(double seconds)
{
    if (seconds < 120.0) return formatFixed(seconds, 1) + " s";
    const long whole = std::lround(seconds);
    return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
}

std::string reportTimestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &local);
    return buffer;
}
