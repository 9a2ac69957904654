// SPDX-License-Identifier: GPL-3.0-or-later
// What a subject's session of a BIDS dataset holds to correct: field-map pairs
// (fmap/*_epi with opposite phase encoding) with the runs they are intended for
// (IntendedFor, or B0FieldIdentifier matched with B0FieldSource), and diffusion runs of
// opposite directions without a field map, paired through their b = 0 volumes.
// Whatever cannot be paired or corrected is reported with its file and the reason.
#pragma once

#include <string>
#include <vector>

#include "dataset/workitem.h"

struct DatasetFinding {
    std::string file;  // below the dataset's folder
    std::string reason;
};

struct SessionPlan {
    std::string subject;  // "01"
    std::string session;  // "1", or empty for a subject without sessions
    std::vector<WorkItem> items;
    // Field maps that cannot be paired and runs that a field map names but that cannot be
    // corrected with it.
    std::vector<DatasetFinding> problems;
    // Runs that nothing corrects: no field map names them and they have no partner.
    std::vector<DatasetFinding> notes;
    std::vector<std::string> inputs;  // every image of the session, below the dataset's folder
};

struct DiscoverySettings {
    std::string datasetFolder;  // absolute
    std::string outputFolder;   // absolute
    std::vector<std::string> estimateOptions;
    bool combine = false;  // pair the runs of an item that differ only in dir- for combining
};

// The subject labels of the dataset ("01" for sub-01), sorted.
std::vector<std::string> datasetSubjects(const std::string& datasetFolder);
// The session labels of a subject, sorted; one empty label for a subject without ses-*.
std::vector<std::string> subjectSessions(const std::string& datasetFolder, const std::string& subject);

SessionPlan discoverSession(const DiscoverySettings& settings, const std::string& subject, const std::string& session);

// "sub-01" or "sub-01_ses-1".
std::string sessionPrefix(const std::string& subject, const std::string& session);
