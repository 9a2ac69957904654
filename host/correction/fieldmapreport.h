// SPDX-License-Identifier: GPL-3.0-or-later
// What the report pages show of a field map: the field over its magnitude, and the
// figures that sum up the field and its unwrapping.
#pragma once

#include <string>
#include <vector>

#include "correction/fieldmapcorrection.h"
#include "correction/runreport.h"
#include "report/qcpicture.h"
#include "report/reportpage.h"

// The field in Hz over the magnitude, inside the head's mask.
QcInputs fieldQcInputs(const FieldMap& map, LeftRightConvention convention);

ReportFigure fieldReportFigure(const FieldMap& map, LeftRightConvention convention);
// The field over the magnitude as a PNG picture.
std::string fieldPicturePng(const FieldMap& map, LeftRightConvention convention);

// The field's range inside the mask, the unwrapping's check and the mask.
std::vector<ReportFact> fieldFacts(const FieldMap& map);
// "no 2 pi jump left" or "3 jumps of 2 pi left (of 41230 neighbour pairs)".
std::string unwrappingCheckText(const UnwrappedPhase& unwrapping);
