// Whether the host talks to a person: standard input or standard error on a terminal
// (a console window on Windows).
#pragma once

bool inputIsTerminal();
bool errorIsTerminal();
