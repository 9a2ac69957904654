// SPDX-License-Identifier: GPL-3.0-or-later
// Eight float lanes for the AVX2 variants of the sampling loops.
#pragma once

#include <immintrin.h>

typedef float Floats8 __attribute__((vector_size(32)));
typedef int Ints8 __attribute__((vector_size(32)));

// base[index] in each lane whose mask is all ones; the other lanes read nothing and hold 0.
// An out parameter rather than a returned vector: this is inlined into AVX2 variants, and a
// returned AVX vector would change the ABI of the portable code around them.
[[gnu::target("avx2")]] inline void gatherLanes(const float* base, const Ints8& index, const Ints8& mask,
                                                Floats8& out)
{
    out = reinterpret_cast<Floats8>(_mm256_mask_i32gather_ps(_mm256_setzero_ps(), base,
                                                             reinterpret_cast<__m256i>(index),
                                                             reinterpret_cast<__m256>(mask), 4));
}
