// SPDX-License-Identifier: GPL-3.0-or-later
// What is wrong with an input file, found by reading it as the plug-in does and said in
// words that name the file. The dialog's own messages are terse ("error reading from
// binary file", "Can only read DataStorageFormat 3, Not 1") and stay as they are; the
// commands add this after them, and "check" reports it for every project.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct FileProblem {
    std::string file;  // the file it is about: a header, its data file or a map
    std::string text;  // a sentence naming that file
};

// The first problem of a project (a name ending in ".fmr" is read as FMR, any other as
// DMR): a header that cannot be opened, keys the data need that it lacks, a storage format
// that cannot be read, a data file that is missing or not of the size the header promises.
std::optional<FileProblem> projectProblem(const std::string& path);
// The first problem of a ".map" file: missing, ending inside its header, an empty text,
// fewer slices than its header promises.
std::optional<FileProblem> mapProblem(const std::string& path);

// What check says of a project that has no problem: kind, extent, volumes and data file.
std::string projectSummary(const std::string& path);

// After a plug-in step failed: prints "mindaro COMMAND: " and the first problem of the
// inputs (maps first) whose file the error shown does not name, or, after "All datasets
// must have the same dimensions!", the extents of the inputs.
void explainFailedTask(const std::string& command, const std::vector<std::string>& maps,
                       const std::vector<std::string>& projects);
