// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/threadpool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

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

// Loops follow each other closely; a thread about to sleep first waits this long, giving
// way to other threads, for what it waits for: a sleeping thread takes tens of
// microseconds to wake, as long as many of the loops take.
constexpr std::chrono::microseconds kBeforeSleeping{50};

template <typename Waiting>
void yieldWhile(const Waiting& waiting)
{
    const auto end = std::chrono::steady_clock::now() + kBeforeSleeping;
    while (waiting() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
}

// One parallel loop: pieces are handed out in increasing order, so when a piece fails
// every lower piece has already been taken and runs to its end.
struct Loop {
    Loop(std::size_t count, threadpool_detail::PieceFunction function, const void* context, bool stoppable)
        : pieces(count), call(function), work(context), stoppable(stoppable)
    {
    }

    const std::size_t pieces;
    const threadpool_detail::PieceFunction call;
    const void* const work;
    const bool stoppable;  // whether a stop request ends the loop early
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failedPiece{kNoPiece};
    std::atomic<bool> stopped{false};
    std::mutex errorMutex;
    std::exception_ptr error;
    // Shared loops: the background work whose thread opened the loop (nullptr for any
    // other thread), whether a share has ended (no piece is left to hand out), and the
    // threads other than the opener that run a share (guarded by the pool's mutex).
    const BackgroundWork::Task* task = nullptr;
    std::atomic<bool> closed{false};
    std::atomic<int> helpers{0};

    void runShare(std::size_t threadSlot)
    {
        {
            const RunningPieces running(true, threadSlot);
            for (;;) {
                if (stoppable && stopSignal() != 0) {
                    stopped.store(true, std::memory_order_relaxed);
                    break;
                }
                const std::size_t piece = next.fetch_add(1, std::memory_order_relaxed);
                if (piece >= pieces || piece > failedPiece.load(std::memory_order_relaxed)) break;
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
        closed.store(true);
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

struct BackgroundWork::Task {
    explicit Task(std::function<void()> function) : work(std::move(function)) {}

    std::function<void()> work;
    WorkerThreads::Pool* pool = nullptr;  // nullptr when the work ran in the constructor
    enum class State { Queued, Running, Done } state = State::Queued;  // guarded by the pool's mutex
    std::exception_ptr error;
};

namespace {

// The background work that the thread runs now: the loops it opens belong to it.
thread_local const BackgroundWork::Task* runningTask = nullptr;

void runTask(BackgroundWork::Task& task)
{
    const BackgroundWork::Task* previous = runningTask;
    runningTask = &task;
    try {
        task.work();
    } catch (...) {
        task.error = std::current_exception();
    }
    runningTask = previous;
}

}  // namespace

// Several loops may be open at once (the calling thread's and those of background work);
// a free worker takes queued background work first, then a share of any open loop.
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
        std::call_once(started, [this] {
            const TerminationSignalsBlocked blocked;
            workers.reserve(static_cast<std::size_t>(threads - 1));
            try {
                for (int i = 1; i < threads; ++i)
                    workers.emplace_back([this, i] { serve(static_cast<std::size_t>(i)); });
            } catch (const std::system_error&) {
            }
        });
    }

    // An open loop that still hands out pieces: any, or only those of one background work.
    Loop* loopWithWork(bool anyLoop, const BackgroundWork::Task* task) const
    {
        for (Loop* loop : open)
            if (!loop->closed.load() && (anyLoop || loop->task == task)) return loop;
        return nullptr;
    }

    // Runs a share of the loop as a helper; the lock is held on entry and on return.
    void help(Loop& loop, std::unique_lock<std::mutex>& lock)
    {
        ++loop.helpers;
        lock.unlock();
        loop.runShare(slot);
        lock.lock();
        if (--loop.helpers == 0) finished.notify_all();
    }

    // Runs a task taken off the queue on this thread; the lock is held on entry and on return.
    void runQueued(BackgroundWork::Task& task, std::unique_lock<std::mutex>& lock)
    {
        task.state = BackgroundWork::Task::State::Running;
        lock.unlock();
        runTask(task);
        lock.lock();
        task.state = BackgroundWork::Task::State::Done;
        wake.notify_all();
    }

    void serve(std::size_t threadSlot)
    {
        slot = threadSlot;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            Loop* loop = nullptr;
            const auto hasWork = [&] {
                if (stopping || !queued.empty()) return true;
                loop = loopWithWork(true, nullptr);
                return loop != nullptr;
            };
            if (!hasWork()) {
                const std::uint64_t seen = offers.load();
                lock.unlock();
                yieldWhile([&] { return offers.load() == seen; });
                lock.lock();
                wake.wait(lock, hasWork);
            }
            if (stopping) return;
            if (!queued.empty()) {
                BackgroundWork::Task* task = queued.front();
                queued.pop_front();
                runQueued(*task, lock);
            } else {
                help(*loop, lock);
            }
        }
    }

    // The opener takes pieces too; the loop ends when no helper holds it any more.
    void run(Loop& current)
    {
        startWorkers();
        current.task = runningTask;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            open.push_back(&current);
            ++offers;
        }
        wake.notify_all();
        current.runShare(slot);
        yieldWhile([&] { return current.helpers.load() != 0; });
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return current.helpers == 0; });
        open.erase(std::find(open.begin(), open.end(), &current));
    }

    void queue(BackgroundWork::Task& task)
    {
        startWorkers();
        {
            const std::lock_guard<std::mutex> lock(mutex);
            queued.push_back(&task);
            ++offers;
        }
        wake.notify_all();
    }

    // Waits for the task, helping with its loops; runs it here if no worker took it.
    void join(BackgroundWork::Task& task)
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (task.state == BackgroundWork::Task::State::Done) return;
            if (task.state == BackgroundWork::Task::State::Queued) {
                queued.erase(std::find(queued.begin(), queued.end(), &task));
                runQueued(task, lock);
                return;
            }
            if (Loop* loop = loopWithWork(false, &task))
                help(*loop, lock);
            else
                wake.wait(lock);
        }
    }

    const int threads;
    std::once_flag started;
    std::mutex mutex;
    std::condition_variable wake;      // workers and joiners: work queued, loop opened, task done
    std::condition_variable finished;  // openers: the last helper left a loop
    std::vector<std::thread> workers;
    std::vector<Loop*> open;
    std::deque<BackgroundWork::Task*> queued;
    std::atomic<std::uint64_t> offers{0};  // loops opened and work queued so far
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

void threadpool_detail::runPieces(std::size_t pieces, PieceFunction call, const void* work, bool stoppable)
{
    if (pieces == 0) return;
    Loop loop(pieces, call, work, stoppable);
    WorkerThreads::Pool* pool = currentPool.load();
    if (pieces == 1 && (!stoppable || stopSignal() == 0)) {
        // One piece runs as plain code: loops inside it may still share the threads.
        const RunningPieces running(insidePiece, insidePiece ? 0 : slot);
        call(work, 0);
        return;
    }
    if (pool == nullptr || pool->threads == 1 || insidePiece)
        loop.runShare(0);
    else
        pool->run(loop);
    loop.finish();
}

BackgroundWork::BackgroundWork(std::function<void()> work) : task_(std::make_unique<Task>(std::move(work)))
{
    WorkerThreads::Pool* pool = currentPool.load();
    if (pool == nullptr || pool->threads == 1 || insidePiece) {
        task_->state = Task::State::Done;
        task_->work();
        return;
    }
    task_->pool = pool;
    pool->queue(*task_);
}

BackgroundWork::~BackgroundWork()
{
    try {
        join();
    } catch (...) {
    }
}

void BackgroundWork::join()
{
    if (task_->pool != nullptr) {
        task_->pool->join(*task_);
        task_->pool = nullptr;
    }
    if (task_->error) std::rethrow_exception(std::exchange(task_->error, nullptr));
}
