// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/threadsoption.h"

#include <stdexcept>

#include "boundary/hoststate.h"
#include "core/threadcount.h"

const OptionSpec& threadsOption()
{
    static const OptionSpec option{"--threads", "N",
                                   "threads to compute with (default: VARNO_THREADS, else the number of cores)"};
    return option;
}

int requestedThreads(const ParsedCommandLine& command)
{
    try {
        return command.has("--threads") ? parseThreadCount(command.value("--threads"), "--threads")
                                        : defaultThreadCount();
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
}

CommandThreads::CommandThreads(int threads) : workers_(threads)
{
    hostState().intParameters["threads"] = threads;
}
