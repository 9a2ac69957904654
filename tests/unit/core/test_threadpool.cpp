// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/stoprequest.h"
#include "core/threadcount.h"
#include "core/threadpool.h"

namespace {

// Pieces long enough that every worker takes some.
void briefly()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST(ThreadPool, EveryPieceRunsExactlyOnceForAnyThreadCount)
{
    for (int threads : {1, 2, 3, 8}) {
        const WorkerThreads pool(threads);
        for (std::size_t pieces : {0u, 1u, 2u, 7u, 1000u}) {
            std::vector<std::atomic<int>> runs(pieces);
            forEachPiece(pieces, [&](std::size_t piece) { ++runs[piece]; });
            for (std::size_t piece = 0; piece < pieces; ++piece)
                EXPECT_EQ(runs[piece].load(), 1) << threads << " threads, piece " << piece << " of " << pieces;
        }
        std::vector<int> covered(1003, 0);
        forEachBlock(covered.size(), 10, [&](std::size_t begin, std::size_t end) {
            EXPECT_EQ(begin % 10, 0u);
            EXPECT_EQ(end, std::min<std::size_t>(begin + 10, 1003));
            for (std::size_t i = begin; i < end; ++i) ++covered[i];
        });
        EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), 1003);
    }
}

TEST(ThreadPool, PiecesShareTheThreadsAndLoopsInsideAPieceStayOnItsThread)
{
    const WorkerThreads pool(4);
    EXPECT_EQ(parallelThreads(), 4);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    bool nestedOnOwnThread = true;
    forEachPiece(64, [&](std::size_t) {
        briefly();
        const std::thread::id self = std::this_thread::get_id();
        std::set<std::thread::id> nested;
        forEachPiece(8, [&](std::size_t) { nested.insert(std::this_thread::get_id()); });
        const std::lock_guard<std::mutex> lock(mutex);
        threads.insert(self);
        nestedOnOwnThread = nestedOnOwnThread && nested == std::set<std::thread::id>{self} && parallelThreads() == 1;
    });
    EXPECT_GT(threads.size(), 1u);
    EXPECT_LE(threads.size(), 4u);
    EXPECT_TRUE(nestedOnOwnThread);
}

TEST(ThreadPool, EachThreadKeepsOneSlotAndNestedLoopsUseSlotZero)
{
    const WorkerThreads pool(3);
    std::mutex mutex;
    std::vector<std::set<std::thread::id>> threadsOfSlot(static_cast<std::size_t>(parallelThreads()));
    bool nestedInSlotZero = true;
    forEachPiece(48, [&](std::size_t) {
        briefly();
        const std::size_t slot = workerSlot();
        std::vector<std::size_t> nested;
        forEachPiece(3, [&](std::size_t) { nested.push_back(workerSlot()); });
        const std::lock_guard<std::mutex> lock(mutex);
        ASSERT_LT(slot, threadsOfSlot.size());
        threadsOfSlot[slot].insert(std::this_thread::get_id());
        nestedInSlotZero = nestedInSlotZero && nested == std::vector<std::size_t>{0, 0, 0} && workerSlot() == slot;
    });
    for (const auto& threads : threadsOfSlot) EXPECT_LE(threads.size(), 1u);
    EXPECT_EQ(threadsOfSlot[0], std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_TRUE(nestedInSlotZero);
}

TEST(ThreadPool, WithoutWorkerThreadsEverythingRunsOnTheCallerInOrder)
{
    EXPECT_EQ(parallelThreads(), 1);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::size_t> order;
    forEachPiece(5, [&](std::size_t piece) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        order.push_back(piece);
    });
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    {
        const WorkerThreads outer(3);
        {
            const WorkerThreads inner(2);
            EXPECT_EQ(parallelThreads(), 2);
        }
        EXPECT_EQ(parallelThreads(), 3);
    }
    EXPECT_EQ(parallelThreads(), 1);
}

TEST(ThreadPool, TheLowestFailingPieceIsReportedAndLaterPiecesStop)
{
    for (int threads : {1, 2, 8}) {
        const WorkerThreads pool(threads);
        std::atomic<int> ran{0};
        try {
            forEachPiece(2000, [&](std::size_t piece) {
                ++ran;
                if (piece == 9 || piece == 5) throw std::runtime_error("piece " + std::to_string(piece));
                // Long against the unwinding of a throw, which takes milliseconds under Wine:
                // with 100 us the 8 threads there ran every piece before the failure was seen.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
            ADD_FAILURE() << "no exception with " << threads << " threads";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "piece 5") << threads << " threads";
        }
        EXPECT_LT(ran.load(), 2000) << threads << " threads";
        // The pool is ready for the next loop.
        std::atomic<int> next{0};
        forEachPiece(100, [&](std::size_t) { ++next; });
        EXPECT_EQ(next.load(), 100);
    }
}

TEST(ThreadPool, PartialsComeBackInPieceOrder)
{
    const WorkerThreads pool(3);
    const std::vector<double> partials = partialsOfPieces<double>(50, [](std::size_t piece) {
        if (piece % 7 == 0) briefly();
        return static_cast<double>(piece) * 0.5;
    });
    ASSERT_EQ(partials.size(), 50u);
    for (std::size_t piece = 0; piece < partials.size(); ++piece) EXPECT_EQ(partials[piece], piece * 0.5);
}

TEST(ThreadPool, AStopRequestEndsTheLoopAfterThePiecesUnderWay)
{
    const WorkerThreads pool(4);
    std::atomic<int> ran{0};
    try {
        forEachPiece(100000, [&](std::size_t piece) {
            ++ran;
            if (piece == 20) requestStop(SIGTERM);
        });
        ADD_FAILURE() << "the loop ran to its end";
    } catch (const StopRequested& stop) {
        EXPECT_EQ(stop.signal(), SIGTERM);
    }
    EXPECT_LT(ran.load(), 1000);
    // A later loop does not start either.
    bool started = false;
    EXPECT_THROW(forEachPiece(2, [&](std::size_t) { started = true; }), StopRequested);
    EXPECT_FALSE(started);
    withdrawStopRequest();
    forEachPiece(2, [&](std::size_t) { started = true; });
    EXPECT_TRUE(started);
}

// Background work beside the caller's own loops: every piece of both runs once, each
// loop's threads keep distinct slots below parallelThreads(), and the work's loops see
// every thread of the pool.
TEST(BackgroundWork, RunsBesideTheCallersLoopsWithDistinctSlotsPerLoop)
{
    for (int threads : {2, 3, 8}) {
        const WorkerThreads pool(threads);
        const std::thread::id caller = std::this_thread::get_id();
        // Per loop: the thread of each slot, and whether two threads ever shared one.
        struct LoopRecord {
            std::mutex mutex;
            std::vector<std::set<std::thread::id>> threadsOfSlot;
            std::vector<std::atomic<int>> runs;
            explicit LoopRecord(int threadCount, std::size_t pieces)
                : threadsOfSlot(static_cast<std::size_t>(threadCount)), runs(pieces)
            {
            }
            void record(std::size_t piece)
            {
                briefly();
                ++runs[piece];
                const std::lock_guard<std::mutex> lock(mutex);
                ASSERT_LT(workerSlot(), threadsOfSlot.size());
                threadsOfSlot[workerSlot()].insert(std::this_thread::get_id());
            }
        };
        std::vector<std::unique_ptr<LoopRecord>> workLoops, callerLoops;
        for (int i = 0; i < 3; ++i) {
            workLoops.push_back(std::make_unique<LoopRecord>(threads, 40));
            callerLoops.push_back(std::make_unique<LoopRecord>(threads, 40));
        }
        std::thread::id workThread;
        int workThreads = 0;
        BackgroundWork work([&] {
            workThread = std::this_thread::get_id();
            workThreads = parallelThreads();
            for (auto& loop : workLoops) forEachPiece(40, [&](std::size_t piece) { loop->record(piece); });
        });
        for (auto& loop : callerLoops) forEachPiece(40, [&](std::size_t piece) { loop->record(piece); });
        work.join();
        EXPECT_NE(workThread, caller) << threads << " threads";
        EXPECT_EQ(workThreads, threads);
        for (const auto* loops : {&workLoops, &callerLoops})
            for (const auto& loop : *loops) {
                for (const std::atomic<int>& runs : loop->runs) EXPECT_EQ(runs.load(), 1) << threads << " threads";
                for (const auto& slotThreads : loop->threadsOfSlot) EXPECT_LE(slotThreads.size(), 1u);
            }
    }
}

// The joining thread takes pieces of the work's loops: with one worker busy in a piece
// that waits for the next piece, only the caller can run that piece.
TEST(BackgroundWork, JoiningTakesPiecesOfTheWorksLoops)
{
    const WorkerThreads pool(2);
    std::mutex mutex;
    std::condition_variable changed;
    bool secondRan = false;
    bool waitedInVain = false;
    std::set<std::thread::id> threadsOfPieces;
    BackgroundWork work([&] {
        forEachPiece(2, [&](std::size_t piece) {
            std::unique_lock<std::mutex> lock(mutex);
            threadsOfPieces.insert(std::this_thread::get_id());
            changed.notify_all();
            if (piece == 0) {
                waitedInVain = !changed.wait_for(lock, std::chrono::seconds(20), [&] { return secondRan; });
            } else {
                secondRan = true;
                changed.notify_all();
            }
        });
    });
    {
        // The worker took the work and one piece before the caller joins.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !threadsOfPieces.empty(); });
    }
    work.join();
    EXPECT_FALSE(waitedInVain);
    EXPECT_EQ(threadsOfPieces.size(), 2u);
    EXPECT_EQ(threadsOfPieces.count(std::this_thread::get_id()), 1u);
}

TEST(BackgroundWork, WithoutWorkersItRunsAtOnceOnTheCaller)
{
    for (int threads : {0, 1}) {
        std::unique_ptr<WorkerThreads> pool;
        if (threads == 1) pool = std::make_unique<WorkerThreads>(1);
        std::vector<std::string> order;
        BackgroundWork work([&] {
            EXPECT_EQ(parallelThreads(), 1);
            order.push_back("work");
        });
        order.push_back("caller");
        work.join();
        EXPECT_EQ(order, (std::vector<std::string>{"work", "caller"}));
        EXPECT_THROW(BackgroundWork([] { throw std::runtime_error("at once"); }), std::runtime_error);
    }
    // Inside a piece too.
    const WorkerThreads pool(3);
    forEachPiece(4, [&](std::size_t) {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id ranOn;
        BackgroundWork work([&] { ranOn = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, self);
    });
}

TEST(BackgroundWork, JoinRethrowsTheWorksErrorAndAStopEndsItsLoops)
{
    const WorkerThreads pool(3);
    BackgroundWork failing([] {
        forEachPiece(50, [](std::size_t piece) {
            if (piece == 7) throw std::runtime_error("piece 7");
        });
    });
    try {
        failing.join();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "piece 7");
    }
    failing.join();  // the error is reported once

    std::atomic<int> ran{0};
    BackgroundWork stopped([&] {
        forEachPiece(100000, [&](std::size_t piece) {
            ++ran;
            if (piece == 20) requestStop(SIGTERM);
        });
    });
    EXPECT_THROW(stopped.join(), StopRequested);
    EXPECT_LT(ran.load(), 1000);
    withdrawStopRequest();

    // Destroyed without a join: waits for the work and drops its error.
    std::atomic<bool> finished{false};
    {
        BackgroundWork dropped([&] {
            briefly();
            finished = true;
            throw std::runtime_error("dropped");
        });
    }
    EXPECT_TRUE(finished.load());
}

TEST(ThreadCount, CountsAreWholeNumbersWithinTheLimits)
{
    EXPECT_EQ(parseThreadCount("1", "--threads"), 1);
    EXPECT_EQ(parseThreadCount("1024", "--threads"), 1024);
    for (const char* bad : {"", "0", "-2", "1025", "2x", " 2", "+2", "1.5", "99999999999"}) {
        try {
            parseThreadCount(bad, "VARNO_THREADS");
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()),
                      "VARNO_THREADS must be a whole number of threads from 1 to 1024, not \"" + std::string(bad) + "\".");
        }
    }
    EXPECT_GE(availableCores(), 1);
}
