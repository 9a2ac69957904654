// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/stoprequest.h"

#include <csignal>
#include <string>

namespace {

StopFlag ownFlag{0};
std::atomic<const StopFlag*> followed{&ownFlag};

static_assert(StopFlag::is_always_lock_free, "a signal handler may only touch a lock-free flag");

}  // namespace

StopRequested::StopRequested(int signal)
    : std::runtime_error(std::string("stopped by ") + signalDescription(signal)), signal_(signal)
{
}

void requestStop(int signal) noexcept
{
    int none = 0;
    ownFlag.compare_exchange_strong(none, signal);
}

int stopSignal() noexcept
{
    return followed.load()->load();
}

void throwIfStopRequested()
{
    if (const int signal = stopSignal(); signal != 0) throw StopRequested(signal);
}

void withdrawStopRequest() noexcept
{
    ownFlag.store(0);
}

const char* signalDescription(int signal) noexcept
{
    switch (signal) {
    case SIGINT: return "SIGINT (Ctrl-C)";
    case SIGTERM: return "SIGTERM";
#if defined(SIGHUP)
    case SIGHUP: return "SIGHUP (the terminal closed)";
#endif
    default: return "a signal";
    }
}

StopFlag& ownStopFlag() noexcept
{
    return ownFlag;
}

void followStopFlag(const StopFlag* flag) noexcept
{
    followed.store(flag != nullptr ? flag : &ownFlag);
}
