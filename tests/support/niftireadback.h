// SPDX-License-Identifier: GPL-3.0-or-later
// Images that the host wrote, read back for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "core/volume.h"

// Every volume of an image, raw stored values (no scaling).
std::vector<Volume> readVolumes(const std::string& path);

// Expects the output to have the input's extent, voxel sizes, units, qform and sform.
void expectSameGrid(const std::string& input, const std::string& output);
