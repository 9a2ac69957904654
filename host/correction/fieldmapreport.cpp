// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/fieldmapreport.h"

#include <algorithm>
#include <cmath>

#include "files/filenames.h"
#include "report/orientation.h"
#include "report/qcreport.h"

namespace {

constexpr double kPicturePanelPixels = 116.0;

std::vector<VoxelIndex> maskVoxels(const VoxelMask& mask, Dimensions extent)
{
    std::vector<VoxelIndex> voxels;
    std::size_t v = 0;
    for (int z = 0; z < extent.z; ++z)
        for (int y = 0; y < extent.y; ++y)
            for (int x = 0; x < extent.x; ++x, ++v)
                if (mask[v]) voxels.push_back({x, y, z});
    return voxels;
}

}  // namespace

QcInputs fieldQcInputs(const FieldMap& map, LeftRightConvention convention)
{
    QcInputs inputs;
    inputs.title = "Field of " + fileNamePart(map.inputs.phase.path);
    inputs.firstName = inputs.secondName = "magnitude";
    inputs.firstBefore = inputs.secondBefore = inputs.firstAfter = inputs.secondAfter = map.magnitude;
    inputs.displacement = map.estimate.hertz;
    inputs.hertzPerVoxel = 1.0;
    inputs.millimetreScale = false;
    inputs.underlayName = "magnitude image";
    inputs.orientation = gridOrientation(map.grid, map.inputs.phase.path);
    inputs.convention = convention;
    inputs.object = maskVoxels(map.estimate.mask, map.grid.extent);
    return inputs;
}

ReportFigure fieldReportFigure(const FieldMap& map, LeftRightConvention convention)
{
    const QcInputs inputs = fieldQcInputs(map, convention);
    const QcAnalysis analysis = analyseQc(inputs);
    return {"Field",
            "The field in Hz of the " + fieldMapKindText(map.inputs.kind) + " " + map.inputs.phase.label +
                " over its magnitude, inside the head's mask; contour lines every " + formatFixed(analysis.contourStep, 0) +
                " Hz, dashed where negative. " + orientationNote(inputs, analysis),
            {qcReportImage(inputs, analysis, QcFigure::Field, "", "Field map over the magnitude")}};
}

std::string fieldPicturePng(const FieldMap& map, LeftRightConvention convention)
{
    const QcInputs inputs = fieldQcInputs(map, convention);
    return renderQcFigure(inputs, analyseQc(inputs), QcFigure::Field, PictureFormat::Png, kPicturePanelPixels).bytes;
}

std::string unwrappingCheckText(const UnwrappedPhase& unwrapping)
{
    if (unwrapping.jumpsLeft == 0) return "no 2\u03c0 jump left";
    return std::to_string(unwrapping.jumpsLeft) + (unwrapping.jumpsLeft == 1 ? " jump" : " jumps") +
           " of 2\u03c0 left (of " + std::to_string(unwrapping.neighbourPairs) + " neighbour pairs)";
}

std::vector<ReportFact> fieldFacts(const FieldMap& map)
{
    double lowest = 0.0, highest = 0.0;
    bool first = true;
    for (std::size_t v = 0; v < map.estimate.mask.size(); ++v) {
        if (!map.estimate.mask[v]) continue;
        const double value = map.estimate.hertz[v];
        lowest = first ? value : std::min(lowest, value);
        highest = first ? value : std::max(highest, value);
        first = false;
    }
    std::vector<ReportFact> facts{
        {"field", "Field inside the head", formatRange(lowest, highest, "Hz"),
         fieldMapKindText(map.inputs.kind) + ", smoothed " + formatFixed(map.smoothingMm, 1) + " mm"},
        {"mask", "Head mask", std::to_string(maskCount(map.estimate.mask)) + " voxels", "from the magnitude"}};
    if (const std::optional<UnwrappedPhase>& u = map.estimate.unwrapping)
        facts.push_back({"unwrapping", "Unwrapping check", unwrappingCheckText(*u),
                         std::to_string(u->pieces) + (u->pieces == 1 ? " piece" : " pieces") + " of the mask, " +
                             std::to_string(u->neighbourPairs) + " neighbour pairs"});
    return facts;
}
