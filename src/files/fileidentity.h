// SPDX-License-Identifier: GPL-3.0-or-later
// Whether two names lead to one file, and the check that keeps a step from writing over
// what it reads. Every task and command that writes checks its outputs with it before it
// writes anything.
#pragma once

#include <string>
#include <vector>

// A file that a step reads or writes, and what it is to the step ("data file of run.fmr");
// an empty role leaves the path to speak for itself.
struct StepFile {
    std::string path;
    std::string role;
};

// True when both names lead to one file: the same device and inode when both exist (so
// hard and symbolic links count), else the same absolute path once "." and ".." and the
// links of its existing folders are resolved.
bool sameFile(const std::string& first, const std::string& second);

enum class RepeatedOutputs {
    Refused,   // two outputs that are one file: the second would overwrite the first
    Allowed,   // the same output written twice with the same content (a list naming a project twice)
};

// Throws WriteFileError naming both files when an output is the same file as an input, or
// (unless allowed) when two outputs are one file.
void requireOutputsApartFromInputs(const std::vector<StepFile>& inputs, const std::vector<StepFile>& outputs,
                                   RepeatedOutputs repeats = RepeatedOutputs::Refused);
