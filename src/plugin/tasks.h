// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog steps that execute runs, one per value of the parameter "task".
#pragma once

class distcor;

// "select_fmr_or_dmr": picks a project through the file dialog and reports its volumes.
void taskSelectFmrOrDmr();
// "select_vdm": picks a saved displacement map through the file dialog.
void taskSelectVdm();
// "check": verifies that every entry of "files" names a readable FMR or DMR project.
void taskCheck(distcor& plugin);
// "estimate": estimates the displacement map of an opposite phase-encoding pair.
void taskEstimate(distcor& plugin);
// Whether the estimate's parameters ask for lists of volumes ("volumes0", "volumes1") or
// the head's motion ("motion"), which taskEstimateVolumes estimates.
bool asksForSeveralVolumes();
void taskEstimateVolumes(distcor& plugin);
// "apply": undistorts the projects of "files" with the map "vdm".
void taskApply(distcor& plugin);
// "combine": restores one run from "file0" and "file1", the same run acquired with each
// phase-encoding direction, with the map "vdm" of "file0", by least squares.
void taskCombine(distcor& plugin);
