// SPDX-License-Identifier: GPL-3.0-or-later
// "--threads N" of the commands that compute: the threads of the host's own work (the
// pictures, the agreement figures) and, through the dialog parameter "threads", of the
// plug-in's tasks.
#pragma once

#include "cli/commandline.h"
#include "core/threadpool.h"

// A function, so that the commands' declarations may copy it during static initialisation.
const OptionSpec& threadsOption();

// --threads N when given, else VARNO_THREADS, else the cores the process may use. Throws
// UsageError for a count outside 1..1024 (also from VARNO_THREADS).
int requestedThreads(const ParsedCommandLine& command);

// For the span of a command: the host's worker threads, and the dialog parameter "threads"
// that the plug-in's tasks read.
class CommandThreads {
public:
    explicit CommandThreads(int threads);

private:
    WorkerThreads workers_;
};
