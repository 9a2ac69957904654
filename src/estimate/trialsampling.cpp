// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/trialsampling.h"

#include <climits>
#include <cstring>

#include "core/floatlanes.h"
#include "core/vectorlanes.h"

namespace {

float positionOf(const TrialColumn& line, const float* trials, std::size_t t)
{
    const float shift = line.displacement + trials[t] * line.weight;
    return line.row + (line.negated ? -shift : shift);
}

// Eight trials at a time, each lane doing what positionOf and interpolatedAt do; returns the
// first t left to the one-trial loop.
inline std::size_t sampleInLanes(const TrialColumn& line, const float* trials, std::size_t count, float* values,
                                 std::int32_t* inside)
{
    const float top = static_cast<float>(line.ny - 1);
    const int nx = static_cast<int>(line.nx);
    std::size_t t = 0;
    for (; t + 8 <= count; t += 8) {
        Floats8 trial;
        std::memcpy(&trial, trials + t, sizeof trial);
        const Floats8 shift = line.displacement + trial * line.weight;
        const Floats8 h = line.row + (line.negated ? -shift : shift);
        const Ints8 in = (h > 0.0f) & (h < top);
        // Lanes outside convert 0, so that no conversion overflows.
        const Ints8 j = __builtin_convertvector(in ? h : Floats8{}, Ints8);
        const Floats8 f = h - __builtin_convertvector(j, Floats8);
        Floats8 low, high;
        gatherLanes(line.column, j * nx, in, low);
        gatherLanes(line.column, (j + 1) * nx, in, high);
        const Floats8 value = (1.0f - f) * low + f * high;
        std::memcpy(values + t, &value, sizeof value);
        std::memcpy(inside + t, &in, sizeof in);
    }
    return t;
}

[[gnu::target("avx2"), gnu::flatten]] std::size_t sampleAvx2(const TrialColumn& line, const float* trials,
                                                            std::size_t count, float* values, std::int32_t* inside)
{
    return sampleInLanes(line, trials, count, values, inside);
}

}  // namespace

void sampleTrials(const TrialColumn& line, const float* trials, std::size_t count, float* values,
                  std::int32_t* inside)
{
    // Lanes index the column with 32-bit integers.
    const bool lanes =
        processorHasAvx2() && line.nx <= static_cast<std::size_t>(INT_MAX) / static_cast<std::size_t>(line.ny + 1);
    for (std::size_t t = lanes ? sampleAvx2(line, trials, count, values, inside) : 0; t < count; ++t) {
        const float h = positionOf(line, trials, t);
        inside[t] = h > 0.0f && h < static_cast<float>(line.ny - 1) ? -1 : 0;
        if (inside[t] != 0) values[t] = interpolatedAt(h, line.nx, line.column);
    }
}
