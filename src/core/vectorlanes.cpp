// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/vectorlanes.h"

bool processorHasAvx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
