// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>

#include "boundary/allocator.h"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <malloc.h>

TEST(Allocator, VolumeSizedBlocksComeFromTheHeapAndStayWithTheProcess)
{
    suitAllocatorToVolumes();
    const std::size_t mappedBefore = mallinfo2().hblks;
    // A 128 x 128 x 60 volume of floats, which glibc's own threshold maps on its own.
    void* volume = std::malloc(128 * 128 * 60 * sizeof(float));
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(mallinfo2().hblks, mappedBefore);
    const std::size_t heldBefore = mallinfo2().arena;
    std::free(volume);
    EXPECT_EQ(mallinfo2().arena, heldBefore);
}
#endif
