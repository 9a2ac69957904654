// SPDX-License-Identifier: GPL-3.0-or-later
// Names of the temporary files and folders that this system makes beside its outputs,
// and their removal once the process that made them is gone. Every name carries the
// machine and the process that made it:
//
//   .varno-HOST-PID-RANDOM.KIND      e.g. .varno-node7-4242-0f3a9c81d2e4b5a6.part
//
// so that a later run can tell its own leftovers (same machine, process no longer
// running) from the files of a run still going on, here or on another machine of a
// cluster that shares the folder.
#pragma once

#include <optional>
#include <string>

// The machine's name as the system gives it, "localhost" when it gives none.
std::string machineName();
long processId();
// Whether the process of this machine with the id is running; true when it cannot be told.
bool processRunning(long pid);

// A new name in the folder, KIND its extension ("part", "kept", ...); no other process and
// no earlier call of this one picks it.
std::string temporaryPath(const std::string& folder, const std::string& kind);

struct TemporaryName {
    std::string machine;
    long pid = 0;
    std::string kind;   // the extension
    std::string rest;   // what follows the kind after a '-', for names that carry more
};
// The parts of a name made by temporaryPath (the file name alone); nothing for other names.
std::optional<TemporaryName> parseTemporaryName(const std::string& name);
// The name was made by a process of this machine that is no longer running.
bool isStaleTemporary(const std::string& name);

// Removes the stale temporaries of the folder ("" for the current one; not of its
// subfolders): "part" files (outputs being written), "work" folders (results not yet put
// in place) and "kept" files: a "kept" file is the earlier version of an output that a
// run which never finished set aside, and goes back under its own name (the rest of its
// name), in place of what that run wrote.
// Returns the number of files removed or put back; never throws.
int removeStaleTemporaries(const std::string& folder);
