// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/runreport.h"

#include "files/filenames.h"
#include "files/vdmmapfile.h"
#include "report/qcreport.h"

namespace {

constexpr double kPagePanelPixels = 144.0;

}  // namespace

Volume firstImageVolume(const std::string& image)
{
    NiftiVolumeReader reader(image);
    return reader.next();
}

Orientation gridOrientation(const NiftiInfo& grid, const std::string& image)
{
    const std::string name = fileNamePart(image);
    if (grid.geometrySource.empty())
        return voxelOrder(grid.voxelSize, "the voxel order: " + name + " has neither sform nor qform");
    return orientationFromMatrix(grid.voxelToWorld, "the " + grid.geometrySource + " of " + name);
}

CorrectedRun readCorrectedRun(const CorrectionRun& run, const std::string& corrected, const std::string& map)
{
    return {firstImageVolume(run.image), firstImageVolume(corrected), readFiniteVdmMap(map), 1.0};
}

QcInputs runQcInputs(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention)
{
    QcInputs inputs;
    inputs.title = "Correction of " + fileNamePart(run.image);
    inputs.firstName = inputs.secondName = imageStem(run.image);
    inputs.firstBefore = inputs.secondBefore = result.before;
    inputs.firstAfter = inputs.secondAfter = result.after;
    inputs.displacement = result.displacement;
    inputs.phaseEncodingAxis = run.direction.axis == 'i' ? 0 : 1;
    inputs.hertzPerVoxel = run.direction.polarity / *run.readoutTime;
    inputs.orientation = gridOrientation(run.grid, run.image);
    inputs.convention = convention;
    return inputs;
}

ReportFigure runReportFigure(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention)
{
    const QcInputs inputs = runQcInputs(run, result, convention);
    const QcAnalysis analysis = analyseQc(inputs);
    const std::string name = imageStem(run.image);
    return {name + " before and after",
            name + " (its first volume, phase encoding " + run.direction.text() +
                ") before and after the correction, shown in turn, above the field carried into its grid (over the "
                "corrected image; the right scale gives the displacement in mm). Where the image moves between the "
                "frames, the correction moved it. " + orientationNote(inputs, analysis),
            {qcReportImage(inputs, analysis, QcFigure::RunBefore, "before", name + " before the correction"),
             qcReportImage(inputs, analysis, QcFigure::RunAfter, "after", name + " after the correction")}};
}

RunPictures renderRunPictures(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention)
{
    const QcInputs inputs = runQcInputs(run, result, convention);
    const QcAnalysis analysis = analyseQc(inputs);
    return {renderQcFigure(inputs, analysis, QcFigure::RunBefore, PictureFormat::Svg, kPagePanelPixels),
            renderQcFigure(inputs, analysis, QcFigure::RunAfter, PictureFormat::Svg, kPagePanelPixels)};
}

ReportFact runFact(const CorrectionRun& run, const CorrectedRun& result)
{
    const QcInputs inputs = runQcInputs(run, result, LeftRightConvention::Radiological);
    const QcMapSummary summary = analyseQc(inputs).map;
    return {"", "Displacement of " + imageStem(run.image), formatRange(summary.lowestMm, summary.highestMm, "mm"),
            formatFixed(100.0 * result.covered, 1) + " % of its head on the field map"};
}
