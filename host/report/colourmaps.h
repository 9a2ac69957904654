// SPDX-License-Identifier: GPL-3.0-or-later
// Colour maps of the pictures: grey for images, a dark-to-bright heat scale for
// differences and a diverging blue-white-red scale for signed maps.
#pragma once

#include "report/drawing.h"

// t from 0 to 1, clamped; NaN gives black.
Rgb greyColour(double t);
// t from 0 (black) through purple, red and orange to pale yellow at 1, clamped.
Rgb heatColour(double t);
// t from -1 (dark blue) through white at 0 to 1 (dark red), clamped.
Rgb divergingColour(double t);

// (1 - alpha) * under + alpha * over, alpha from 0 to 1.
Rgb blend(Rgb under, Rgb over, double alpha);
