// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line arguments as the host hands them on: 8-bit text.
#pragma once

#include <string>
#include <vector>

// The arguments after the program name. On Windows they arrive in the system's ANSI code
// page, the code page in which the plug-in opens and names files; an argument holding a
// character that this code page lacks would reach the plug-in garbled (as "?"), so it is
// refused: throws UsageError naming the argument and the code page.
std::vector<std::string> programArguments(int argc, char** argv);
