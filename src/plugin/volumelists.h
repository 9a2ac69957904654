// SPDX-License-Identifier: GPL-3.0-or-later
// The volumes of a project that an estimate uses, from the dialog's lists: "all", or volume
// numbers counted from 0 and separated by commas ("0,1,2").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The listed volumes in the order given, for a project of count volumes. Throws
// std::runtime_error for a list that is not one, a volume given twice, and a volume beyond
// the project's ("Cannot use volume K of file P, which has only N volumes.").
std::vector<unsigned> listedVolumes(const std::string& list, std::size_t count, const std::string& path);
