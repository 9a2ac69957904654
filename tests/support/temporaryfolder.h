// SPDX-License-Identifier: GPL-3.0-or-later
// A temporary folder that a test works in, and reading a file whole.
#pragma once

#include <string>

class TemporaryFolder {
public:
    // A new, empty folder under the system's temporary folder.
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

// Every byte of a file; empty when it cannot be read.
std::string readWhole(const std::string& path);
