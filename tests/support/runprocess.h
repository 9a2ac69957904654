// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for end-to-end tests: running a program in a temporary folder.
#pragma once

#include <string>
#include <vector>

#include "support/temporaryfolder.h"

struct ProcessResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// The address space given to a program run on hostile input: what it may allocate at
// most, so that a run that would exhaust memory fails inside it instead of the machine.
// 0 in builds with AddressSanitizer, whose shadow memory needs far more address space.
extern const unsigned long long kHostileAddressSpace;

// Runs the program (command[0], a path) with its arguments in the folder, standard input
// from /dev/null, the test's environment plus the "NAME=VALUE" entries given (which
// replace entries of the same name), and waits for it. A nonzero addressSpace (bytes)
// limits the program's address space (as "ulimit -v" does).
ProcessResult runProcess(const std::vector<std::string>& command, const std::string& folder,
                         const std::vector<std::string>& environment = {}, unsigned long long addressSpace = 0);

// The built host, build/bin/mindaro.
std::string mindaroPath();

// Runs the built host with the arguments in the folder (environment as for runProcess).
ProcessResult mindaroIn(const std::string& folder, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment = {});
