#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "core/SysUtils.h"
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

TEST(MessageQueue, SeveralPostersWhileTheOwnerPumpsKeepEachOrderAndLoseNothing)
{
    constexpr int kPosters = 4;
    constexpr int kEach = 3000;
    std::vector<std::vector<int>> seen(kPosters);
    int total = 0;
    HWND w = AllocateHWnd([&](TMessage& m) {
        seen[m.WParam].push_back(static_cast<int>(m.LParam));
        ++total;
    });
    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(PostMessage(w, WM_USER, static_cast<WPARAM>(p), i));
        });
    }
    go = true;
    // The owner pumps while the posters run, so posts land before, during and after passes.
    EXPECT_TRUE(pumpUntil([&] { return total == kPosters * kEach; }, 20000));
    for (auto& t : posters) t.join();
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(total, kPosters * kEach);
    for (int p = 0; p < kPosters; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kEach)) << "poster " << p;
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[p][i], i) << "poster " << p;
    }
    DeallocateHWnd(w);
}

TEST(MessageQueue, OnlyTheOwnerThreadMayPumpWatchOrSend)
{
    auto& q = MessageQueue::Current();
    int calls = 0;
    HWND w = AllocateHWnd([&](TMessage&) { ++calls; });
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    q.Watch(fds[0], 0, [](std::uint32_t) {});
    const std::vector<std::pair<const char*, std::function<void()>>> ownerOnly = {
        {"ProcessPending", [&] { q.ProcessPending(); }},
        {"WaitNext", [&] { q.WaitNext(0); }},
        {"Run", [&] { q.Run(); }},
        {"Watch", [&] { q.Watch(fds[1], EPOLLOUT, [](std::uint32_t) {}); }},
        {"ModifyWatch", [&] { q.ModifyWatch(fds[0], EPOLLIN); }},
        {"Unwatch", [&] { q.Unwatch(fds[0]); }},
        {"QuitReceived", [&] { (void)q.QuitReceived(); }},
        {"ResetQuit", [&] { q.ResetQuit(); }},
        {"SetPump", [&] { q.SetPump(nullptr, nullptr); }},
        {"Pump", [&] { q.Pump(); }},
        {"PumpWait", [&] { q.PumpWait(0); }},
        {"SendMessage", [&] { SendMessage(w, WM_USER, 0, 0); }},
    };
    std::thread t([&] {
        for (auto& [name, call] : ownerOnly) {
            try {
                call();
                ADD_FAILURE() << name << " ran off the owner thread";
            } catch (const EInvalidOperation& e) {
                EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
            }
        }
        // Posting and asking for pending work are for every thread.
        EXPECT_TRUE(PostMessage(w, WM_USER, 0, 0));
        EXPECT_TRUE(q.HasPending());
    });
    t.join();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 0);
    q.ProcessPending();
    EXPECT_EQ(calls, 2);
    q.Unwatch(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    DeallocateHWnd(w);
}

TEST(MessageQueue, PumpHooksServeOnlyTheQueueTheyWereInstalledOn)
{
    auto& q = MessageQueue::Current();
    int processed = 0, waited = 0, got = 0;
    HWND w = AllocateHWnd([&](TMessage&) { ++got; });
    q.SetPump(
        [&] {
            ++processed;
            q.ProcessPending();
        },
        [&](int t) {
            ++waited;
            q.WaitNext(t);
        });
    PostMessage(w, WM_USER, 0, 0);
    WaitMessage(1000);
    ProcessMessages();
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(waited, 1);
    EXPECT_EQ(got, 1);
    // A worker's pump is its own queue's, never the hooks of another thread.
    std::thread t([] {
        int mine = 0;
        HWND own = AllocateHWnd([&](TMessage&) { ++mine; });
        PostMessage(own, WM_USER, 0, 0);
        WaitMessage(1000);
        ProcessMessages();
        EXPECT_EQ(mine, 1);
        DeallocateHWnd(own);
    });
    t.join();
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(waited, 1);
    q.SetPump(nullptr, nullptr);
    PostMessage(w, WM_USER, 0, 0);
    ProcessMessages();
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(got, 2);
    DeallocateHWnd(w);
}
