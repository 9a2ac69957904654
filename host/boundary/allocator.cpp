// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/allocator.h"

#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void suitAllocatorToVolumes()
{
#if defined(__GLIBC__)
    constexpr int kHeapBlock = 32 << 20;
    mallopt(M_MXFAST, 0);
    mallopt(M_MMAP_THRESHOLD, kHeapBlock);
    mallopt(M_TRIM_THRESHOLD, 2 * kHeapBlock);
#endif
}
