// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/stopsignals.h"

#include <csignal>
#include <iostream>
#include <utility>

#include "core/stoprequest.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

std::function<std::string()>& undone()
{
    static std::function<std::string()> description;
    return description;
}

extern "C" void onStopSignal(int signal)
{
    if (stopSignal() != 0) {
        // The second request: no more waiting for the work to wind down.
#if !defined(_WIN32)
        static const char text[] = "\nmindaro: stopped at once; the next run removes the temporary files left behind.\n";
        [[maybe_unused]] const auto written = write(STDERR_FILENO, text, sizeof text - 1);
#endif
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    requestStop(signal);
#if defined(_WIN32)
    std::signal(signal, onStopSignal);  // the C runtime resets the handler before calling it
#endif
}

}  // namespace

void catchStopSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#if defined(SIGHUP)
    std::signal(SIGHUP, onStopSignal);
#endif
}

void describeUndone(std::function<std::string()> description)
{
    undone() = std::move(description);
}

int reportStop(const std::string& command, int signal)
{
    std::string text = "mindaro " + command + ": " + StopRequested(signal).what() + ".";
    if (undone()) {
        const std::string what = undone()();
        if (!what.empty()) text += " " + what;
    }
    std::cerr << text << std::endl;
    return 128 + signal;
}
