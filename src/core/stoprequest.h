// SPDX-License-Identifier: GPL-3.0-or-later
// A request to stop the work under way: made once, by a signal handler or another thread,
// and polled by long loops on any thread. A loop that sees it throws StopRequested, so
// that the stack unwinds as after any error and every temporary file goes with it.
//
//   for (const Volume& volume : run) {
//       throwIfStopRequested();
//       ...
//   }
#pragma once

#include <atomic>
#include <stdexcept>

// A module's stop flag: the number of the signal that asked to stop, 0 while none did.
using StopFlag = std::atomic<int>;

// Raised where a loop noticed the request; what() names the signal.
class StopRequested : public std::runtime_error {
public:
    explicit StopRequested(int signal);
    int signal() const { return signal_; }

private:
    int signal_;
};

// Asks the work to stop; the first request stays. Safe in a signal handler.
void requestStop(int signal) noexcept;
// The signal of the request, 0 when there is none.
int stopSignal() noexcept;
// Throws StopRequested when a stop was requested.
void throwIfStopRequested();
// Forgets the request (for tests).
void withdrawStopRequest() noexcept;

// "SIGINT (Ctrl-C)", "SIGTERM", "signal 10".
const char* signalDescription(int signal) noexcept;

// This module's own flag. A plug-in follows the flag of the host that loaded it instead,
// where the host offers one: followStopFlag(&flag), or nullptr to go back to its own.
StopFlag& ownStopFlag() noexcept;
void followStopFlag(const StopFlag* flag) noexcept;
