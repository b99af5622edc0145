#include "platform/Timer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "platform/MessageQueue.h"

namespace kapo {

TQueueTimer::TQueueTimer(std::function<void()> OnTimer) : FOnTimer(std::move(OnTimer))
{
    FFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (FFd < 0) throw std::runtime_error("timer: cannot create a timer descriptor");
    try {
        MessageQueue::Current().Watch(FFd, EPOLLIN, [this](std::uint32_t) { Expired(); });
    } catch (...) {
        ::close(FFd);
        throw;
    }
}

TQueueTimer::~TQueueTimer()
{
    MessageQueue::Current().Unwatch(FFd);
    ::close(FFd);
}

void TQueueTimer::Start(int Milliseconds)
{
    // An all-zero time would disarm the descriptor instead of firing at once.
    long ms = Milliseconds > 0 ? Milliseconds : 0;
    itimerspec t{};
    t.it_value.tv_sec = ms / 1000;
    t.it_value.tv_nsec = ms % 1000 * 1000000L + (ms == 0 ? 1 : 0);
    ::timerfd_settime(FFd, 0, &t, nullptr);
    FActive = true;
}

void TQueueTimer::Stop()
{
    itimerspec off{};
    ::timerfd_settime(FFd, 0, &off, nullptr);
    // An expiry not yet read would keep the level-triggered descriptor ready.
    std::uint64_t n;
    while (::read(FFd, &n, sizeof n) > 0) {
    }
    FActive = false;
}

void TQueueTimer::Expired()
{
    std::uint64_t n = 0;
    // A readiness left over from an earlier arming, already read, is not an expiry.
    if (::read(FFd, &n, sizeof n) != static_cast<ssize_t>(sizeof n) || n == 0 || !FActive) return;
    FActive = false;
    auto handler = FOnTimer;
    handler();
}

}  // namespace kapo
