// SPDX-License-Identifier: GPL-3.0-or-later
// "_motion.tsv" files: the head's rigid motion in every volume of a project that an
// estimate used, relative to the first volume of the first project. Tab-separated, one
// header line, then one line per volume: its index in the project, the translations along
// x, y and z in mm and the rotations about x, y and z in degrees (applied x first), in the
// working orientation of the estimate (y along the phase encoding).
#pragma once

#include <array>
#include <string>
#include <vector>

struct VolumeMotionRow {
    unsigned volume = 0;
    std::array<double, 3> translation{};  // mm
    std::array<double, 3> rotation{};     // degrees
};

// The name beside a project: run1.fmr gives run1_motion.tsv.
std::string motionFileName(const std::string& projectPath);

// Writes the file under a temporary name and renames it into place; throws WriteFileError.
void writeMotionFile(const std::string& path, const std::vector<VolumeMotionRow>& rows);

// Throws OpenFileError or ReadFileError when the file cannot be read or is not one.
std::vector<VolumeMotionRow> readMotionFile(const std::string& path);
