// SPDX-License-Identifier: GPL-3.0-or-later
// Ctrl-C (SIGINT), SIGTERM (what a batch system sends at a time limit) and SIGHUP ask the
// command to stop: the request is polled by the long loops (core/stoprequest.h), which
// unwind as after an error, so that temporary files go and outputs stay as they were. A
// second signal ends the process at once; the next run removes what it left.
#pragma once

#include <functional>
#include <string>

// Installs the handlers; called once, first thing in main.
void catchStopSignals();

// What the running command leaves undone when it stops now, in a sentence; the command
// sets it as it goes. Empty: the command has nothing to say beyond having stopped.
void describeUndone(std::function<std::string()> description);

// Prints "mindaro COMMAND: stopped by SIGNAL. WHAT WAS LEFT UNDONE" on standard error and
// returns the exit status of a command stopped by the signal: 128 + its number.
int reportStop(const std::string& command, int signal);
