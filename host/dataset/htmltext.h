// SPDX-License-Identifier: GPL-3.0-or-later
// Small pieces of the plain HTML pages of a dataset run.
#pragma once

#include <string>

#include "report/reportpage.h"  // escapeHtml, madeWith

// The start of a page with its title and a small inline style sheet, and its end.
std::string pageStart(const std::string& title);
std::string pageEnd();
// A number with the given digits after the point.
std::string fixed(double value, int digits);
