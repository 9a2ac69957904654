// SPDX-License-Identifier: GPL-3.0-or-later
// Work split into fixed pieces and run on the calling thread and a few worker threads.
//
// The caller chooses the pieces (slices, lines, blocks of a fixed size) without looking
// at the number of threads, and every piece writes only its own part of the result, so
// the result is the same, bit for bit, whatever the number of threads. Sums over pieces
// are kept per piece and added in piece order by the caller (see partialsOfPieces).
//
// A WorkerThreads object makes the threads available for its lifetime; without one, and
// inside a piece, work runs on the calling thread alone. Workers start at the first
// parallel call, never call a host service and are joined when the object goes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class WorkerThreads {
public:
    // threads counts the calling thread: 1 runs everything on it. At least 1.
    explicit WorkerThreads(int threads);
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    struct Pool;

private:
    std::unique_ptr<Pool> pool_;
    Pool* previous_;
};

// Work that runs on a worker thread while the calling thread goes on with other work (work
// that must stay on the calling thread, such as host services): its parallel loops share
// the threads that are free, and join() waits for it, taking pieces of its loops, and
// rethrows what it threw. Without worker threads, and inside a piece, the work runs at
// once on the calling thread, in the constructor. Join (or destroy) the object before the
// WorkerThreads object goes; destroying it unjoined waits for the work and drops its error.
class BackgroundWork {
public:
    explicit BackgroundWork(std::function<void()> work);
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    void join();

    struct Task;

private:
    std::unique_ptr<Task> task_;
};

// The threads that parallel work of the calling thread uses now (1 without WorkerThreads).
int parallelThreads();

// Within a piece, the slot of the thread that runs it: from 0 to parallelThreads() - 1 as
// the loop's caller saw it, one slot per thread. Pieces keep scratch space per slot.
std::size_t workerSlot();

namespace threadpool_detail {
using PieceFunction = void (*)(const void* work, std::size_t piece);
void runPieces(std::size_t pieces, PieceFunction call, const void* work, bool stoppable);

template <typename Work>
void runEach(std::size_t pieces, const Work& work, bool stoppable)
{
    runPieces(pieces, [](const void* w, std::size_t piece) { (*static_cast<const Work*>(w))(piece); }, &work, stoppable);
}

template <typename Work>
void runBlocks(std::size_t count, std::size_t blockSize, const Work& work, bool stoppable)
{
    const std::size_t blocks = (count + blockSize - 1) / blockSize;
    runEach(
        blocks,
        [&](std::size_t block) {
            const std::size_t begin = block * blockSize;
            work(begin, std::min(count, begin + blockSize));
        },
        stoppable);
}
}  // namespace threadpool_detail

// Calls work(piece) once for every piece in [0, pieces), concurrently on the available
// threads. When pieces throw, the exception of the lowest such piece is rethrown on the
// calling thread after the pieces under way have ended; later pieces may not run. After a
// stop request (core/stoprequest.h) no further piece starts and the loop throws
// StopRequested on its calling thread.
template <typename Work>
void forEachPiece(std::size_t pieces, const Work& work)
{
    threadpool_detail::runEach(pieces, work, true);
}

// forEachPiece over [0, count) cut into blocks of blockSize (the last one shorter):
// work(begin, end) for each block.
template <typename Work>
void forEachBlock(std::size_t count, std::size_t blockSize, const Work& work)
{
    threadpool_detail::runBlocks(count, blockSize, work, true);
}

// forEachPiece that a stop request does not cut short: for steps that must end whole, such
// as copying or filling a volume's voxels (a copy is no place to stop, and a step that
// threw half-way would lose the array it had allocated).
template <typename Work>
void forEachPieceToTheEnd(std::size_t pieces, const Work& work)
{
    threadpool_detail::runEach(pieces, work, false);
}

// forEachBlock that a stop request does not cut short.
template <typename Work>
void forEachBlockToTheEnd(std::size_t count, std::size_t blockSize, const Work& work)
{
    threadpool_detail::runBlocks(count, blockSize, work, false);
}

// partial(piece) for every piece, in piece order, for the caller to combine in that order.
template <typename T, typename Partial>
std::vector<T> partialsOfPieces(std::size_t pieces, const Partial& partial)
{
    std::vector<T> partials(pieces);
    forEachPiece(pieces, [&](std::size_t piece) { partials[piece] = partial(piece); });
    return partials;
}
