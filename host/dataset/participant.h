// SPDX-License-Identifier: GPL-3.0-or-later
// The participant level of a dataset run: every selected subject's sessions discovered,
// their work items run as separate processes a few at a time, and per subject a summary,
// a log and a page; the dataset description of the derivatives.
#pragma once

#include <string>
#include <vector>

struct DatasetRun {
    std::string datasetFolder;  // absolute
    std::string outputFolder;   // absolute
    std::vector<std::string> subjects;  // labels without "sub-"; all when empty
    std::vector<std::string> sessions;  // labels without "ses-"; all when empty
    int jobs = 1;
    int threads = 1;  // of each work item
    bool skipExisting = false;
    bool force = false;
    bool combine = false;  // twins that differ only in dir- also become one combined run
    std::vector<std::string> estimateOptions;  // forwarded to every item
    // How this program runs itself: its path and the options before the command.
    std::vector<std::string> self;
    std::string pluginVersion;
};

// The subjects to process: the labels given (an error names those the dataset lacks), or
// every subject. Throws std::runtime_error.
std::vector<std::string> selectSubjects(const DatasetRun& run);

// Checks the folders: the dataset has a dataset_description.json, the output folder is
// not the dataset's folder and lies nowhere but in its derivatives. Throws std::runtime_error.
void checkFolders(const DatasetRun& run);

// Returns the exit status: 0 when every item was done and nothing named could not be
// corrected, 1 otherwise. The summary goes to standard output, progress too.
int runParticipantLevel(const DatasetRun& run);

// OUTPUT/dataset_description.json.
void writeDatasetDescription(const DatasetRun& run);
