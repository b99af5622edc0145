#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/MessageQueue.h"

using namespace kapo;

namespace {

// Pumps until the condition holds; fails instead of hanging.
template <typename F>
bool pumpUntil(F cond, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    auto& q = MessageQueue::Current();
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        q.WaitNext(50);
        q.ProcessPending();
    }
    return true;
}

struct Target {
    explicit Target(std::vector<std::string>& log, std::string name)
    {
        Wnd = AllocateHWnd([&log, name](TMessage& m) { log.push_back(name + ":" + std::to_string(m.Msg)); });
    }
    ~Target() { DeallocateHWnd(Wnd); }
    HWND Wnd;
};

}  // namespace

TEST(MessageQueue, FifoAcrossTargetsAndReleasedTargetsDropped)
{
    std::vector<std::string> log;
    Target a(log, "a"), b(log, "b");
    auto* c = new Target(log, "c");
    PostMessage(a.Wnd, WM_USER + 1, 0, 0);
    PostMessage(b.Wnd, WM_USER + 2, 0, 0);
    PostMessage(c->Wnd, WM_USER + 3, 0, 0);
    PostMessage(a.Wnd, WM_USER + 4, 0, 0);
    HWND gone = c->Wnd;
    delete c;
    EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(log, (std::vector<std::string>{"a:1025", "b:1026", "a:1028"}));
}

TEST(MessageQueue, PostedDuringDispatchWaitsForTheNextRound)
{
    std::vector<int> seen;
    HWND w = 0;
    w = AllocateHWnd([&](TMessage& m) {
        seen.push_back(static_cast<int>(m.WParam));
        if (m.WParam == 1) PostMessage(w, WM_USER, 3, 0);
    });
    PostMessage(w, WM_USER, 1, 0);
    PostMessage(w, WM_USER, 2, 0);
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    // The queue tells a waiting loop that work is left.
    EXPECT_TRUE(MessageQueue::Current().WaitNext(0));
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    DeallocateHWnd(w);
}

TEST(MessageQueue, NestedPumpKeepsTheOrder)
{
    std::vector<int> seen;
    HWND w = AllocateHWnd([&](TMessage& m) {
        seen.push_back(static_cast<int>(m.WParam));
        // A synchronous wait inside a handler pumps the same queue.
        if (m.WParam == 1) MessageQueue::Current().ProcessPending();
    });
    for (int i = 1; i <= 4; ++i) PostMessage(w, WM_USER, static_cast<WPARAM>(i), 0);
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
    DeallocateHWnd(w);
}

TEST(MessageQueue, PostFromAnotherThreadWakesTheWait)
{
    int got = 0;
    HWND w = AllocateHWnd([&](TMessage& m) { got = static_cast<int>(m.LParam); });
    std::thread t([w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PostMessage(w, WM_USER, 0, 77);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(MessageQueue::Current().WaitNext(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    MessageQueue::Current().ProcessPending();
    t.join();
    EXPECT_EQ(got, 77);
    DeallocateHWnd(w);
}

TEST(MessageQueue, QuitStopsTheLoopWithItsCode)
{
    auto& q = MessageQueue::Current();
    PostQuitMessage(3);
    EXPECT_EQ(q.Run(), 3);
    EXPECT_FALSE(q.QuitReceived());
}

TEST(MessageQueue, WatchedDescriptorCallsBackAndWaitReturns)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto& q = MessageQueue::Current();
    int calls = 0;
    q.Watch(fds[0], EPOLLIN, [&](std::uint32_t ev) {
        ++calls;
        char c;
        EXPECT_TRUE(ev & EPOLLIN);
        EXPECT_EQ(::read(fds[0], &c, 1), 1);
    });
    EXPECT_FALSE(q.WaitNext(0));
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_TRUE(pumpUntil([&] { return calls == 1; }));
    q.Unwatch(fds[0]);
    ASSERT_EQ(::write(fds[1], "y", 1), 1);
    EXPECT_FALSE(q.WaitNext(0));
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(MessageQueue, EachThreadHasItsOwnQueue)
{
    std::vector<std::string> log;
    Target mine(log, "main");
    std::thread t([&] {
        int n = 0;
        HWND w = AllocateHWnd([&](TMessage&) { ++n; });
        PostMessage(w, WM_USER, 0, 0);
        PostMessage(mine.Wnd, WM_USER, 0, 0);  // to the main thread's target
        MessageQueue::Current().ProcessPending();
        EXPECT_EQ(n, 1);
        DeallocateHWnd(w);
    });
    t.join();
    EXPECT_TRUE(log.empty());
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(log.size(), 1u);
}
