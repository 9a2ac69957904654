// SPDX-License-Identifier: GPL-3.0-or-later
// File-system paths to and from the 8-bit text in which the host and the plug-in name
// files. On Windows that text is in the system's ANSI code page, which the standard
// library's own path conversions do not follow (they take bytes as Latin-1 one way and
// give UTF-8 the other); elsewhere the text is the path's bytes.
#pragma once

#include <filesystem>
#include <string>

std::filesystem::path pathFromText(const std::string& text);
std::string textFromPath(const std::filesystem::path& path);
