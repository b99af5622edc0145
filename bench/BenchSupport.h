// What the benchmark programs share: clocks, a core for a thread, a loopback server whose
// thread serves connections one at a time until it is destroyed, medians of timed runs, and a
// socket receiving until its peer closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageQueue.h"

namespace bench {

// CPU seconds the calling thread has used.
inline double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline double NowSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Keeps the calling thread on one core when the machine has more than one.
inline void PinTo(int core)
{
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Listens on 127.0.0.1; its thread accepts connections one at a time, hands each to Serve and
// closes it, until the server is destroyed.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(int)> Serve, int Core = -1) : FServe(std::move(Serve))
    {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FListen, 4) != 0) std::exit(1);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this, Core] {
            if (Core >= 0) PinTo(Core);
            for (;;) {
                int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                FServe(c);
                ::close(c);
            }
        });
    }
    ~LoopbackServer()
    {
        ::shutdown(FListen, SHUT_RDWR);  // ends the accept the thread waits in
        FThread.join();
        ::close(FListen);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    std::uint16_t Port() const { return FPort; }

private:
    std::function<void(int)> FServe;
    int FListen = -1;
    std::uint16_t FPort = 0;
    std::thread FThread;
};

// A blocking socket connected to the port on 127.0.0.1, or -1.
inline int ConnectLoopback(std::uint16_t Port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Sends all the bytes; false when the peer went away first.
inline bool SendAll(int fd, const char* Data, std::size_t Size)
{
    for (std::size_t off = 0; off < Size;) {
        ssize_t n = ::send(fd, Data + off, Size - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads a request's head (up to its blank line) and returns it.
inline std::string ReadHead(int fd)
{
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<std::size_t>(n));
    }
    return head;
}

// One timed run: what it counted (bytes, lines), its wall and CPU seconds.
struct Run {
    std::int64_t Count = 0;
    double Seconds = 0;
    double Cpu = 0;
    double PerSecond() const { return static_cast<double>(Count) / Seconds; }
};

// The medians of the runs' wall and CPU seconds, with the smallest count, so a short run shows.
inline Run Median(std::vector<Run> Runs)
{
    Run m;
    m.Count = Runs.front().Count;
    for (const Run& r : Runs) m.Count = std::min(m.Count, r.Count);
    std::sort(Runs.begin(), Runs.end(), [](const Run& a, const Run& b) { return a.Seconds < b.Seconds; });
    m.Seconds = Runs[Runs.size() / 2].Seconds;
    std::sort(Runs.begin(), Runs.end(), [](const Run& a, const Run& b) { return a.Cpu < b.Cpu; });
    m.Cpu = Runs[Runs.size() / 2].Cpu;
    return m;
}

// Connects a plain blocking socket to the port on 127.0.0.1 and reads with recv into a buffer
// of BufferSize bytes until the peer closes, handing each read to OnRead.
inline Run ReceiveThroughRecv(std::uint16_t Port, std::size_t BufferSize,
                              const std::function<void(const char*, std::size_t, Run&)>& OnRead)
{
    Run r;
    const double cpu0 = ThreadCpuSeconds(), t0 = NowSeconds();
    int fd = ConnectLoopback(Port);
    if (fd >= 0) {
        std::vector<char> buf(BufferSize);
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            OnRead(buf.data(), static_cast<std::size_t>(n), r);
        }
        ::close(fd);
    }
    r.Seconds = NowSeconds() - t0;
    r.Cpu = ThreadCpuSeconds() - cpu0;
    return r;
}

// Connects a TWSocket to the port on 127.0.0.1 and serves its events from the queue until the
// peer closes; Setup prepares the socket (its OnDataAvailable counts into the run).
inline Run ReceiveThroughSocket(std::uint16_t Port, const std::function<void(kapo::TWSocket&, Run&)>& Setup)
{
    Run r;
    bool closed = false;
    kapo::TWSocket s;
    Setup(s, r);
    s.OnSessionClosed = [&](kapo::TObject*, std::uint16_t) { closed = true; };
    const double cpu0 = ThreadCpuSeconds(), t0 = NowSeconds();
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(Port));
    s.Connect();
    kapo::MessageQueue& q = kapo::MessageQueue::Current();
    while (!closed) {
        q.ProcessPending();
        if (!closed) q.WaitNext(1000);
    }
    r.Seconds = NowSeconds() - t0;
    r.Cpu = ThreadCpuSeconds() - cpu0;
    return r;
}

}  // namespace bench
