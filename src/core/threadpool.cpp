// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/threadpool.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/stoprequest.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

namespace {

// Set on a thread while it runs a piece: loops inside a piece run on that thread alone.
thread_local bool insidePiece = false;
thread_local std::size_t slot = 0;

// The thread's state while it runs pieces of a loop, restored afterwards.
class RunningPieces {
public:
    RunningPieces(bool inside, std::size_t threadSlot) : previousInside_(insidePiece), previousSlot_(slot)
    {
        insidePiece = inside;
        slot = threadSlot;
    }
    ~RunningPieces()
    {
        insidePiece = previousInside_;
        slot = previousSlot_;
    }
    RunningPieces(const RunningPieces&) = delete;
    RunningPieces& operator=(const RunningPieces&) = delete;

private:
    bool previousInside_;
    std::size_t previousSlot_;
};

constexpr std::size_t kNoPiece = std::numeric_limits<std::size_t>::max();

// One parallel loop: pieces are handed out in increasing order, so when a piece fails
// every lower piece has already been taken and runs to its end.
struct Loop {
    Loop(std::size_t count, threadpool_detail::PieceFunction function, const void* context)
        : pieces(count), call(function), work(context)
    {
    }

    const std::size_t pieces;
    const threadpool_detail::PieceFunction call;
    const void* const work;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failedPiece{kNoPiece};
    std::atomic<bool> stopped{false};
    std::mutex errorMutex;
    std::exception_ptr error;

    void runShare(std::size_t threadSlot)
    {
        const RunningPieces running(true, threadSlot);
        for (;;) {
            if (stopSignal() != 0) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const std::size_t piece = next.fetch_add(1, std::memory_order_relaxed);
            if (piece >= pieces || piece > failedPiece.load(std::memory_order_relaxed)) return;
            try {
                call(work, piece);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(errorMutex);
                if (piece < failedPiece.load(std::memory_order_relaxed)) {
                    failedPiece.store(piece, std::memory_order_relaxed);
                    error = std::current_exception();
                }
            }
        }
    }

    void finish()
    {
        if (error) std::rethrow_exception(error);
        if (stopped.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < pieces)
            throwIfStopRequested();
    }
};

// Threads started by this process's pool get no termination signals (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT): their handlers run on a thread that the program itself runs, and the
// request to stop they make ends the loops under way.
class TerminationSignalsBlocked {
public:
    TerminationSignalsBlocked()
    {
#if !defined(_WIN32)
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
#endif
    }
    ~TerminationSignalsBlocked()
    {
#if !defined(_WIN32)
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
#endif
    }
    TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
    TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

private:
#if !defined(_WIN32)
    sigset_t previous_;
#endif
};

}  // namespace

struct WorkerThreads::Pool {
    explicit Pool(int threadCount) : threads(threadCount) {}
    ~Pool()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (std::thread& worker : workers) worker.join();
    }

    // A system that refuses further threads leaves the work to those it gave.
    void startWorkers()
    {
        started = true;
        const TerminationSignalsBlocked blocked;
        workers.reserve(static_cast<std::size_t>(threads - 1));
        try {
            for (int i = 1; i < threads; ++i)
                workers.emplace_back([this, i] { serve(static_cast<std::size_t>(i)); });
        } catch (const std::system_error&) {
        }
    }

    void serve(std::size_t threadSlot)
    {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || (loop != nullptr && generation != seen); });
            if (stopping) return;
            seen = generation;
            Loop* current = loop;
            ++busy;
            lock.unlock();
            current->runShare(threadSlot);
            lock.lock();
            if (--busy == 0) idle.notify_all();
        }
    }

    // The caller takes pieces too; the loop ends when no worker holds it any more.
    void run(Loop& current)
    {
        if (!started) startWorkers();
        {
            const std::lock_guard<std::mutex> lock(mutex);
            loop = &current;
            ++generation;
        }
        wake.notify_all();
        current.runShare(0);
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [&] { return busy == 0; });
        loop = nullptr;
    }

    const int threads;
    std::mutex caller;  // one loop at a time; a second caller runs its loop alone
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::vector<std::thread> workers;
    bool started = false;
    Loop* loop = nullptr;
    std::uint64_t generation = 0;
    int busy = 0;
    bool stopping = false;
};

namespace {

std::atomic<WorkerThreads::Pool*> currentPool{nullptr};

}  // namespace

WorkerThreads::WorkerThreads(int threads)
    : pool_(std::make_unique<Pool>(std::max(threads, 1))), previous_(currentPool.exchange(pool_.get()))
{
}

WorkerThreads::~WorkerThreads()
{
    currentPool.store(previous_);
}

std::size_t workerSlot()
{
    return slot;
}

int parallelThreads()
{
    const WorkerThreads::Pool* pool = currentPool.load();
    return pool == nullptr || insidePiece ? 1 : pool->threads;
}

void threadpool_detail::runPieces(std::size_t pieces, PieceFunction call, const void* work)
{
    if (pieces == 0) return;
    Loop loop(pieces, call, work);
    WorkerThreads::Pool* pool = currentPool.load();
    if (pieces == 1 && stopSignal() == 0) {
        // One piece runs as plain code: loops inside it may still share the threads.
        const RunningPieces running(insidePiece, 0);
        call(work, 0);
        return;
    }
    if (pool == nullptr || pool->threads == 1 || insidePiece) {
        loop.runShare(0);
    } else {
        std::unique_lock<std::mutex> only(pool->caller, std::try_to_lock);
        if (only.owns_lock())
            pool->run(loop);
        else
            loop.runShare(0);
    }
    loop.finish();
}
