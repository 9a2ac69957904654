// SPDX-License-Identifier: GPL-3.0-or-later
// The host's busy cursor: on a terminal, a spinner with the elapsed seconds on standard
// error; nothing otherwise.
#pragma once

#include <functional>

void showBusyCursor();
void stopBusyCursor();

// Runs output with the spinner line cleared away, so that the output does not mix with it.
void withBusyCursorCleared(const std::function<void()>& output);
