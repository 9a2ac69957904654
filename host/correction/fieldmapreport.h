// SPDX-License-Identifier: GPL-3.0-or-later
// What the report pages show of a correction with a field map: the field over its
// magnitude, every corrected run before and after beside its field, and the figures that
// sum up the field and its unwrapping.
#pragma once

#include <string>
#include <vector>

#include "correction/fieldmapcorrection.h"
#include "report/qcpicture.h"
#include "report/reportpage.h"

// The field in Hz over the magnitude, inside the head's mask.
QcInputs fieldQcInputs(const FieldMap& map, LeftRightConvention convention);
// A corrected run: its first volume before and after, and its displacement with the Hz
// of its readout time.
QcInputs runQcInputs(const CorrectionRun& run, const FieldMapRunResult& result, LeftRightConvention convention);

ReportFigure fieldReportFigure(const FieldMap& map, LeftRightConvention convention);
// Before and after in turn, the field beside the run in both frames.
ReportFigure runReportFigure(const CorrectionRun& run, const FieldMapRunResult& result, LeftRightConvention convention);
// The field over the magnitude as a PNG picture.
std::string fieldPicturePng(const FieldMap& map, LeftRightConvention convention);

// The field's range inside the mask, the unwrapping's check and the mask.
std::vector<ReportFact> fieldFacts(const FieldMap& map);
// "no 2 pi jump left" or "3 jumps of 2 pi left (of 41230 neighbour pairs)".
std::string unwrappingCheckText(const UnwrappedPhase& unwrapping);
// A run's displacement range over its head and the share of its head on the field map.
ReportFact runFact(const CorrectionRun& run, const FieldMapRunResult& result);
