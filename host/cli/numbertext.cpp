// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/numbertext.h"

#include <sstream>

std::string numberText(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}
