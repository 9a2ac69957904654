// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/linearsampling.h"

#include <cstring>

#include "core/floatlanes.h"
#include "core/vectorlanes.h"
#include "core/volume.h"

namespace {

// Eight positions at a time, each lane doing what sampleLinearAt does (interpolationFloor
// included); returns the first i left to the one-position loop.
inline int sampleInLanes(const float* data, int n, const float* positions, float offset, float scale, float* out,
                         int count)
{
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        Floats8 t;
        std::memcpy(&t, positions + i, sizeof t);
        t = t + offset;
        // Lanes outside (-3, 2^30) convert 0 instead, so that no conversion or subtraction
        // overflows; their results are replaced in the order of interpolationFloor (a NaN or
        // a position at or below -3 first).
        const Ints8 inRange = (t > -3.0f) & (t < 1073741824.0f);
        const Ints8 truncated = __builtin_convertvector(inRange ? t + 2.0f : Floats8{}, Ints8) - 2;
        Ints8 i0 = t < 1073741824.0f ? truncated : Ints8{} + 1073741824;
        i0 = t > -3.0f ? i0 : Ints8{} - 3;
        const Ints8 i1 = i0 + 1;
        Floats8 a, b;
        gatherLanes(data, i0, (i0 >= 0) & (i0 < n), a);
        gatherLanes(data, i1, (i1 >= 0) & (i1 < n), b);
        const Floats8 value =
            ((t - __builtin_convertvector(i0, Floats8)) * b + (__builtin_convertvector(i1, Floats8) - t) * a) * scale;
        std::memcpy(out + i, &value, sizeof value);
    }
    return i;
}

[[gnu::target("avx2"), gnu::flatten]] int sampleAvx2(const float* data, int n, const float* positions, float offset,
                                                    float scale, float* out, int count)
{
    return sampleInLanes(data, n, positions, offset, scale, out, count);
}

}  // namespace

void sampleLinearScaled(const float* data, int n, const float* positions, float offset, float scale, float* out,
                        int count)
{
    for (int i = processorHasAvx2() ? sampleAvx2(data, n, positions, offset, scale, out, count) : 0; i < count; ++i)
        out[i] = sampleLinearAt(data, n, positions[i] + offset) * scale;
}
