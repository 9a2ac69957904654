// SPDX-License-Identifier: GPL-3.0-or-later
// Saving displacement maps through the host's map services, and their file names.
#pragma once

#include <array>
#include <string>

#include "core/volume.h"

// "run1.fmr" -> "run1_vdm.map"
std::string vdmMapName(const std::string& projectPath);
// "run1.fmr" -> "run1_vdmderiv.map"
std::string derivativeMapName(const std::string& projectPath);

// Hands the map (transposed back to the stored orientation when transposed is set) to
// the host's current FMR document with the two header values, and has the host save it
// under path. Throws an assertion error when the host gives no map of the map's extent,
// and WriteFileError "could not save the map <path>" when the host reports that saving
// failed.
void saveVdmMap(const Volume& volume, bool transposed, float firstValue, float secondValue, const std::string& path);

// Saves the map of the first of two projects and its negation as the second's beside them,
// and their derivatives along y when asked.
void savePairMaps(const Volume& vdm, const std::array<std::string, 2>& paths, bool transposed, bool saveDerivative);
