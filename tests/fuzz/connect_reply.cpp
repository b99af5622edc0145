// A proxy's reply to CONNECT, taken from the fuzz input, reaches the HTTP client through a
// real loopback connection in pieces whose sizes the input chooses. Every request must end as
// a failure (no server ever answers inside the tunnel), and whatever the client sends behind
// its CONNECT request is the start of a secure handshake or nothing: never the request, its
// credentials or anything else in clear.
//
// Input: byte 0 seeds the piece sizes and, in its top bit, whether the proxy ends with a reset
// instead of a clean close; the rest is the reply.
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
#include <string>

#include "core/Classes.h"
#include "net/HttpProt.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

using namespace kapo;

namespace {

// Pump rounds before a request that has not ended counts as hung. A round handles what is
// pending and then waits at most kWaitMs, so this is far beyond any honest request.
constexpr int kMaxRounds = 2000;
constexpr int kWaitMs = 20;

int gListen = -1;
std::uint16_t gPort = 0;
bool gIncoming = false;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void listenOnLoopback()
{
    gListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (gListen < 0 || ::bind(gListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(gListen, 16) != 0 ||
        ::getsockname(gListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("cannot listen on loopback");
    gPort = ntohs(a.sin_port);
    MessageQueue::Current().Watch(gListen, EPOLLIN, [](std::uint32_t) { gIncoming = true; });
}

// Handles what is pending until nothing more is ready: the client has taken every byte it
// is going to take for now.
void settle()
{
    auto& q = MessageQueue::Current();
    for (int i = 0; i < kMaxRounds; ++i) {
        q.ProcessPending();
        if (!q.HasPending() && !q.WaitNext(0)) return;
    }
    fail("the client keeps itself busy without end");
}

struct Pieces {
    std::uint32_t State;
    // Mostly small pieces, sometimes large ones, so that lines and header ends fall across reads.
    std::size_t Next(std::size_t left)
    {
        State = State * 1103515245u + 12345u;
        std::size_t r = (State >> 8) & 0xFFFF;
        std::size_t n = (r & 3) == 0 ? 1 + r % 1024 : 1 + r % 8;
        return n < left ? n : left;
    }
};

// One accepted connection: reads the CONNECT request, sends the reply piece by piece with the
// client pumped dry in between, then looks at what the client sent behind its request.
void serve(int fd, const std::string& reply, std::uint8_t control)
{
    auto& q = MessageQueue::Current();
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    q.ModifyWatch(gListen, 0);
    q.Watch(fd, EPOLLIN, [](std::uint32_t) {});
    std::string received;
    bool peerGone = false;
    auto take = [&] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                received.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) peerGone = true;
            return;
        }
    };
    for (int round = 0; received.find("\r\n\r\n") == std::string::npos && !peerGone; ++round) {
        if (round > kMaxRounds) fail("the client never finished its CONNECT request");
        take();
        q.ProcessPending();
        q.WaitNext(kWaitMs);
    }
    // The client's bytes behind the request are read without a watch, or settling would wait
    // on them for ever.
    q.Unwatch(fd);
    std::size_t end = received.find("\r\n\r\n");
    if (end == std::string::npos) fail("the connection ended before the CONNECT request did");
    if (received.compare(0, 8, "CONNECT ") != 0) fail("the first request to the proxy is not CONNECT");
    Pieces pieces{control & 0x7Fu};
    std::size_t pos = 0;
    for (int stalls = 0; !peerGone && pos < reply.size();) {
        std::size_t n = pieces.Next(reply.size() - pos);
        ssize_t sent = ::send(fd, reply.data() + pos, n, MSG_NOSIGNAL);
        if (sent > 0) {
            pos += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
            if (++stalls > 50) break;
        } else {
            break;
        }
        settle();
        take();
    }
    settle();
    take();
    std::string behind = received.substr(end + 4);
    // 0x16 starts a handshake record: the only thing allowed through the tunnel.
    if (!behind.empty() && behind[0] != '\x16') fail("the client sent something other than a handshake behind CONNECT");
    if (behind.find("segredo") != std::string::npos || behind.find(EncodeBase64("ana:segredo")) != std::string::npos)
        fail("the member's credentials crossed the proxy");
    if (control & 0x80u) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
    q.ModifyWatch(gListen, EPOLLIN);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    listenOnLoopback();
    // No name ever leaves the machine: every host is the loopback proxy.
    SetNameResolver([](const std::string& name, std::string& official, std::vector<std::uint32_t>& addresses) {
        official = name;
        addresses = {htonl(INADDR_LOOPBACK)};
        return 0;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto& q = MessageQueue::Current();
    {
        TMemoryStream body;
        THttpCli http;
        http.SetURL("https://kapo.test/club/waves/a.wav");
        http.SetUsername("ana");
        http.SetPassword("segredo");
        http.SetProxy("127.0.0.1");
        http.SetProxyPort(std::to_string(gPort));
        http.SetRcvdStream(&body);
        try {
            http.StartRequest(rqGet);
        } catch (const std::exception&) {
            return 0;
        }
        for (int round = 0; http.State() != hsReady; ++round) {
            if (round > kMaxRounds) fail("the request never ended");
            q.ProcessPending();
            if (gIncoming) {
                gIncoming = false;
                int fd = ::accept4(gListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0) {
                    serve(fd, reply, control);
                    continue;
                }
            }
            q.WaitNext(kWaitMs);
        }
        if (http.StatusCode() < 400) fail("a request through a tunnel to no server was reported a success");
        if (body.Size() != 0) fail("a body arrived from no server");
    }
    q.ProcessPending();
    return 0;
}
