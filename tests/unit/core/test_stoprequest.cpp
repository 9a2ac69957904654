// SPDX-License-Identifier: GPL-3.0-or-later
// A stop request: the first signal stays, every poll after it throws, and a module can
// follow another module's flag (the plug-in the host's).
#include <gtest/gtest.h>

#include <csignal>

#include "core/stoprequest.h"

namespace {

struct Withdrawn {
    ~Withdrawn()
    {
        withdrawStopRequest();
        followStopFlag(nullptr);
    }
};

}  // namespace

TEST(StopRequest, TheFirstSignalStaysAndEveryPollThrows)
{
    const Withdrawn after;
    EXPECT_EQ(stopSignal(), 0);
    EXPECT_NO_THROW(throwIfStopRequested());
    requestStop(SIGTERM);
    requestStop(SIGINT);
    EXPECT_EQ(stopSignal(), SIGTERM);
    try {
        throwIfStopRequested();
        FAIL() << "no stop";
    } catch (const StopRequested& stop) {
        EXPECT_EQ(stop.signal(), SIGTERM);
        EXPECT_STREQ(stop.what(), "stopped by SIGTERM");
    }
    EXPECT_THROW(throwIfStopRequested(), StopRequested);
    EXPECT_STREQ(StopRequested(SIGINT).what(), "stopped by SIGINT (Ctrl-C)");
}

TEST(StopRequest, AModuleFollowsTheFlagItIsGiven)
{
    const Withdrawn after;
    StopFlag host{0};
    followStopFlag(&host);
    requestStop(SIGINT);  // its own flag, no longer the one polled
    EXPECT_EQ(stopSignal(), 0);
    host.store(SIGTERM);
    EXPECT_EQ(stopSignal(), SIGTERM);
    followStopFlag(nullptr);
    EXPECT_EQ(stopSignal(), SIGINT);
}
