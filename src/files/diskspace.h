// SPDX-License-Identifier: GPL-3.0-or-later
// Telling a full disk from other write failures, so that a message can say so.
#pragma once

#include <string>

// For the end of a message about a write to path that failed with the error (an errno
// value; 0 when not known): ": the disk is full (12.0 kB free on the file system of
// FOLDER)" when next to nothing is left there, ": the disk quota is exceeded" for a quota;
// empty for any other failure.
std::string diskFullNote(const std::string& path, int error);
