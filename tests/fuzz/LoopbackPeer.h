// The loopback peer the network fuzz targets share: a listening socket on 127.0.0.1, the
// pumping that lets the code under test take what it was sent, bytes sent in pieces whose
// sizes the input chooses, and the end of a connection, clean or by reset.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "net/HttpProt.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

namespace fuzzpeer {

// Pump rounds before an exchange that has not ended counts as hung. A round handles what is
// pending and then waits at most kWaitMs, so this is far beyond any honest exchange.
constexpr int kMaxRounds = 2000;
constexpr int kWaitMs = 20;

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Handles what is pending until nothing more is ready: the code under test has taken every
// byte it is going to take for now.
inline void Settle()
{
    auto& q = kapo::MessageQueue::Current();
    for (int i = 0; i < kMaxRounds; ++i) {
        q.ProcessPending();
        if (!q.HasPending() && !q.WaitNext(0)) return;
    }
    Fail("the code under test keeps itself busy without end");
}

// A listening socket on 127.0.0.1. A watched one is non-blocking and sets Incoming when a
// connection waits, so that it can be served from the pump loop.
struct Listener {
    int Fd = -1;
    std::uint16_t Port = 0;
    bool Incoming = false;
    bool Watched = false;

    void Open(bool watched)
    {
        Watched = watched;
        Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (watched ? SOCK_NONBLOCK : 0), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(Fd, 16) != 0 ||
            ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            Fail("cannot listen on loopback");
        Port = ntohs(a.sin_port);
        if (watched) kapo::MessageQueue::Current().Watch(Fd, EPOLLIN, [this](std::uint32_t) { Incoming = true; });
    }
    std::string PortText() const { return std::to_string(Port); }
    // The next connection, with Nagle off so that each piece goes out as it is sent; -1 if none.
    int Accept() const
    {
        int fd = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC | (Watched ? SOCK_NONBLOCK : 0));
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        return fd;
    }
    // A new connection (a relocation) waits while one is served; it is not work to settle.
    void Pause() const { kapo::MessageQueue::Current().ModifyWatch(Fd, 0); }
    void Resume() const { kapo::MessageQueue::Current().ModifyWatch(Fd, EPOLLIN); }
};

// Piece sizes from a seed: mostly small, sometimes large, so that lines and record ends fall
// across reads.
struct Pieces {
    std::uint32_t State;
    std::size_t Small;
    std::size_t Large;
    std::size_t Next(std::size_t left)
    {
        State = State * 1103515245u + 12345u;
        std::size_t r = (State >> 8) & 0xFFFF;
        std::size_t n = (r & 3) == 0 ? 1 + r % Large : 1 + r % Small;
        return n < left ? n : left;
    }
};

// Sends the bytes piece by piece, settling after each, while Going() holds. A peer that stops
// reading gets a turn, but not for ever.
inline void SendInPieces(int fd, const std::string& bytes, Pieces pieces, const std::function<bool()>& Going,
                         const std::function<void()>& AfterEach = {})
{
    std::size_t pos = 0;
    for (int stalls = 0; Going() && pos < bytes.size();) {
        std::size_t n = pieces.Next(bytes.size() - pos);
        ssize_t sent = ::send(fd, bytes.data() + pos, n, MSG_NOSIGNAL);
        if (sent > 0) {
            pos += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
            if (++stalls > 50) break;
        } else {
            break;
        }
        Settle();
        if (AfterEach) AfterEach();
    }
}

// Closes the connection, by reset when asked.
inline void Close(int fd, bool reset)
{
    if (reset) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
}

// No name ever leaves the machine: every host is the loopback peer.
inline void ResolveEveryNameToLoopback()
{
    kapo::SetNameResolver([](const std::string& name, std::string& official, std::vector<std::uint32_t>& addresses) {
        official = name;
        addresses = {htonl(INADDR_LOOPBACK)};
        return 0;
    });
}

// Runs the client's request to its end; Serve answers each connection the listener gets (and
// closes it).
inline void RunRequest(kapo::THttpCli& Http, Listener& L, const std::function<void(int)>& Serve)
{
    auto& q = kapo::MessageQueue::Current();
    for (int round = 0; Http.State() != kapo::hsReady; ++round) {
        if (round > kMaxRounds) Fail("the request never ended");
        q.ProcessPending();
        if (L.Incoming) {
            L.Incoming = false;
            int fd = L.Accept();
            if (fd >= 0) {
                Serve(fd);
                continue;
            }
        }
        q.WaitNext(kWaitMs);
    }
}

}  // namespace fuzzpeer
