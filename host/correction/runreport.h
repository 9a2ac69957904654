// SPDX-License-Identifier: GPL-3.0-or-later
// What the pages show of one corrected run, whatever map corrected it: its first volume
// before and after the correction, in turn, beside the field carried into its grid, and
// the range of its displacement.
#pragma once

#include <string>

#include "correction/correction.h"
#include "report/qcpicture.h"
#include "report/reportpage.h"

struct CorrectedRun {
    Volume before;        // its first volume as acquired
    Volume after;         // the same corrected
    Volume displacement;  // voxels along +axis of its phase encoding, the map it was corrected with
    double covered = 1.0;  // the fraction of its head that lies on the field map
};

// The first volume of a NIfTI image, read without the rest.
Volume firstImageVolume(const std::string& image);
// The first volume of the run as acquired and of its corrected image, and its map.
CorrectedRun readCorrectedRun(const CorrectionRun& run, const std::string& corrected, const std::string& map);

// Its first volume before and after, and its displacement with the Hz of its readout time.
QcInputs runQcInputs(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention);
// Before and after in turn, the field beside the run in both frames.
ReportFigure runReportFigure(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention);
// The same frames drawn for a page that links them: SVG pictures with their sizes.
struct RunPictures {
    QcRendering before;
    QcRendering after;
};
RunPictures renderRunPictures(const CorrectionRun& run, const CorrectedRun& result, LeftRightConvention convention);
// The run's displacement range over its head, and the share of its head on the field map.
ReportFact runFact(const CorrectionRun& run, const CorrectedRun& result);

// Where the orientation of a run's or a field map's pictures comes from: its sform or
// qform, else its voxel order.
Orientation gridOrientation(const NiftiInfo& grid, const std::string& image);
