// SPDX-License-Identifier: GPL-3.0-or-later
// The outputs of a command that writes many files into one folder, put in place together
// or not at all. Results are written into a hidden work folder inside the output folder
// and moved into place by commit(). Files that others name and write in place (the
// plug-in's projects, maps and copies) are registered first: a file of an earlier run at
// such a place is moved into the work folder, to come back if the command fails. A
// command that fails before its commit leaves the output folder as it found it. The
// folder is locked for the transaction (FOLDER/.varno-lock); what a killed run left there
// is cleaned first; a command whose output is one file of a shared folder locks that file
// instead (.NAME.varno-lock beside it), so that runs writing other files there go on.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands/inplaceoutputs.h"
#include "commands/outputlock.h"

class OutputTransaction {
public:
    // Makes the output folder (and its parents) when missing, locks it and makes the work
    // folder in it. Throws std::runtime_error naming the folder when it cannot be made,
    // OutputLocked when another run writes into it.
    explicit OutputTransaction(std::filesystem::path folder);
    // The same, locking only the output named (a file in the folder) instead of the folder.
    OutputTransaction(std::filesystem::path folder, const std::string& output);
    // Takes back what was written, unless committed.
    ~OutputTransaction();
    OutputTransaction(const OutputTransaction&) = delete;
    OutputTransaction& operator=(const OutputTransaction&) = delete;

    // Where to write the results: a file written there as NAME is put at folder/NAME by
    // commit().
    const std::filesystem::path& workFolder() const { return work_; }
    // A folder below the output folder for files written in place; made when missing and
    // removed again, when empty, if the command fails. What a killed run left in it goes.
    void makeFolder(const std::filesystem::path& folder);
    // A file that will be written in place. What is there now is kept aside and put back
    // if the command fails; throws std::runtime_error when it cannot be moved.
    void writesInPlace(const std::string& path);
    // Moves every result into the output folder. Throws std::runtime_error when one cannot
    // be moved, after removing what was moved.
    void commit();

private:
    std::filesystem::path folder_;
    std::vector<std::filesystem::path> createdFolders_;  // outermost first
    std::optional<OutputLock> lock_;
    std::filesystem::path work_;
    InPlaceOutputs inPlace_;
    bool committed_ = false;
};
