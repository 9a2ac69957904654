// SPDX-License-Identifier: GPL-3.0-or-later
// "mindaro correct" with a gradient-echo field map (--phasediff, --phase1 and --phase2, or
// --fieldmap, each with its magnitude) instead of --ap and --pa.
#pragma once

#include "cli/commandline.h"

// --fieldmap-smooth MM, or the default; throws UsageError for a value out of 0 to 20 mm.
double parseFieldSmoothing(const ParsedCommandLine& command);
// Whether the command line names a field map.
bool usesFieldMap(const ParsedCommandLine& command);
// Corrects every --apply-to run with the field map's field; the exit status.
int correctWithFieldMap(const ParsedCommandLine& command);
