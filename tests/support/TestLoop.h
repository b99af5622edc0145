// Waiting in tests without hanging them: a watchdog that ends a stuck test program, and pumping
// the calling thread's message loop until a condition holds. No Qt: the layers below the window
// use it too; in a window test the same pump serves Qt's events, since the application installs
// its hooks on the thread's queue.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/MessageQueue.h"

namespace testsupport {

constexpr int kDeadlineMs = 30000;

// Ends the process with a message if the test is still running after the time given, so a
// blocking loop fails the run instead of hanging it.
class Watchdog {
public:
    explicit Watchdog(int ms = 60000)
        : FThread([this, ms] {
              std::unique_lock<std::mutex> l(FLock);
              if (!FDone.wait_for(l, std::chrono::milliseconds(ms), [this] { return FStop; })) {
                  std::fprintf(stderr, "watchdog: test still running after %d ms\n", ms);
                  std::_Exit(3);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> g(FLock);
            FStop = true;
        }
        FDone.notify_all();
        FThread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex FLock;
    std::condition_variable FDone;
    bool FStop = false;
    std::thread FThread;
};

// Pumps the calling thread's loop until pred holds; false if the time runs out first.
inline bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = kDeadlineMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        kapo::ProcessMessages();
        if (pred()) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        kapo::WaitMessage(static_cast<int>(std::min<long long>(left.count(), 100)));
    }
}

// Pumps for a while, to see that nothing more happens.
inline void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

}  // namespace testsupport
