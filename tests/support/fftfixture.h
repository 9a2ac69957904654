// SPDX-License-Identifier: GPL-3.0-or-later
// Points the global FFT table at the host's FFT forwards, as initPlugin does for the
// plug-in, so that tests smooth through the same table.
#pragma once

#include <gtest/gtest.h>

#include "boundary/fftforward.h"
#include "core/fftapi.h"

// Fixture for tests that smooth: the table is filled before each test and restored after.
class HostFftTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fftApi;
        installHostFft();
    }
    void TearDown() override { fftApi = previous_; }

private:
    FftApi previous_;
};
