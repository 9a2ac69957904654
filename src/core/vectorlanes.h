// SPDX-License-Identifier: GPL-3.0-or-later
// Parallel loops whose pieces are compiled a second time for AVX2 and run so where the
// processor has it. The pieces' code is inlined into an AVX2 function, where the compiler
// gives the element-wise loops eight float lanes instead of four; it reorders no sum
// (no fast-math), so each voxel's operations and the bits stay those of the portable code.
#pragma once

#include <cstddef>

#include "core/threadpool.h"

// Whether the processor runs AVX2 code; asked once.
bool processorHasAvx2();

namespace vectorlanes_detail {

template <typename Work>
[[gnu::target("avx2"), gnu::flatten]] void pieceAvx2(const Work& work, std::size_t piece)
{
    work(piece);
}

template <typename Work>
[[gnu::target("avx2"), gnu::flatten]] void blockAvx2(const Work& work, std::size_t begin, std::size_t end)
{
    work(begin, end);
}
}  // namespace vectorlanes_detail

// forEachPiece with the pieces compiled for AVX2 where the processor has it.
template <typename Work>
void forEachPieceInLanes(std::size_t pieces, const Work& work)
{
    if (processorHasAvx2())
        forEachPiece(pieces, [&work](std::size_t piece) { vectorlanes_detail::pieceAvx2(work, piece); });
    else
        forEachPiece(pieces, work);
}

// forEachBlock with the blocks compiled for AVX2 where the processor has it.
template <typename Work>
void forEachBlockInLanes(std::size_t count, std::size_t blockSize, const Work& work)
{
    if (processorHasAvx2())
        forEachBlock(count, blockSize,
                     [&work](std::size_t begin, std::size_t end) { vectorlanes_detail::blockAvx2(work, begin, end); });
    else
        forEachBlock(count, blockSize, work);
}
