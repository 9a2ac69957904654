// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/busycursor.h"
#include "cli/terminal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

class Spinner {
public:
    Spinner() = default;
    Spinner(const Spinner&) = delete;
    Spinner& operator=(const Spinner&) = delete;

    // A spinner left running (a step that never stopped its cursor) ends with the program.
    ~Spinner()
    {
        std::unique_lock lock(mutex);
        if (!running) return;
        depth = 1;
        lock.unlock();
        stop();
    }

    void show()
    {
        std::unique_lock lock(mutex);
        if (depth++ > 0 || !errorIsTerminal()) return;
        running = true;
        start = std::chrono::steady_clock::now();
        thread = std::thread([this] { spin(); });
    }

    void stop()
    {
        std::unique_lock lock(mutex);
        if (depth == 0 || --depth > 0 || !running) return;
        running = false;
        lock.unlock();
        wake.notify_all();
        thread.join();
        lock.lock();
        clearLine();
    }

    void withCleared(const std::function<void()>& output)
    {
        std::unique_lock lock(mutex);
        if (running) clearLine();
        output();
    }

private:
    void spin()
    {
        static const char frames[] = "|/-\\";
        std::unique_lock lock(mutex);
        for (int frame = 0; running; ++frame) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
            std::fprintf(stderr, "\r%c working... %llds", frames[frame % 4], static_cast<long long>(seconds.count()));
            std::fflush(stderr);
            wake.wait_for(lock, std::chrono::milliseconds(125), [this] { return !running; });
        }
    }

    // A Windows console shows escape sequences as text: there the line is overwritten
    // with spaces instead.
    void clearLine()
    {
#if defined(_WIN32)
        std::fputs("\r                                \r", stderr);
#else
        std::fputs("\r\033[K", stderr);
#endif
        std::fflush(stderr);
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    std::chrono::steady_clock::time_point start;
    int depth = 0;
    bool running = false;
};

Spinner& spinner()
{
    static Spinner instance;
    return instance;
}

}  // namespace

void showBusyCursor()
{
    spinner().show();
}

void stopBusyCursor()
{
    spinner().stop();
}

void withBusyCursorCleared(const std::function<void()>& output)
{
    spinner().withCleared(output);
}
