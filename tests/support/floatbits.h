// SPDX-License-Identifier: GPL-3.0-or-later
// The bits of a float, for tests that compare results bit for bit (NaNs and signed zeros
// included).
#pragma once

#include <cstdint>
#include <cstring>

inline std::uint32_t bitsOf(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}
