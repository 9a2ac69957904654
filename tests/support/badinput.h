// SPDX-License-Identifier: GPL-3.0-or-later
// The bad-input matrix: a folder of inputs watched for any change, and one run of the
// built mindaro in it whose exit status, messages and new files are checked exactly.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/runprocess.h"

// Everything that a run could change about one entry of a folder.
struct EntryState {
    std::filesystem::file_type type = std::filesystem::file_type::none;
    std::filesystem::perms permissions = std::filesystem::perms::none;
    std::filesystem::file_time_type modified;
    std::string contents;   // bytes of a regular file, target of a symbolic link
    bool operator==(const EntryState&) const = default;
};

// Relative path -> state of every entry below the folder (links are not followed).
std::map<std::string, EntryState> folderState(const std::string& folder);

struct Answer {
    Answer(int status, std::string err, std::optional<std::string> out = std::nullopt,
           std::vector<std::string> newEntries = {})
        : status(status), err(std::move(err)), out(std::move(out)), newEntries(std::move(newEntries))
    {
    }
    int status;
    std::string err;                      // standard error, exactly
    std::optional<std::string> out;       // standard output, exactly, when given
    std::vector<std::string> newEntries;  // entries the run must add (relative paths, sorted)
};

// What the host prints for a task that stopped with an error: "Error: MESSAGE".
std::string taskError(const std::string& message);

// Runs `mindaro ARGUMENTS...` in the folder within kHostileAddressSpace and checks the
// answer; every entry that was there before must be unchanged afterwards. Counts one
// hostile case, and whether it crashed, changed an input or succeeded where it should not.
void expectAnswer(const std::string& folder, const std::vector<std::string>& arguments, const Answer& answer);
// The same with a command line made by the caller (for example a wrapper around mindaro).
void expectAnswerOf(const std::string& folder, const std::vector<std::string>& command, const Answer& answer);
// A hostile case whose messages the caller checks itself: runs `mindaro ARGUMENTS...` as
// expectAnswer does, checks the exit status and that every entry that was there before is
// unchanged (new entries may appear), counts it and returns what it printed.
ProcessResult runHostileCase(const std::string& folder, const std::vector<std::string>& arguments, int status);

void writeContents(const std::string& path, const std::string& bytes);

// A small AP/PA phantom pair (16 x 16 x 4, two volumes; DMR/DWI with float data when
// diffusion is set) with the estimated maps AP_vdm.map and PA_vdm.map, in the folder.
void writePhantomPair(const std::string& folder, bool diffusion = false);

// The same kind of pair as NIfTI images ap.nii and pa.nii (16 x 16 x 4, int16, one volume,
// the geometry of writeTestImage) with sidecars ap.json and pa.json giving the directions
// j and j- and a readout time of 0.05 s.
void writeNiftiPhantomPair(const std::string& folder);
