// SPDX-License-Identifier: GPL-3.0-or-later
// PNG files read back into RGB rasters, for tests that look at the pixels of a picture.
#pragma once

#include <string>

#include "report/drawing.h"

// Throws std::runtime_error when the bytes are not a PNG.
RgbImage decodePng(const std::string& bytes);
RgbImage readPngFile(const std::string& path);
