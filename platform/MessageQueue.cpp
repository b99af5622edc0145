#include "platform/MessageQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "core/SysUtils.h"

namespace kapo {

struct MessageQueue::Target {
    MessageQueue* Queue;
    std::shared_ptr<TWndMethod> Method;
};

namespace {

// Every live target of every thread. Guarded by one lock, so that a queue cannot go away
// while another thread posts to it.
struct Registry {
    std::mutex Lock;
    std::unordered_map<HWND, MessageQueue::Target> Targets;
    HWND Next = 1;
};

Registry& registry()
{
    // Deliberately never freed: queues of threads that end after main() still unregister here.
    static Registry* r = new Registry;
    return *r;
}

thread_local std::unique_ptr<MessageQueue> tQueue;

}  // namespace

MessageQueue& MessageQueue::Current()
{
    if (!tQueue) tQueue.reset(new MessageQueue);
    return *tQueue;
}

MessageQueue::MessageQueue() : FOwner(std::this_thread::get_id())
{
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FEpoll < 0 || FWakeFd < 0) throw std::runtime_error("message queue: cannot create descriptors");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FWakeFd;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &ev);
}

MessageQueue::~MessageQueue()
{
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.Lock);
        for (auto it = r.Targets.begin(); it != r.Targets.end();) {
            if (it->second.Queue == this) it = r.Targets.erase(it);
            else ++it;
        }
    }
    ::close(FWakeFd);
    ::close(FEpoll);
}

void MessageQueue::CheckOwner(const char* operation) const
{
    if (!OnOwnerThread())
        throw EInvalidOperation(std::string("Message queue: ") + operation + " called off the queue's own thread");
}

void MessageQueue::Wake()
{
    // Called with FLock held.
    if (FWakePending) return;
    FWakePending = true;
    std::uint64_t one = 1;
    ssize_t n = ::write(FWakeFd, &one, sizeof one);
    (void)n;
}

void MessageQueue::DrainWake()
{
    std::uint64_t v;
    while (::read(FWakeFd, &v, sizeof v) > 0) {
    }
}

void MessageQueue::Post(HWND wnd, const TMessage& m)
{
    std::lock_guard<std::mutex> g(FLock);
    FPosted.push_back(Posted{wnd, m, FNextSeq++});
    // A post made by the owner while it pumps needs no wake-up call: the running pass either
    // handles it or, on leaving, wakes whoever waits next. The depth is the owner's alone, so
    // other threads must not even look at it.
    if (OnOwnerThread() && FDispatchDepth > 0) return;
    Wake();
}

bool MessageQueue::HasPending() const
{
    std::lock_guard<std::mutex> g(FLock);
    return !FPosted.empty();
}

void MessageQueue::PollDescriptors()
{
    Ready ready[64];
    int n;
    if (FReadyCount > 0 && FReadyGeneration == FWatchGeneration) {
        // The wait that just returned already asked the system: no second question.
        n = FReadyCount;
        std::copy(FReady, FReady + n, ready);
    } else {
        epoll_event evs[64];
        n = std::max(0, ::epoll_wait(FEpoll, evs, 64, 0));
        for (int i = 0; i < n; ++i) ready[i] = Ready{evs[i].data.fd, evs[i].events};
    }
    FReadyCount = 0;
    for (int i = 0; i < n; ++i) {
        int fd = ready[i].Fd;
        if (fd == FWakeFd) continue;
        auto it = FWatches.find(fd);
        if (it == FWatches.end()) continue;
        // Keep the callback alive even if it unwatches itself.
        std::shared_ptr<TWatchProc> proc = it->second;
        (*proc)(ready[i].Events);
    }
}

bool MessageQueue::QuitReceived() const
{
    CheckOwner("QuitReceived");
    return FQuit;
}

void MessageQueue::ResetQuit()
{
    CheckOwner("ResetQuit");
    FQuit = false;
}

bool MessageQueue::ProcessPending()
{
    CheckOwner("ProcessPending");
    // On leaving, also when a handler raised: what is still queued (posted during dispatch,
    // or left behind) is handled by the next call, so make sure a waiting loop hears of it.
    struct Pass {
        MessageQueue& Q;
        explicit Pass(MessageQueue& q) : Q(q) { ++Q.FDispatchDepth; }
        ~Pass()
        {
            --Q.FDispatchDepth;
            std::lock_guard<std::mutex> g(Q.FLock);
            if (!Q.FPosted.empty()) {
                Q.FWakePending = false;
                Q.Wake();
            }
        }
    } pass(*this);
    PollDescriptors();
    std::uint64_t limit;
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FWakePending) {
            FWakePending = false;
            DrainWake();
        }
        limit = FNextSeq;
    }
    for (;;) {
        Posted p;
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FPosted.empty() || FPosted.front().Seq >= limit) break;
            p = FPosted.front();
            FPosted.pop_front();
        }
        if (p.Wnd == 0) {
            if (p.Msg.Msg == WM_QUIT) {
                // What follows the quit request stays queued for whoever pumps next.
                FQuit = true;
                FExitCode = static_cast<int>(p.Msg.WParam);
                break;
            }
            continue;
        }
        std::shared_ptr<TWndMethod> method;
        {
            auto& r = registry();
            std::lock_guard<std::mutex> g(r.Lock);
            auto it = r.Targets.find(p.Wnd);
            if (it != r.Targets.end()) method = it->second.Method;
        }
        if (method) (*method)(p.Msg);
    }
    return !FQuit;
}

bool MessageQueue::WaitNext(int timeoutMs)
{
    CheckOwner("WaitNext");
    if (HasPending()) return true;
    epoll_event evs[64];
    for (;;) {
        int n = ::epoll_wait(FEpoll, evs, 64, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        FReadyCount = std::max(0, n);
        for (int i = 0; i < FReadyCount; ++i) FReady[i] = Ready{evs[i].data.fd, evs[i].events};
        FReadyGeneration = FWatchGeneration;
        return n > 0;
    }
}

int MessageQueue::Run()
{
    CheckOwner("Run");
    while (ProcessPending()) WaitNext(-1);
    FQuit = false;
    return FExitCode;
}

// epoll reports hang-up and error whatever the mask asks for, so a descriptor whose watcher
// wants nothing is taken out of the set (a hung-up socket would otherwise wake every wait).
// A descriptor closed without Unwatch leaves the set by itself; its number may come back.
static bool controlWatch(int epollFd, int fd, std::uint32_t events)
{
    if (events == 0) {
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return true;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
    return errno == ENOENT && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void MessageQueue::Watch(int fd, std::uint32_t events, TWatchProc proc)
{
    CheckOwner("Watch");
    ++FWatchGeneration;
    if (!controlWatch(FEpoll, fd, events)) throw std::runtime_error("message queue: cannot watch descriptor");
    FWatches[fd] = std::make_shared<TWatchProc>(std::move(proc));
}

void MessageQueue::ModifyWatch(int fd, std::uint32_t events)
{
    CheckOwner("ModifyWatch");
    ++FWatchGeneration;
    if (FWatches.count(fd)) controlWatch(FEpoll, fd, events);
}

void MessageQueue::Unwatch(int fd)
{
    CheckOwner("Unwatch");
    ++FWatchGeneration;
    if (FWatches.erase(fd)) ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
}

HWND AllocateHWnd(TWndMethod method)
{
    MessageQueue& q = MessageQueue::Current();
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.Lock);
    HWND h = r.Next++;
    r.Targets.emplace(h, MessageQueue::Target{&q, std::make_shared<TWndMethod>(std::move(method))});
    return h;
}

void DeallocateHWnd(HWND wnd)
{
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.Lock);
    r.Targets.erase(wnd);
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.Lock);
    auto it = r.Targets.find(wnd);
    if (it == r.Targets.end()) return false;
    it->second.Queue->Post(wnd, TMessage{msg, wParam, lParam, 0});
    return true;
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<TWndMethod> method;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.Lock);
        auto it = r.Targets.find(wnd);
        if (it == r.Targets.end()) return 0;
        // The registry's lock keeps the queue alive; its owner never changes.
        if (!it->second.Queue->OnOwnerThread())
            throw EInvalidOperation("Message queue: SendMessage called off the target's own thread");
        method = it->second.Method;
    }
    TMessage m{msg, wParam, lParam, 0};
    (*method)(m);
    return m.Result;
}

void MessageQueue::SetPump(TProcessProc process, TWaitProc wait)
{
    CheckOwner("SetPump");
    FPumpProcess = std::move(process);
    FPumpWait = std::move(wait);
}

void MessageQueue::Pump()
{
    CheckOwner("Pump");
    if (FPumpProcess) FPumpProcess();
    else ProcessPending();
}

void MessageQueue::PumpWait(int timeoutMs)
{
    CheckOwner("PumpWait");
    if (FPumpWait) FPumpWait(timeoutMs);
    else WaitNext(timeoutMs);
}

void ProcessMessages()
{
    MessageQueue::Current().Pump();
}

void WaitMessage(int timeoutMs)
{
    MessageQueue::Current().PumpWait(timeoutMs);
}

void PostQuitMessage(int exitCode)
{
    MessageQueue::Current().Post(0, TMessage{WM_QUIT, static_cast<WPARAM>(exitCode), 0, 0});
}

}  // namespace kapo
