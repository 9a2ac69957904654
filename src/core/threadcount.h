// SPDX-License-Identifier: GPL-3.0-or-later
// How many threads the work runs on: what the user asks for (a command-line option, the
// environment variable VARNO_THREADS or the dialog parameter "threads"), or the cores
// that the process may use.
#pragma once

#include <string>

constexpr int kMaximumThreads = 1024;

// The processors this process may run on (its affinity mask where the system has one,
// else every core of the machine); at least 1.
int availableCores();

// A thread count given as text: a whole number from 1 to kMaximumThreads. Otherwise
// throws std::invalid_argument with a message that names the source ("--threads").
int parseThreadCount(const std::string& text, const std::string& source);

// VARNO_THREADS when it is set and not empty (checked by parseThreadCount), else
// availableCores(), at most kMaximumThreads.
int defaultThreadCount();
