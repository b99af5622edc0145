// Loopback peers scripted on a thread; pumping with a deadline and the watchdog come from
// support/TestLoop.h.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageQueue.h"
#include "support/TestLoop.h"

namespace testsupport {

inline int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

inline unsigned char PatternByte(std::size_t i)
{
    return static_cast<unsigned char>((i * 131 + (i >> 12)) & 0xFF);
}

inline std::string Pattern(std::size_t from, std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(PatternByte(from + i));
    return s;
}

inline void SetTimeouts(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

inline bool SendAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

inline std::string RecvExactly(int fd, std::size_t n)
{
    std::string s(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, s.data() + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    s.resize(got);
    return s;
}

// Reads until the end of the stream; ended is true when a clean end was seen.
inline std::string RecvToEnd(int fd, bool* ended = nullptr)
{
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
            if (ended) *ended = r == 0;
            break;
        }
        s.append(buf, static_cast<std::size_t>(r));
    }
    return s;
}

// Ends the connection with a reset instead of an orderly close.
inline void CloseWithReset(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

inline std::uint16_t PortOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A port on 127.0.0.1 where nobody listens.
inline std::uint16_t RefusingPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::uint16_t p = PortOf(fd);
    ::close(fd);
    return p;
}

// A connected plain socket to 127.0.0.1:port (blocking).
inline int ConnectTo(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SetTimeouts(fd, kDeadlineMs);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A listening socket on 127.0.0.1 at a free port; a receive buffer size other than 0 is set
// on it (and so on the connections it accepts).
inline int ListenOnLoopback(int backlog, int receiveBuffer = 0)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    return fd;
}

// Listens on 127.0.0.1 (port 0), accepts one connection and runs the script on it on a
// thread of its own. The script owns the accepted descriptor. A receive buffer size other
// than 0 makes the peer's side of the connection small, so that a sender meets a full pipe.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int fd)> script, int receiveBuffer = 0)
    {
        FListen = ListenOnLoopback(4, receiveBuffer);
        FPort = PortOf(FListen);
        FThread = std::thread([this, script = std::move(script)] {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, kDeadlineMs) != 1) return;
            int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0) return;
            SetTimeouts(fd, kDeadlineMs);
            script(fd);
        });
    }
    ~ScriptedPeer()
    {
        Join();
        ::close(FListen);
    }
    void Join()
    {
        if (FThread.joinable()) FThread.join();
    }
    std::uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }

private:
    int FListen = -1;
    std::uint16_t FPort = 0;
    std::thread FThread;
};

}  // namespace testsupport


namespace testsupport {

inline const char* StateName(kapo::TSocketState s)
{
    switch (s) {
    case kapo::wsInvalidState: return "invalid";
    case kapo::wsOpened: return "opened";
    case kapo::wsBound: return "bound";
    case kapo::wsConnecting: return "connecting";
    case kapo::wsConnected: return "connected";
    case kapo::wsAccepting: return "accepting";
    case kapo::wsListening: return "listening";
    case kapo::wsClosed: return "closed";
    }
    return "?";
}

// Logs a socket's events as short texts ("connected 0", "state opened>connecting"). Tests that
// need a handler of their own replace it and log through Add.
struct Recorder {
    std::vector<std::string> Log;

    explicit Recorder(kapo::TCustomWSocket& s) : FSocket(&s)
    {
        s.OnChangeState = [this](kapo::TObject*, kapo::TSocketState o, kapo::TSocketState n) {
            Log.push_back(std::string("state ") + StateName(o) + ">" + StateName(n));
        };
        s.OnSessionConnected = [this](kapo::TObject*, std::uint16_t e) { Add("connected", e); };
        s.OnSessionClosed = [this](kapo::TObject*, std::uint16_t e) { Add("closed", e); };
        s.OnDataSent = [this](kapo::TObject*, std::uint16_t e) { Add("sent", e); };
        s.OnDnsLookupDone = [this](kapo::TObject*, std::uint16_t e) { Add("dns", e); };
    }
    // The socket may outlive the recorder (its destructor still changes state): detach.
    ~Recorder()
    {
        FSocket->OnChangeState = nullptr;
        FSocket->OnSessionConnected = nullptr;
        FSocket->OnSessionClosed = nullptr;
        FSocket->OnDataSent = nullptr;
        FSocket->OnDnsLookupDone = nullptr;
        FSocket->OnDataAvailable = nullptr;
        FSocket->OnSendData = nullptr;
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    void Add(const std::string& what, long value) { Log.push_back(what + " " + std::to_string(value)); }
    int Count(const std::string& what) const
    {
        return static_cast<int>(std::count_if(Log.begin(), Log.end(), [&](const std::string& l) {
            return l.compare(0, what.size() + 1, what + " ") == 0;
        }));
    }
    bool Has(const std::string& what) const { return Count(what) > 0; }
    // The log with runs of the same entry folded into one.
    std::vector<std::string> Collapsed() const
    {
        std::vector<std::string> r;
        for (const auto& l : Log)
            if (r.empty() || r.back() != l) r.push_back(l);
        return r;
    }

private:
    kapo::TCustomWSocket* FSocket;
};

// Host names answered locally: "peer.test" has two loopback addresses, "slow.test" answers
// only when the gate opens, everything else is unknown.
class NameGate {
public:
    NameGate()
    {
        // The state is shared with the resolver: a lookup thread may still be leaving it
        // after the gate is gone.
        auto st = FState;
        kapo::SetNameResolver([st](const std::string& name, std::string& official, std::vector<std::uint32_t>& addrs) {
            if (name == "slow.test") {
                std::unique_lock<std::mutex> l(st->Lock);
                st->Cond.wait(l, [&] { return st->Open; });
                official = name;
                addrs = {inet_addr("127.0.0.3")};
                return 0;
            }
            if (name == "peer.test") {
                official = name;
                addrs = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2")};
                return 0;
            }
            return int(kapo::WSAHOST_NOT_FOUND);
        });
        kapo::SetAddressResolver([](std::uint32_t a, std::string& name) {
            if (a != inet_addr("127.0.0.1")) return int(kapo::WSAHOST_NOT_FOUND);
            name = "loopback.test";
            return 0;
        });
    }
    ~NameGate()
    {
        Open();
        kapo::SetNameResolver(nullptr);
        kapo::SetAddressResolver(nullptr);
    }
    void Open()
    {
        {
            std::lock_guard<std::mutex> g(FState->Lock);
            FState->Open = true;
        }
        FState->Cond.notify_all();
    }

private:
    struct State {
        std::mutex Lock;
        std::condition_variable Cond;
        bool Open = false;
    };
    std::shared_ptr<State> FState = std::make_shared<State>();
};

}  // namespace testsupport
