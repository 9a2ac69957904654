// SPDX-License-Identifier: GPL-3.0-or-later
// Linear interpolation of one array at many positions, in vector lanes where the
// processor has them.
#pragma once

// out[i] = sampleLinearAt(data, n, positions[i] + offset) * scale for i in [0, count):
// the same bits as that loop, eight positions at a time with AVX2.
void sampleLinearScaled(const float* data, int n, const float* positions, float offset, float scale, float* out,
                        int count);
