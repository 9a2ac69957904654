// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the host talks to a person: standard input or standard error on a terminal
// (a console window on Windows).
#pragma once

bool inputIsTerminal();
bool errorIsTerminal();
