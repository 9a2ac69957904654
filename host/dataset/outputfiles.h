// SPDX-License-Identifier: GPL-3.0-or-later
// Writing outputs so that a file under its final name is always complete: everything is
// written under a temporary name in the final file's folder, or in a work folder on the
// same file system, and renamed into place.
#pragma once

#include <string>

// Writes the text under a temporary name beside path (StagedFile) and renames it to path;
// creates the folder. Throws std::runtime_error naming the file.
void writeFileAtomically(const std::string& path, const std::string& text);
// Renames a finished file into place, creating the folder; replaces what was there.
void moveIntoPlace(const std::string& from, const std::string& to);
// Copies a file into place through a temporary name beside it (StagedFile).
void copyIntoPlace(const std::string& from, const std::string& to);
// ".HOST-PID": what makes a temporary or work name unique among processes that share
// the output folder, also across the machines of a cluster.
std::string processTag();
