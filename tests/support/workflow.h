// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the end-to-end workflow tests: a folder in which the built host runs, the
// files it holds before and after a command, and the projects and maps read back.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/volume.h"
#include "support/runprocess.h"

// Relative path -> bytes of every file below a folder.
using FolderContents = std::map<std::string, std::string>;

class Workspace {
public:
    const std::string& root() const { return folder.path(); }
    std::string path(const std::string& relative) const { return folder.path() + "/" + relative; }
    // Runs build/bin/mindaro with the arguments inside the folder; relative paths in the
    // arguments and in the messages are relative to it.
    ProcessResult mindaro(const std::vector<std::string>& arguments) const;
    // "mindaro simulate DIRECTORY options..."; fails the test when it does not succeed.
    void simulate(const std::string& directory, const std::vector<std::string>& options) const;
    FolderContents contents() const;
    // Writes a file (relative path) holding the text.
    void write(const std::string& relative, const std::string& text) const;
    // Replaces the value of one header key of a project header (the whole line).
    void setHeaderLine(const std::string& relative, const std::string& key, const std::string& value) const;

private:
    TemporaryFolder folder;
};

FolderContents folderContents(const std::string& folder);
// Names that after holds and before does not.
std::set<std::string> addedFiles(const FolderContents& before, const FolderContents& after);
// Names of before whose bytes differ in after or that after lacks.
std::set<std::string> changedFiles(const FolderContents& before, const FolderContents& after);

// Splits at "\n"; a final newline ends the last line and adds none.
std::vector<std::string> linesOf(const std::string& text);

// Every volume of an FMR (by the extension "fmr") or DMR project.
std::vector<Volume> readProjectVolumes(const std::string& path);
// The map stored in a ".map" file, in its stored orientation.
Volume mapVolume(const std::string& path);

// What the undistortion of the volume with the map (working orientation) stores: the
// corrected volume (times the map's Jacobian with intensityCorrection), truncated to whole
// numbers when the project keeps int16 voxels.
Volume expectedStoredCopy(const Volume& volume, const Volume& workingMap, bool transposed, bool floatData,
                          bool intensityCorrection = false);

// Agreement of two volumes over a set of voxel offsets, computed directly.
struct Agreement {
    double correlation = 0.0;
    double meanSquaredDifference = 0.0;
};
Agreement agreementOver(const Volume& a, const Volume& b, const std::vector<std::size_t>& voxels);
// Offsets of the voxels where the volume exceeds the threshold.
std::vector<std::size_t> voxelsAbove(const Volume& volume, float threshold);
// Number of voxels at which the two volumes differ (extents must match).
std::size_t differingVoxels(const Volume& a, const Volume& b);
