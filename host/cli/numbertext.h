// SPDX-License-Identifier: GPL-3.0-or-later
// Numbers in messages: the shortest form of up to six significant digits ("0.05", "1e+06").
#pragma once

#include <string>

std::string numberText(double value);
