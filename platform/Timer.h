// A one-shot timer served by the calling thread's message queue, for time-outs of components
// that live on that thread.
#pragma once

#include <functional>

namespace kapo {

// After Start(ms), OnTimer runs from a pass of the creating thread's message queue once the
// time has passed, unless Stop or another Start came first. The timer is a descriptor watched
// by the queue, so a thread waiting for messages wakes up for it. Use it on the creating
// thread only; it may be destroyed from inside its own OnTimer.
class TQueueTimer {
public:
    explicit TQueueTimer(std::function<void()> OnTimer);
    ~TQueueTimer();
    TQueueTimer(const TQueueTimer&) = delete;
    TQueueTimer& operator=(const TQueueTimer&) = delete;

    // Arms (or re-arms) the timer; a time of 0 or less fires at the next pass.
    void Start(int Milliseconds);
    void Stop();
    bool Active() const { return FActive; }

private:
    void Expired();

    std::function<void()> FOnTimer;
    int FFd = -1;
    bool FActive = false;
};

}  // namespace kapo
