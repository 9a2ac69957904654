// Helpers for end-to-end tests: a temporary folder, and running a program in it.
#pragma once

#include <string>
#include <vector>

class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return folder; }
    // Writes a file in the folder and returns its full path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string folder;
};

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

// Every byte of a file; empty when it cannot be read.
std::string readWhole(const std::string& path);

// The built host, build/bin/mindaro.
std::string mindaroPath();
