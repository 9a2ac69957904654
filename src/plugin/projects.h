// SPDX-License-Identifier: GPL-3.0-or-later
// The projects that the tasks read and write: an FMR or a DMR project chosen by the
// extension of its header file, and the undistorted "_undist" copies.
#pragma once

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "core/volume.h"
#include "files/fileidentity.h"
#include "files/projectheader.h"

using Project = std::variant<FmrHeader, DmrHeader>;

// Reads a header ending in ".fmr" as FMR and any other as DMR, with its voxel data.
Project readProject(const std::string& path);
std::vector<Volume>& projectVolumes(Project& project);
const ProjectHeader& projectHeader(const Project& project);

// A corrected copy no longer lines up with the anatomical reference of its source.
void dropAnatomicalLink(ProjectHeader& project);

// Undistorts every volume of a loaded project with the VDM (in the working orientation,
// y along the phase encoding; transposed is the "rllr" flag), multiplied by the Jacobian
// of the map when intensityCorrection is set, drops the link to the anatomical reference
// and saves header and data under the "_undist" name of the path the project was read
// from (undistortFmr) or of the given path (undistortDmr).
void undistortFmr(const Volume& vdm, FmrHeader& project, bool transposed, bool intensityCorrection);
void undistortDmr(const Volume& vdm, const std::string& path, DmrHeader& project, bool transposed,
                  bool intensityCorrection);
// The one of the two above that fits the project.
void undistortProject(const Volume& vdm, const std::string& path, Project& project, bool transposed,
                      bool intensityCorrection);

// Saves the "_undist" copy of a loaded project under the "_undist" name of path with
// every volume replaced by correct(its index, the volume), dropping the link to the
// anatomical reference. correct runs for several volumes at once on the thread pool.
void saveCorrectedCopy(const std::string& path, Project& project,
                       const std::function<Volume(std::size_t, const Volume&)>& correct);
// Reads the project's header, and checks its data file as reading the data would.
Project readProjectHeaderChecked(const std::string& path);
// undistortProject for a project read without data: the volumes are read, undistorted
// and written a few at a time, and the copy is the same, byte for byte.
void undistortProjectStreamed(const Volume& vdm, const std::string& path, Project& project, bool transposed,
                              bool intensityCorrection);

// The files that a task reads of a project read from path: the header and its data file.
std::vector<StepFile> projectFiles(const std::string& path, const ProjectHeader& header);
// The files that the undistorted copy of the project at path writes: header and data file.
std::vector<StepFile> copyFiles(const std::string& path);
