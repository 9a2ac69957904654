// SPDX-License-Identifier: GPL-3.0-or-later
// File-name rules shared by every task. Both "/" and "\" separate directories;
// comparisons are exact and case-sensitive.
#pragma once

#include <string>

// Text after the last separator; the whole name when there is none.
std::string fileNamePart(const std::string& name);
// Text up to and including the last separator; empty when there is none.
std::string directoryPart(const std::string& name);
// Text before the last "." anywhere in the name; the whole name when there is none.
std::string stripExtension(const std::string& name);
// stripExtension(name) + "." + extension.
std::string replaceExtension(const std::string& name, const std::string& extension);
// The suffix put just before the last "."; appended when there is none.
std::string insertSuffix(const std::string& name, const std::string& suffix);
// True when the name ends with "." + extension.
bool hasExtension(const std::string& name, const std::string& extension);
