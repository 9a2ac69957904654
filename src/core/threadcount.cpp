// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/threadcount.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

int availableCores()
{
#if defined(__linux__)
    // Cores taken away by taskset, a container or a batch system's binding do not count.
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int parseThreadCount(const std::string& text, const std::string& source)
{
    int count = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (text.empty() || error != std::errc() || stop != end || count < 1 || count > kMaximumThreads)
        throw std::invalid_argument(source + " must be a whole number of threads from 1 to " +
                                    std::to_string(kMaximumThreads) + ", not \"" + text + "\".");
    return count;
}

int defaultThreadCount()
{
    const char* variable = std::getenv("VARNO_THREADS");
    if (variable != nullptr && *variable != '\0') return parseThreadCount(variable, "VARNO_THREADS");
    return std::min(availableCores(), kMaximumThreads);
}
