// Per-thread posted-message queue with hidden targets, in the manner of a window system's
// message loop. Usable with no GUI in the process; the GUI pumps it from its own loop.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kapo {

using HWND = std::uintptr_t;  // handle of a hidden target; 0 is none
using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;

using TWndMethod = std::function<void(TMessage&)>;

inline std::uint16_t LoWord(LPARAM v) { return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(v) & 0xFFFF); }
inline std::uint16_t HiWord(LPARAM v) { return static_cast<std::uint16_t>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFF); }
inline LPARAM MakeLong(std::uint16_t lo, std::uint16_t hi) { return static_cast<LPARAM>(lo | (static_cast<std::uint32_t>(hi) << 16)); }

class MessageQueue;

// Creates a hidden target on the calling thread's queue; messages posted to it are handed to
// the method on that thread. Handles are never reused.
HWND AllocateHWnd(TWndMethod method);
// Releases a target; messages still queued for it are dropped.
void DeallocateHWnd(HWND wnd);
// Queues a message for a target from any thread. False when the target does not exist.
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the target's method at once, on the target's own thread only (EInvalidOperation
// elsewhere). Returns the message's Result; 0 when the target does not exist.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT on the calling thread's queue.
void PostQuitMessage(int exitCode);

// Callback for a watched descriptor; receives the epoll event bits that were ready.
using TWatchProc = std::function<void(std::uint32_t events)>;

// A queue belongs to the thread that created it. Posting and HasPending may be called from any
// thread; every other member only from the owner, which is checked: a call from elsewhere
// raises EInvalidOperation instead of racing.
class MessageQueue {
public:
    // The calling thread's queue, created on first use.
    static MessageQueue& Current();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Handles what is pending now, once: ready descriptors first, then the messages that were
    // queued when the call began, in posting order. Messages posted meanwhile wait for the next
    // call. Nested calls from inside a handler continue the same order. Returns false once
    // WM_QUIT has been taken (it is not handed to any target).
    bool ProcessPending();
    // Blocks until a message is queued or a watched descriptor is ready, or the time-out (ms,
    // -1 for none) passes. Handles nothing. True when something is ready.
    bool WaitNext(int timeoutMs = -1);
    // Runs until WM_QUIT; returns its exit code.
    int Run();

    bool HasPending() const;
    bool QuitReceived() const;
    void ResetQuit();
    bool OnOwnerThread() const { return std::this_thread::get_id() == FOwner; }

    // This queue's pump: "handle what is pending once" and "wait for more work", as used by
    // ProcessMessages and WaitMessage on the owner thread. Without hooks they are
    // ProcessPending and WaitNext; a GUI installs hooks on its own thread's queue that serve
    // its events as well, so that lower layers can pump without knowing about it, while the
    // queues of other threads never run the GUI's loop. Empty functions remove the hooks.
    using TProcessProc = std::function<void()>;
    using TWaitProc = std::function<void(int timeoutMs)>;
    void SetPump(TProcessProc process, TWaitProc wait);
    void Pump();
    void PumpWait(int timeoutMs);

    // Watches a descriptor (epoll event bits, level-triggered); the callback runs on this
    // queue's thread from ProcessPending. A watcher that no longer wants to hear of a ready
    // descriptor must change its mask, or the waits return at once. A mask of 0 keeps the
    // callback but takes the descriptor out of the wait set (hang-up is reported otherwise).
    void Watch(int fd, std::uint32_t events, TWatchProc proc);
    void ModifyWatch(int fd, std::uint32_t events);
    void Unwatch(int fd);

    // Descriptor that becomes readable whenever this queue has work (for a GUI loop).
    int PollFd() const { return FEpoll; }

    // internal, used by the free functions above
    struct Target;
    void Post(HWND wnd, const TMessage& m);

private:
    MessageQueue();
    void CheckOwner(const char* operation) const;
    void Wake();
    void DrainWake();
    void PollDescriptors();

    struct Posted {
        HWND Wnd;
        TMessage Msg;
        std::uint64_t Seq;
    };
    mutable std::mutex FLock;
    std::deque<Posted> FPosted;
    std::uint64_t FNextSeq = 1;
    int FEpoll = -1;
    int FWakeFd = -1;
    bool FWakePending = false;
    int FDispatchDepth = 0;  // ProcessPending calls running; read and written by the owner only
    // Readiness seen by the last wait, handed to the next pass unless the watches changed since.
    struct Ready {
        int Fd;
        std::uint32_t Events;
    };
    Ready FReady[64];
    int FReadyCount = 0;
    std::uint64_t FWatchGeneration = 0;
    std::uint64_t FReadyGeneration = 0;
    const std::thread::id FOwner;
    TProcessProc FPumpProcess;
    TWaitProc FPumpWait;
    bool FQuit = false;
    int FExitCode = 0;
    std::unordered_map<int, std::shared_ptr<TWatchProc>> FWatches;
    friend HWND AllocateHWnd(TWndMethod);
};

// The calling thread's pump: "handle what is pending once" and "wait for more work" of its
// queue, through the hooks a GUI may have installed there.
void ProcessMessages();
void WaitMessage(int timeoutMs = -1);

}  // namespace kapo
