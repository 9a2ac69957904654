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

// Runs the program (command[0], a path) with its arguments in the folder, standard input
// from /dev/null, the test's environment plus the "NAME=VALUE" entries given (which
// replace entries of the same name), and waits for it.
ProcessResult runProcess(const std::vector<std::string>& command, const std::string& folder,
                         const std::vector<std::string>& environment = {});

// The built host, build/bin/mindaro.
std::string mindaroPath();
